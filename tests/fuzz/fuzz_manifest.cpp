// The finalisation's manifest reader on any bytes as manifest.jsonl.
#include <limits>

#include "recorder/export/manifest.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& dir = fuzzsupport::scratchDir();
  fuzzsupport::writeFile(dir / recorder::exporter::kManifestFileName, fuzzsupport::text(data, size));
  if (auto manifest = recorder::exporter::read_manifest(dir)) {
    for (const uint64_t end : {uint64_t{0}, uint64_t{60'000}, std::numeric_limits<uint64_t>::max()})
      (void)manifest->system_states.until(end);
  }
  return 0;
}
