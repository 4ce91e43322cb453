// How the segments and the manifest shape the rebuilt timelines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using Lines = std::vector<std::string>;

std::string segment_closed(const char* source, int seq, int duration_ms) {
  return std::string("{\"type\":\"segment_closed\",\"source\":\"") + source + "\",\"seq\":" + std::to_string(seq) +
         ",\"duration_ms\":" + std::to_string(duration_ms) + ",\"format\":\"caf_pcm_s16le\"}\n";
}

std::string recording_state(bool recording, int elapsed_ms) {
  return std::string("{\"type\":\"source_recording_state\",\"source\":\"system\",\"recording\":") +
         (recording ? "true" : "false") + ",\"elapsed_ms\":" + std::to_string(elapsed_ms) + "}\n";
}

Samples concat(std::initializer_list<Samples> parts) {
  Samples out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(KelvaroTimelines, ShortMaterialIsTrimmedUnlessARouteRecoveryKeepsTheGap) {
  Session s;
  s.segment("mic", 1, tone(48000, 440, 3000));
  auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "[\"trimmed_trailing_silence: requested=3000ms material=2000ms\"]");
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf").size(), 48000U);

  fs::remove_all(s.final_dir());
  s.manifest("{\"type\":\"route_trace\",\"stage\":\"source_recovery_timeout\",\"source\":\"mic\"}\n");
  r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "[\"preserved_route_recovery_gap: requested=3000ms material=2000ms\"]");
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"), concat({tone(48000, 440, 3000), constant(24000, 0)}));
  EXPECT_NEAR(std::stoll(value_of(r, "duration_ms")), 3000, 500);
}

TEST(KelvaroTimelines, HostDurationShorterThanTheMaterialCutsIt) {
  Session s;
  s.segment("mic", 1, tone(72000, 440, 3000));
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "");
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"), tone(48000, 440, 3000));
}

TEST(KelvaroTimelines, GapsAreFilledWithTheManifestDurations) {
  Session s;
  s.segment("mic", 1, constant(24000, 11));
  s.segment("mic", 3, constant(12000, 33));
  s.segment("system", 1, constant(12000, 5));
  s.manifest(segment_closed("mic", 1, 1000) + segment_closed("mic", 2, 500) + segment_closed("system", 1, 1000) +
             "{\"type\":\"helper_event\",\"detail\":\"ignored\"}\n");
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Mic: one missing index and one short non-final segment.
  EXPECT_EQ(r.errLines().front(), "recovery plan: mic_segments=2 system_segments=1 gaps=2 warnings=0 expected_ms=2000");
  EXPECT_EQ(value_of(r, "warnings"), "");
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"),
            concat({constant(24000, 11), constant(12000, 0), constant(12000, 33)}));
  // The system source's last segment is not padded to its slot, but the timeline is as long as the mic's.
  EXPECT_EQ(caf_samples(s.dir() / "system_timeline.caf"), concat({constant(12000, 5), constant(36000, 0)}));
}

TEST(KelvaroTimelines, SegmentAt48000HzIsResampled) {
  Session s;
  Samples ramp(96000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i % 20000);
  s.segment("mic", 1, ramp, 48000);
  s.segment("system", 1, constant(48000, 3));
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"),
            "[\"cross_source_sample_rate_mismatch: mic=48000Hz, system=24000Hz\", "
            "\"resampled_segment: mic segment 1 from 48000Hz to 24000Hz\"]");
  const auto mic = caf_samples(s.dir() / "mic_timeline.caf");
  ASSERT_EQ(mic.size(), 48000U);
  for (std::size_t i = 0; i < mic.size(); ++i) ASSERT_EQ(mic[i], ramp[2 * i]) << i;
  EXPECT_EQ(s.report().at("warnings").size(), 2U);
}

TEST(KelvaroTimelines, SystemAudioOutsideItsRecordingIntervalsIsMuted) {
  Session s;
  s.segment("mic", 1, constant(96000, 1));
  s.segment("system", 1, constant(96000, 9));
  s.manifest(recording_state(true, 1000) + recording_state(false, 3000));
  const auto r = run_kelvaro({s.dir().string(), "4000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "[\"system_source_interval_mask_applied: muted_frames=48000\"]");
  EXPECT_EQ(caf_samples(s.dir() / "system_timeline.caf"),
            concat({constant(24000, 0), constant(48000, 9), constant(24000, 0)}));
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"), constant(96000, 1));
}

TEST(KelvaroTimelines, OpenRecordingIntervalRunsToTheEndOfTheTimeline) {
  Session s;
  s.segment("system", 1, constant(72000, 9));
  s.manifest(recording_state(true, 1000));
  // The host knows no duration (0): the interval still open at the end must not mute the rest.
  const auto r = run_kelvaro({s.dir().string(), "0"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"),
            "[\"recovered_duration_from_source_segments: stop duration was unavailable\", "
            "\"system_source_interval_mask_applied: muted_frames=24000\"]");
  EXPECT_EQ(caf_samples(s.dir() / "system_timeline.caf"), concat({constant(24000, 0), constant(48000, 9)}));
}

TEST(KelvaroTimelines, EstimatedDurationKeepsTheGapSlotsAndTheEndOfTheRecording) {
  Session s;
  s.segment("mic", 1, constant(24000, 11));
  s.segment("mic", 3, constant(24000, 33));
  s.manifest(segment_closed("mic", 1, 1000) + segment_closed("mic", 2, 1000));
  // No duration from the host: the plan estimates 2000 ms from the segments' contents.
  const auto r = run_kelvaro({s.dir().string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.errLines().front(), "recovery plan: mic_segments=2 system_segments=0 gaps=2 warnings=0 expected_ms=2000");
  EXPECT_EQ(value_of(r, "warnings"), "");
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"),
            concat({constant(24000, 11), constant(24000, 0), constant(24000, 33)}));
  EXPECT_NEAR(std::stoll(value_of(r, "duration_ms")), 3000, 500);
  // A later run without a duration reuses the file it made.
  const auto journal_lines = s.journal().size();
  const auto again = run_kelvaro({s.dir().string()});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(value_of(again, "sha256"), value_of(r, "sha256"));
  EXPECT_EQ(s.journal().size(), journal_lines);
}

TEST(KelvaroTimelines, MissingSegmentSlotFollowsTheSegmentRate) {
  Session s;
  // At 48000 Hz the helper rotates every 15 s: segment 1 fills 15 s, the missing segment 2 another 15 s.
  s.segment("mic", 1, constant(4800, 7), 48000);
  s.segment("mic", 3, constant(4800, 8), 48000);
  const auto r = run_kelvaro({s.dir().string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto mic = caf_samples(s.dir() / "mic_timeline.caf");
  EXPECT_EQ(mic, concat({constant(2400, 7), constant(357600 + 360000, 0), constant(2400, 8)}));
}

TEST(KelvaroTimelines, ManifestWithATornCharacterIsStillRead) {
  Session s;
  s.segment("mic", 1, constant(12000, 11));
  s.segment("mic", 2, constant(12000, 22));
  s.manifest(segment_closed("mic", 1, 1000) +
             "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"duration_ms\":1000,\"device\":\"Caf\xC3");
  const auto r = run_kelvaro({s.dir().string(), "1500"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"),
            concat({constant(12000, 11), constant(12000, 0), constant(12000, 22)}));
}

TEST(KelvaroTimelines, TimelineBeyondADayIsRefused) {
  Session s;
  s.segment("mic", 1, constant(100, 1));
  s.segment("mic", 4000, constant(100, 1));
  const auto r = run_kelvaro({s.dir().string()});
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines().size(), 2U);
  // 720000 for segment 1's slot, 3998 missing slots, 100 frames of segment 4000.
  EXPECT_EQ(r.errLines()[1], "finalize failed: IO error: timeline too long: 2879280100 frames");
  EXPECT_FALSE(fs::exists(s.dir() / "mic_timeline.caf"));
  EXPECT_EQ(s.journal_types(), (Lines{"export_started"}));
}

TEST(KelvaroTimelines, CorruptLowRateSegmentProducesOnlyWhatTheTimelineHolds) {
  Session s;
  Samples ramp(20000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);
  // A header claiming 2 Hz: 20000 samples would resample to 240 million.
  s.segment("mic", 1, ramp, 2);
  const auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "[\"resampled_segment: mic segment 1 from 2Hz to 24000Hz\"]");
  const auto mic = caf_samples(s.dir() / "mic_timeline.caf");
  ASSERT_EQ(mic.size(), 72000U);
  EXPECT_EQ(mic[0], 0);
  EXPECT_EQ(mic[12000], 1);
  EXPECT_EQ(mic[71999], 6);
}

}  // namespace
}  // namespace kelvarotest
