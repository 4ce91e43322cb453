// Segment rollover: a mic writer that reaches the frame limit closes segment
// 1 before it opens segment 2, and segment 2 takes the frames that follow.
// The writer works in a private scratch directory removed afterwards.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "helper/core/entry/clock.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/selftest/control_plane_checks.h"
#include "helper/selftest/segment_writer_test_access.h"
#include "helper/selftest/self_test_scratch.h"

namespace helper {

namespace {

namespace audio = platform::audio;

struct RolloverRun {
  std::vector<Event> events;  // of the thirty one-second writes, in order
  std::uintmax_t secondSegmentBytes = 0;
};

bool fieldIs(const Event& event, const char* key, const nlohmann::json& expected) {
  const auto it = event.find(key);
  return it != event.end() && *it == expected;
}

bool isClosedSegment1(const Event& e) {
  const auto index = e.find("index");
  return fieldIs(e, "type", "segment_closed") && index != e.end() && index->is_number_integer() && *index == 1;
}

bool isOpenedMicSegment2(const Event& e) {
  const auto index = e.find("index");
  return fieldIs(e, "type", "segment_opened") && fieldIs(e, "source", "mic") && index != e.end() &&
         index->is_number_integer() && *index == 2;
}

std::optional<size_t> positionOf(const std::vector<Event>& events, bool (*matches)(const Event&)) {
  const auto it = std::find_if(events.begin(), events.end(), matches);
  if (it == events.end()) return std::nullopt;
  return static_cast<size_t>(it - events.begin());
}

std::unique_ptr<audio::PCMBuffer> silence(uint32_t frames) {
  const auto format = audio::AudioFormat::make(audio::CommonFormat::pcmFloat32, 24000, 1, true);
  auto buffer = format ? audio::PCMBuffer::make(*format, frames) : nullptr;
  if (buffer) buffer->setFrameLength(frames);
  return buffer;
}

// Thirty seconds of silence at 24000 Hz, one more 1024-frame buffer and the
// final seal, through a writer that only the frame limit can roll.
RolloverRun runRollover(const std::string& dir) {
  RolloverRun run;
  SegmentWriter writer("mic", dir, 24000, 1, 999, machAbsoluteTimeNs());
  writer.setNativeRateAtOpen(24000);
  writer.setNativeRateNow(24000);
  writer.setNativeChannelsAtOpen(1);
  writer.setNativeChannelsNow(1);
  SegmentWriterTestAccess::open(writer);
  if (const auto second = silence(24000)) {
    for (int i = 0; i < 30; ++i) {
      const auto events = SegmentWriterTestAccess::write(writer, *second);
      run.events.insert(run.events.end(), events.begin(), events.end());
    }
  }
  if (const auto tail = silence(1024)) SegmentWriterTestAccess::write(writer, *tail);
  writer.sealFinal();
  SegmentWriter::waitForScheduledSyncs();  // before the directory goes
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(std::filesystem::path(dir) / "mic" / "000002.caf", ec);
  run.secondSegmentBytes = ec ? 0 : bytes;
  return run;
}

void reportRollover(TestReport& report, const RolloverRun& run) {
  const std::string description = "rollover events: " + nlohmann::json(run.events).dump();
  const auto closed = positionOf(run.events, isClosedSegment1);
  const auto opened = positionOf(run.events, isOpenedMicSegment2);
  report.check("segment_rollover_emits_closed_for_segment_1", closed.has_value(), description);
  report.check("segment_rollover_emits_opened_for_segment_2", opened.has_value(), description);
  if (closed && opened) {
    report.check("segment_rollover_closed_before_next_open", *closed < *opened,
                 "closed index " + std::to_string(*closed) + ", opened index " + std::to_string(*opened));
  } else {
    report.check("segment_rollover_closed_before_next_open", false, "missing closed/opened rollover event");
  }
  report.check("segment_rollover_second_segment_accepts_frames", run.secondSegmentBytes >= 69,
               "second segment bytes " + std::to_string(run.secondSegmentBytes));
}

}  // namespace

void runSegmentRolloverChecks(TestReport& report) {
  RolloverRun run;
  {
    const PrivateScratchRoot dir(userTemporaryDirectory(), "tasmerig-rollover-test-");
    // Without a directory nothing is written, and the cases fail.
    if (dir.ok()) run = runRollover(dir.path());
  }
  reportRollover(report, run);
}

}  // namespace helper
