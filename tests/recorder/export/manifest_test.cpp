#include "recorder/export/manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

using testsupport::TempDir;
using testsupport::writeFile;

class ManifestTest : public ::testing::Test {
 protected:
  void manifest(const std::string& text) { writeFile(tmp_ / "manifest.jsonl", text); }
  SlotMap slots(const char* source) {
    auto r = read_manifest_entries(tmp_.path(), source);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? *r : SlotMap{};
  }
  SystemRecordingIntervals intervals(std::uint64_t end_ms) {
    auto r = read_system_recording_intervals(tmp_.path(), end_ms);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? *r : SystemRecordingIntervals{};
  }
  bool stage() {
    auto r = read_manifest_stage(tmp_.path());
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() && *r;
  }
  TempDir tmp_;
};

TEST_F(ManifestTest, MissingManifestReadsAsEmpty) {
  EXPECT_TRUE(slots("mic").empty());
  EXPECT_FALSE(intervals(1000).seen);
  EXPECT_FALSE(stage());
}

TEST_F(ManifestTest, UnreadableManifestIsAnError) {
  fs::create_directories(tmp_ / "manifest.jsonl");
  EXPECT_FALSE(read_manifest_entries(tmp_.path(), "mic").ok());
  EXPECT_FALSE(read_system_recording_intervals(tmp_.path(), 0).ok());
  EXPECT_FALSE(read_manifest_stage(tmp_.path()).ok());
}

TEST_F(ManifestTest, SegmentSlotsFromClosedSegmentsOfTheSource) {
  manifest(
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":30000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"index\":2,\"duration_ms\":1}\r\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":3,\"index\":9,\"wall_clock_ms\":500,\"duration_ms\":7}\n"
      "{\"type\":\"segment_closed\",\"source\":\"system\",\"seq\":4,\"duration_ms\":1000}\n"
      "not json at all\n"
      "\n"
      "[1,2,3]\n"
      "{\"type\":5,\"source\":\"mic\",\"seq\":6,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":2000}\n");
  // A later record for an index replaces an earlier one; durations round up to whole frames.
  EXPECT_EQ(slots("mic"), (SlotMap{{1, 48000}, {2, 24}, {3, 12000}}));
  EXPECT_EQ(slots("system"), (SlotMap{{4, 24000}}));
}

TEST_F(ManifestTest, SegmentShorterThanAMillisecondTakesItsFrames) {
  manifest(
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":0,\"frames\":20,"
      "\"canonical_frames\":20,\"canonical_rate\":24000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"wall_clock_ms\":0,\"frames\":30,"
      "\"canonical_rate\":48000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":3,\"duration_ms\":0,\"frames\":7}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":4,\"duration_ms\":0,\"frames\":0}\n");
  // Frames at the canonical rate (the export rate when none is given); 0 frames takes no time.
  EXPECT_EQ(slots("mic"), (SlotMap{{1, 20}, {2, 15}, {3, 7}, {4, 0}}));
}

TEST_F(ManifestTest, MalformedMembersSkipTheRecordWithoutFallback) {
  manifest(
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":-1,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":3.0,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":\"4\",\"index\":4,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":5,\"wall_clock_ms\":null,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"wall_clock_ms\":0}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":6,\"duration_ms\":1e3}\n"
      "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":18446744073709551616,\"duration_ms\":1000}\n"
      "{\"type\":\"segment_closed\",\"seq\":7,\"duration_ms\":1000}\n");
  EXPECT_TRUE(slots("mic").empty());
}

TEST_F(ManifestTest, HugeDurationSaturates) {
  manifest("{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":18446744073709551615}\n");
  EXPECT_EQ(slots("mic"), (SlotMap{{1, 18446744073709551615ULL}}));
}

TEST_F(ManifestTest, LinesThatAreNotUtf8AreSkippedLikeAnyUnparsableLine) {
  // The middle line holds a stray byte; the last was torn inside a two-byte character.
  manifest(std::string("{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":1000}\n") +
           "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"duration_ms\":1000,\"x\":\"\xFF\"}\n" +
           "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":3,\"duration_ms\":1000}\n" +
           "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":4,\"duration_ms\":1000,\"note\":\"caf\xC3");
  EXPECT_EQ(slots("mic"), (SlotMap{{1, 24000}, {3, 24000}}));
}

TEST_F(ManifestTest, OverlongLineIsSkipped) {
  manifest(std::string("{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":1000,\"pad\":\"") +
           std::string(kMaxManifestLineBytes, 'x') + "\"}\n" +
           "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"duration_ms\":1000}\n");
  EXPECT_EQ(slots("mic"), (SlotMap{{2, 24000}}));
}

std::string state(bool recording, std::uint64_t elapsed, const char* source = "system") {
  return std::string("{\"type\":\"source_recording_state\",\"source\":\"") + source +
         "\",\"recording\":" + (recording ? "true" : "false") + ",\"elapsed_ms\":" + std::to_string(elapsed) + "}\n";
}

TEST_F(ManifestTest, RecordingIntervalsPairStartsWithStops) {
  manifest(state(true, 1000) + state(true, 1500) + state(false, 4000) + state(false, 4500) + state(true, 6000) +
           state(false, 6000) + state(true, 7000, "mic") + state(false, 9000) +
           "{\"type\":\"source_recording_state\",\"source\":\"system\",\"recording\":1,\"elapsed_ms\":1}\n");
  const auto r = intervals(100000);
  EXPECT_TRUE(r.seen);
  // A repeated start keeps the first; a stop at the start adds nothing; a stop while closed adds nothing.
  EXPECT_EQ(r.intervals, (std::vector<SourceRecordingInterval>{{1000, 4000}}));
}

TEST_F(ManifestTest, IntervalStillOpenEndsAtTheGivenEnd) {
  manifest(state(false, 500) + state(true, 2000));
  EXPECT_EQ(intervals(9000).intervals, (std::vector<SourceRecordingInterval>{{2000, 9000}}));
  EXPECT_TRUE(intervals(2000).intervals.empty());
  EXPECT_TRUE(intervals(2000).seen);
}

TEST_F(ManifestTest, InvalidRecordingStatesAreNotSeen) {
  manifest(
      "{\"type\":\"source_recording_state\",\"source\":\"system\",\"recording\":\"true\",\"elapsed_ms\":1}\n"
      "{\"type\":\"source_recording_state\",\"source\":\"system\",\"recording\":true,\"elapsed_ms\":-1}\n"
      "{\"type\":\"source_recording_state\",\"source\":\"system\",\"recording\":true}\n" +
      state(true, 5, "mic"));
  EXPECT_FALSE(intervals(100).seen);
}

TEST_F(ManifestTest, RouteRecoveryStages) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"{\"type\":\"source_recovered\",\"source\":\"mic\"}", true},
      {"{\"type\":\"source_failed\",\"recoverable\":true}", true},
      {"{\"type\":\"source_failed\",\"recoverable\":false}", false},
      {"{\"type\":\"source_failed\",\"recoverable\":\"true\"}", false},
      {"{\"type\":\"route_trace\",\"stage\":\"source_recovery_failed\"}", true},
      {"{\"type\":\"route_trace\",\"stage\":\"source_recovery_timeout\"}", true},
      {"{\"type\":\"route_trace\",\"stage\":\"source_recovery_retrying\"}", true},
      {"{\"type\":\"route_trace\",\"stage\":\"route_coordinator_source_failed\"}", true},
      {"{\"type\":\"route_trace\",\"stage\":\"route_coordinator_settled\"}", false},
      {"{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":1}", false},
  };
  for (const auto& [line, expected] : cases) {
    manifest("{\"type\":\"route_trace\"}\n" + line + "\n");
    EXPECT_EQ(stage(), expected) << line;
  }
}

}  // namespace
}  // namespace recorder::exporter
