// A session of one mic segment of any bytes: the sidecar parser, the CAF
// readers, the recovery plan and the timeline built from it. The first
// byte is the sidecar's length (0: no sidecar); the sidecar follows, then
// the segment.
#include <algorithm>

#include "recorder/export/timeline.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/plan.h"
#include "recorder/recovery/sidecar.h"
#include "segment_format/segment_format.h"
#include "tests/fuzz/fuzz_support.h"

namespace recovery = recorder::recovery;
namespace exporter = recorder::exporter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input = fuzzsupport::text(data + 1, size - 1);
  const size_t sidecarBytes = std::min<size_t>(data[0], input.size());
  const std::string_view sidecar = input.substr(0, sidecarBytes), caf = input.substr(sidecarBytes);
  (void)recovery::parse_checkpoint_sidecar(sidecar);

  const auto& dir = fuzzsupport::scratchDir();
  std::error_code ignored;
  std::filesystem::remove_all(dir / "mic", ignored);
  const auto segment = dir / "mic" / "000001.caf";
  fuzzsupport::writeFile(segment, caf);
  if (sidecarBytes > 0) fuzzsupport::writeFile(dir / "mic" / "000001.checkpoint", sidecar);
  (void)recovery::read_caf_format(segment);
  (void)recovery::read_caf_pcm16(segment, 4096);

  auto plan = recovery::kelvaro_plan(dir, segment_format::kFramesPerSegment);
  if (!plan) return 0;
  const exporter::SlotMap slots;
  // Two seconds at most keeps each run short.
  const uint64_t target =
      std::min<uint64_t>(exporter::compute_material_frames(0, plan->mic, plan->system, slots, slots), 48'000);
  (void)exporter::build_source_timeline(plan->mic, slots, dir / "timeline.caf", target);
  return 0;
}
