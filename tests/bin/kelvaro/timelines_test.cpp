// How the segments and the manifest shape the rebuilt timelines.
#include <gtest/gtest.h>

#include <functional>
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
  // At 48000 Hz the helper rotates every 15 s: the missing segment 2 fills 15 s.
  s.segment("mic", 1, constant(4800, 7), 48000);
  s.segment("mic", 3, constant(4800, 8), 48000);
  const auto r = run_kelvaro({s.dir().string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto mic = caf_samples(s.dir() / "mic_timeline.caf");
  // Segment 1 exists and takes its own length; only the missing 2 takes a slot.
  EXPECT_EQ(mic, concat({constant(2400, 7), constant(360000, 0), constant(2400, 8)}));
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
  // A route recovery keeps the host's 25 hours, gap and all.
  s.manifest("{\"type\":\"source_recovered\",\"source\":\"mic\"}\n");
  const auto r = run_kelvaro({s.dir().string(), "90000000"});
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines().size(), 2U);
  EXPECT_EQ(r.errLines()[1], "finalize failed: IO error: timeline too long: 2160000000 frames");
  EXPECT_FALSE(fs::exists(s.dir() / "mic_timeline.caf"));
  EXPECT_EQ(s.journal_types(), (Lines{"export_started"}));
}

// Sessions as a crashed recorder and a careless host leave them: everything
// whole is finalised in its place, and what was left out is named.
TEST(KelvaroTimelines, DamagedSessionsKeepWhatIsWholeAndNameWhatIsLeftOut) {
  struct Case {
    std::string name;
    std::function<void(Session&)> make;
    std::string expected_ms;            // the second argument; empty for none
    std::string plan_line;              // empty: not checked
    std::vector<std::string> warnings;  // (parts of) warnings that must be there
    std::string source;                 // the timeline checked
    Samples timeline;
    std::string failure;  // the failure line, for a run that must fail
  };
  const std::vector<Case> cases{
      {"zero-filled segment",
       [](Session& s) {
         s.segment("mic", 1, constant(24000, 11));
         testsupport::writeFile(s.dir() / "mic" / "000002.caf", std::string(68 + 2000, '\0'));
         s.segment("mic", 3, constant(24000, 33));
         s.segment("system", 1, constant(72000, 5));
         s.manifest(segment_closed("mic", 2, 1000));
       },
       "3000",
       "recovery plan: mic_segments=2 system_segments=1 gaps=2 warnings=1 expected_ms=3000",
       {"unusable_segment_left_out: mic segment 2 (@mic/000002.caf): not a CAF file"},
       "mic",
       concat({constant(24000, 11), constant(24000, 0), constant(24000, 33)}),
       ""},
      {"stereo segment",
       [](Session& s) {
         s.segment("mic", 1, constant(72000, 11));
         s.segment("system", 1, constant(24000, 5));
         testsupport::writeFile(s.dir() / "system" / "000002.caf", caf_file(constant(48000, 9), 24000, 2));
         s.segment("system", 3, constant(24000, 7));
         s.manifest(segment_closed("system", 2, 1000));
       },
       "3000",
       "",
       {"unusable_segment_left_out: system segment 2 (@system/000002.caf): expected mono CAF, got 2 channels"},
       "system",
       concat({constant(24000, 5), constant(24000, 0), constant(24000, 7)}),
       ""},
      {"rate of 1 Hz",
       [](Session& s) {
         s.segment("mic", 1, constant(24000, 11));
         s.segment("mic", 2, constant(100000, 22), 1);
         s.segment("system", 1, constant(24000, 5));
       },
       "",
       "recovery plan: mic_segments=1 system_segments=1 gaps=0 warnings=1 expected_ms=1000",
       {"unusable_segment_left_out: mic segment 2 (@mic/000002.caf): implausible sample rate: 1Hz"},
       "mic",
       constant(24000, 11),
       ""},
      {"rate of 0.5 Hz",
       [](Session& s) {
         s.segment("mic", 1, constant(24000, 11));
         s.segment("mic", 2, constant(10, 22), 0.5);
         s.segment("system", 1, constant(24000, 5));
       },
       "",
       "recovery plan: mic_segments=1 system_segments=1 gaps=0 warnings=1 expected_ms=1000",
       {"implausible sample rate: 0Hz"},
       "mic",
       constant(24000, 11),
       ""},
      {"stray index",
       [](Session& s) {
         s.segment("mic", 1, constant(24000, 11));
         s.segment("mic", 2, constant(24000, 12));
         s.segment("mic", 3000, constant(100, 1));
       },
       "",
       "",
       {"stray_segment_left_out: mic segment 3000 (@mic/003000.caf) lies 2997 unrecorded segments beyond segment 2"},
       "mic",
       concat({constant(24000, 11), constant(24000, 12)}),
       ""},
      {"missing leading segments",
       [](Session& s) {
         s.segment("mic", 3, constant(24000, 33));
         for (int i = 1; i <= 3; ++i) s.segment("system", i, constant(24000, static_cast<std::int16_t>(4 + i)));
         s.manifest(segment_closed("mic", 1, 1000) + segment_closed("mic", 2, 1000));
       },
       "3000",
       "",
       {},
       "mic",
       concat({constant(48000, 0), constant(24000, 33)}),
       ""},
      {"short segments without their manifest lines",
       [](Session& s) {
         s.segment("mic", 1, constant(12000, 11));
         s.segment("mic", 2, constant(12000, 22));
         s.segment("system", 1, constant(24000, 5));
       },
       "",
       "",
       {},
       "mic",
       concat({constant(12000, 11), constant(12000, 22)}),
       ""},
      {"only empty segments, with a duration",
       [](Session& s) {
         s.segment("mic", 1, {});
         s.segment("system", 1, {});
       },
       "3000",
       "",
       {},
       "",
       {},
       "finalize failed: no source segments found"},
      {"only empty segments, without a duration",
       [](Session& s) { s.segment("mic", 1, {}); },
       "",
       "",
       {},
       "",
       {},
       "finalize failed: no source segments found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s("damaged");
    c.make(s);
    std::vector<std::string> args{s.dir().string()};
    if (!c.expected_ms.empty()) args.push_back(c.expected_ms);
    const auto r = run_kelvaro(args);
    const std::string plan_line = r.errLines().empty() ? "" : r.errLines().front();
    if (!c.plan_line.empty()) {
      EXPECT_EQ(plan_line, c.plan_line);
    }
    if (!c.failure.empty()) {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.errLines(), (Lines{plan_line, c.failure}));
      EXPECT_FALSE(fs::exists(s.upload()));
      continue;
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (r.exitCode != 0) continue;
    const std::string warnings = value_of(r, "warnings");
    for (std::string expected : c.warnings) {
      if (const auto at = expected.find('@'); at != std::string::npos) {
        expected.replace(at, 1, (s.dir() / "").string());
      }
      EXPECT_NE(warnings.find(expected), std::string::npos) << expected << "\n in " << warnings;
    }
    EXPECT_EQ(caf_samples(s.dir() / (c.source + "_timeline.caf")), c.timeline);
  }
}

}  // namespace
}  // namespace kelvarotest
