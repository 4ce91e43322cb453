// How the segments and the manifest shape the rebuilt timelines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <functional>
#include <iterator>
#include <map>
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
  ASSERT_EQ(r.errLines().size(), 3U);
  // What the gap was given comes first, then the failure line.
  EXPECT_EQ(r.errLines()[1].rfind("warnings=[\"default_segment_slot: mic segments 2-3999: ", 0), 0U) << r.err;
  EXPECT_EQ(r.errLines()[2], "finalize failed: IO error: timeline too long: 2160000000 frames");
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
    std::string failure;                // the failure line, for a run that must fail
    std::string failure_warnings = {};  // the warnings line printed before it, when one must be
  };
  // Three 1 s segments per source, the middle mic one made by `middle` (none when it does nothing).
  const auto three_with_middle = [](std::function<void(Session&, const fs::path&)> middle) {
    return [middle](Session& s) {
      s.segment("mic", 1, constant(24000, 11));
      s.segment("mic", 3, constant(24000, 33));
      for (int i = 1; i <= 3; ++i) s.segment("system", i, constant(24000, static_cast<std::int16_t>(4 + i)));
      fs::create_directories(s.dir() / "mic");
      middle(s, s.dir() / "mic" / "000002.caf");
    };
  };
  const Samples mic_with_silent_middle = concat({constant(24000, 11), constant(24000, 0), constant(24000, 33)});
  const auto header = [](double rate, std::uint32_t channels) {
    return [rate, channels](Session&, const fs::path& path) {
      testsupport::writeFile(path, caf_file(constant(24000, 22), rate, channels));
    };
  };
  // A silent middle segment, and `plant` in the session's file `name`.
  const auto silent_middle_and = [&](const char* name, std::function<void(const fs::path&)> plant) {
    return three_with_middle([name, plant](Session& s, const fs::path& p) {
      testsupport::writeFile(p, caf_file(constant(24000, 0)));
      plant(s.dir() / name);
    });
  };
  const auto directory = [](const fs::path& p) { fs::create_directories(p); };
  const auto fifo = [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); };
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
       {"stray_segment_left_out: mic segment 3000 (@mic/003000.caf)"},
       "mic",
       concat({constant(24000, 11), constant(24000, 12)}),
       ""},
      // A segment that exists but cannot be read keeps its own length.
      {"zero-filled middle segment without a manifest",
       three_with_middle([](Session&, const fs::path& p) { testsupport::writeFile(p, std::string(68 + 48000, '\0')); }),
       "",
       "",
       {"unusable_segment_left_out: mic segment 2 (@mic/000002.caf): not a CAF file; its place keeps 1000ms"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"zero-filled first segment without a manifest",
       [](Session& s) {
         testsupport::writeFile(s.dir() / "mic" / "000001.caf", std::string(68 + 48000, '\0'));
         s.segment("mic", 2, constant(24000, 22));
         s.segment("system", 1, constant(48000, 5));
       },
       "",
       "",
       {"unusable_segment_left_out: mic segment 1"},
       "mic",
       concat({constant(24000, 0), constant(24000, 22)}),
       ""},
      {"middle segment claiming 1 Hz, its sidecar telling its length",
       three_with_middle([](Session&, const fs::path& p) {
         testsupport::writeFile(p, caf_file(constant(30000, 22), 1));
         testsupport::writeFile(fs::path(p).replace_extension("checkpoint"),
                                "{\"schema_version\":1,\"segment_index\":2,\"frames_written\":24000,"
                                "\"byte_offset\":48068,\"wall_time_ms_at_checkpoint\":2000,"
                                "\"audio_time_ms_at_checkpoint\":1000,\"checkpoint_at_utc\":\"x\"}");
       }),
       "",
       "",
       {"implausible sample rate: 1Hz"},
       "mic",
       mic_with_silent_middle,
       ""},
      // Strays are judged by the session's evidence, here the other source.
      {"strays beyond one segment per source",
       [](Session& s) {
         s.segment("mic", 1, constant(24000, 11));
         s.segment("system", 1, constant(24000, 5));
         s.segment("mic", 50, constant(2400, 1));
         s.segment("mic", 51, constant(2400, 1));
       },
       "",
       "",
       {"stray_segment_left_out: mic segment 50 (@mic/000050.caf) would start at 1000ms",
        "stray_segment_left_out: mic segment 51 (@mic/000051.caf)"},
       "mic",
       constant(24000, 11),
       ""},
      {"strays beyond two segments per source",
       [](Session& s) {
         for (int i = 1; i <= 2; ++i) {
           s.segment("mic", i, constant(24000, static_cast<std::int16_t>(10 + i)));
           s.segment("system", i, constant(24000, 5));
         }
         for (int i = 3000; i <= 3002; ++i) s.segment("mic", i, constant(2400, 1));
       },
       "",
       "",
       {"stray_segment_left_out: mic segment 3000", "stray_segment_left_out: mic segment 3002"},
       "mic",
       concat({constant(24000, 11), constant(24000, 12)}),
       ""},
      {"only an unusable segment",
       [](Session& s) { testsupport::writeFile(s.dir() / "mic" / "000001.caf", std::string(68 + 48000, '\0')); },
       "",
       "",
       {},
       "",
       {},
       "finalize failed: no source segments found",
       "warnings=[\"unusable_segment_left_out: mic segment 1 (@mic/000001.caf): not a CAF file; its place keeps "
       "1000ms of silence\"]"},
      // A missing index takes what the evidence leaves, and says so.
      {"missing index without a manifest",
       three_with_middle([](Session&, const fs::path&) {}),
       "",
       "",
       {"default_segment_slot: mic segment 2: 1000ms of silence"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"FIFO for a segment",
       three_with_middle([](Session&, const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }),
       "",
       "",
       {"unusable_segment_left_out: mic segment 2 (@mic/000002.caf): not a regular file"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"directory for a segment",
       three_with_middle([](Session&, const fs::path& p) { fs::create_directories(p); }),
       "",
       "",
       {"unusable_segment_left_out: mic segment 2"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"dangling link for a segment",
       three_with_middle([](Session& s, const fs::path& p) { fs::create_symlink(s.dir() / "gone.caf", p); }),
       "",
       "",
       {"unusable_segment_left_out: mic segment 2 (@mic/000002.caf): No such file or directory"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"link loop for a segment",
       three_with_middle([](Session&, const fs::path& p) { fs::create_symlink(p, p); }),
       "",
       "",
       {"unusable_segment_left_out: mic segment 2"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"rate of 0 Hz",
       three_with_middle(header(0, 1)),
       "",
       "",
       {"unreasonable sample rate: 0"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"rate that is not a number",
       three_with_middle(header(std::nan(""), 1)),
       "",
       "",
       {"unreasonable sample rate: NaN"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"negative rate",
       three_with_middle(header(-24000, 1)),
       "",
       "",
       {"unreasonable sample rate: -24000"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"rate of a million",
       three_with_middle(header(1e6, 1)),
       "",
       "",
       {"unreasonable sample rate: 1000000"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"no channel",
       three_with_middle(header(24000, 0)),
       "",
       "",
       {"unreasonable channel count: 0"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"nine channels",
       three_with_middle(header(24000, 9)),
       "",
       "",
       {"unreasonable channel count: 9"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"manifest that is a directory",
       silent_middle_and("manifest.jsonl", directory),
       "",
       "",
       {"manifest_left_out: manifest.jsonl (@manifest.jsonl)"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"manifest that is a FIFO",
       silent_middle_and("manifest.jsonl", fifo),
       "",
       "",
       {"manifest_left_out"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"journal that is a directory",
       silent_middle_and("journal.jsonl", directory),
       "",
       "",
       {"journal_left_out: journal.jsonl (@journal.jsonl) is a directory"},
       "mic",
       mic_with_silent_middle,
       ""},
      {"journal that is a FIFO",
       silent_middle_and("journal.jsonl", fifo),
       "",
       "",
       {"journal_left_out: journal.jsonl (@journal.jsonl) is a FIFO"},
       "mic",
       mic_with_silent_middle,
       ""},
      // Segments under a millisecond keep their frames, not a whole millisecond.
      {"sub-millisecond segments in the manifest",
       [](Session& s) {
         s.segment("mic", 1, constant(12, 11));
         s.segment("mic", 2, constant(12, 12));
         s.segment("mic", 3, constant(24000, 33));
         s.manifest(std::string("{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":1,") +
                    "\"wall_clock_ms\":1,\"frames\":12,\"canonical_frames\":12,\"canonical_rate\":24000}\n" +
                    "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"duration_ms\":1,\"frames\":12}\n");
       },
       "",
       "",
       {},
       "mic",
       concat({constant(12, 11), constant(12, 12), constant(24000, 33)}),
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
  // The sources' entries with their kinds and the regular files' contents.
  const auto inputs = [](const Session& s) {
    std::map<std::string, std::string> found;
    for (const char* source : {"mic", "system"}) {
      if (!fs::is_directory(fs::symlink_status(s.dir() / source))) continue;
      for (const auto& e : fs::recursive_directory_iterator(s.dir() / source)) {
        const auto kind = e.symlink_status().type();
        found[e.path().string()] = kind == fs::file_type::regular ? testsupport::readFile(e.path())
                                                                  : "kind " + std::to_string(static_cast<int>(kind));
      }
    }
    return found;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s("damaged");
    c.make(s);
    std::vector<std::string> args{s.dir().string()};
    if (!c.expected_ms.empty()) args.push_back(c.expected_ms);
    const auto before = inputs(s);
    const auto r = run_kelvaro(args);
    // No input changes, and nothing is written beside the session.
    EXPECT_EQ(inputs(s), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(s.tmp()), fs::directory_iterator()), 1);
    const std::string plan_line = r.errLines().empty() ? "" : r.errLines().front();
    if (!c.plan_line.empty()) {
      EXPECT_EQ(plan_line, c.plan_line);
    }
    const auto at_session = [&s](std::string text) {
      for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, (s.dir() / "").string());
      }
      return text;
    };
    if (!c.failure.empty()) {
      EXPECT_EQ(r.exitCode, 1);
      Lines expected{plan_line};
      if (!c.failure_warnings.empty()) expected.push_back(at_session(c.failure_warnings));
      expected.push_back(c.failure);
      EXPECT_EQ(r.errLines(), expected);
      EXPECT_FALSE(fs::exists(s.upload()));
      continue;
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (r.exitCode != 0) continue;
    const std::string warnings = value_of(r, "warnings");
    for (const std::string& warning : c.warnings) {
      const std::string expected = at_session(warning);
      EXPECT_NE(warnings.find(expected), std::string::npos) << expected << "\n in " << warnings;
    }
    EXPECT_EQ(caf_samples(s.dir() / (c.source + "_timeline.caf")), c.timeline);
  }
}

}  // namespace
}  // namespace kelvarotest
