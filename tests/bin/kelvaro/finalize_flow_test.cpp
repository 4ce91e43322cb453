// A session finalised from its segments, reused, and the candidate and
// concurrency rules around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using Lines = std::vector<std::string>;
using testsupport::readFile;
using testsupport::writeFile;

// A mic and a system source of 3 s each.
void three_seconds(Session& s) { two_tones(s, 72000); }

TEST(KelvaroFinalize, HappyPathPrintsItsLinesAndLeavesEveryFile) {
  Session s("s-happy");
  three_seconds(s);
  const auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.out.empty());

  const std::string sha = sha256_file(s.upload());
  const auto bytes = fs::file_size(s.upload());
  const std::string duration = value_of(r, "duration_ms");
  const long long duration_ms = std::stoll(duration);
  EXPECT_NEAR(duration_ms, 3000, 500);
  EXPECT_EQ(r.errLines(), (Lines{"recovery plan: mic_segments=1 system_segments=1 gaps=0 warnings=0 expected_ms=3000",
                                 "recovered_m4a=" + s.dir().string() + "/final/upload.m4a",
                                 "bytes=" + std::to_string(bytes), "duration_ms=" + duration, "sha256=" + sha,
                                 "idempotency_key=" + sha256_text("s-happy:" + sha + ":upload_schema_v1")}));

  // Files: both timelines at the top, the mix, the final file, its digest and report under final/.
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"), tone(72000, 440, 3000));
  EXPECT_EQ(caf_samples(s.dir() / "system_timeline.caf"), tone(72000, 660, 2000));
  const auto mic = tone(72000, 440, 3000), system = tone(72000, 660, 2000);
  Samples sum(72000);
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = static_cast<std::int16_t>(mic[i] + system[i]);
  EXPECT_EQ(caf_samples(s.final_dir() / "mixed.caf"), sum);
  EXPECT_EQ(readFile(s.final_dir() / "final-audio.sha256"), sha);
  EXPECT_FALSE(fs::exists(s.dir() / "mic_cleaned.caf"));
  EXPECT_EQ(readFile(s.final_dir() / "export-report.json"),
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"session_id\": \"s-happy\",\n"
            "  \"method\": \"fallback_caf\",\n"
            "  \"candidate_attempted\": false,\n"
            "  \"candidate_rejected_reason\": null,\n"
            "  \"output_path\": \"final/upload.m4a\",\n"
            "  \"duration_ms\": " +
                duration + ",\n  \"bytes\": " + std::to_string(bytes) + ",\n  \"sha256\": \"" + sha +
                "\",\n"
                "  \"sample_rate\": 24000,\n"
                "  \"channels\": 1,\n"
                "  \"bitrate\": 48000,\n"
                "  \"validation\": {\n"
                "    \"decoded_end_to_end\": true,\n"
                "    \"duration_delta_ms\": " +
                std::to_string(duration_ms - 3000) +
                "\n"
                "  }\n"
                "}");

  // Journal: three lines in the fixed key order.
  const auto journal = s.journal();
  ASSERT_EQ(journal.size(), 3U);
  const std::string raw = readFile(s.dir() / "journal.jsonl");
  EXPECT_EQ(raw.find("{\"schema_version\":1,\"monotonic_ms\":"), 0U);
  EXPECT_NE(raw.find(",\"type\":\"export_started\",\"method\":\"fallback_caf\"}\n"), std::string::npos);
  EXPECT_EQ(journal[1].at("type"), "export_completed");
  EXPECT_EQ(journal[1].at("method"), "fallback_caf");
  EXPECT_EQ(journal[1].at("output_path"), "final/upload.m4a");
  EXPECT_EQ(journal[1].at("output_bytes"), bytes);
  EXPECT_TRUE(journal[1].at("duration_ms").is_number_unsigned());
  EXPECT_EQ(journal[2].at("type"), "final_audio_hashed");
  EXPECT_EQ(journal[2].at("sha256"), sha);
  EXPECT_EQ(journal[2].at("bytes"), bytes);
  EXPECT_EQ(journal[2].at("path"), "final/upload.m4a");
  for (const auto& line : journal) {
    EXPECT_EQ(line.at("wall_utc_ms").get<long long>() - line.at("monotonic_ms").get<long long>(),
              journal[0].at("wall_utc_ms").get<long long>() - journal[0].at("monotonic_ms").get<long long>());
  }
}

TEST(KelvaroFinalize, ValidFinalFileIsReusedWithoutRewriting) {
  Session s("s-reuse");
  three_seconds(s);
  const auto first = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const auto report_time = fs::last_write_time(s.final_dir() / "export-report.json");
  const auto upload_time = fs::last_write_time(s.upload());
  const std::string journal = readFile(s.dir() / "journal.jsonl");

  const auto second = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(second.errLines(), first.errLines());
  EXPECT_EQ(readFile(s.dir() / "journal.jsonl"), journal);
  EXPECT_EQ(fs::last_write_time(s.final_dir() / "export-report.json"), report_time);
  EXPECT_EQ(fs::last_write_time(s.upload()), upload_time);
}

TEST(KelvaroFinalize, ReuseRestoresAMissingOrStaleDigestFile) {
  Session s("s-digest");
  three_seconds(s);
  s.manifest("{\"type\":\"source_recovered\",\"source\":\"mic\"}\n");
  // The first run's report holds a warning a reuse report would not.
  const auto first = run_kelvaro({s.dir().string(), "3200"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const std::string sha = value_of(first, "sha256");
  const std::string report = readFile(s.final_dir() / "export-report.json");
  ASSERT_NE(report.find("preserved_route_recovery_gap"), std::string::npos) << report;

  // Only the digest file is missing: it is written, the report of the run that made the file stays.
  fs::remove(s.final_dir() / "final-audio.sha256");
  auto again = run_kelvaro({s.dir().string(), "3200"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(readFile(s.final_dir() / "final-audio.sha256"), sha);
  EXPECT_EQ(readFile(s.final_dir() / "export-report.json"), report);

  writeFile(s.final_dir() / "final-audio.sha256", std::string(64, '0'));
  again = run_kelvaro({s.dir().string(), "3200"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(readFile(s.final_dir() / "final-audio.sha256"), sha);
  EXPECT_EQ(s.journal().size(), 3U);  // reuse journals nothing

  // A file that no report of this session names is no file this program made
  // for it: it is rebuilt, and the rebuild's report and digest stand.
  fs::remove(s.final_dir() / "final-audio.sha256");
  writeFile(s.final_dir() / "export-report.json", "clobbered");
  again = run_kelvaro({s.dir().string(), "3200"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(readFile(s.final_dir() / "final-audio.sha256"), value_of(again, "sha256"));
  EXPECT_EQ(s.report().at("sha256"), value_of(again, "sha256"));
  EXPECT_NE(readFile(s.final_dir() / "export-report.json").find("preserved_route_recovery_gap"), std::string::npos);
  EXPECT_EQ(s.journal_types(3), (Lines{"export_started", "export_completed", "final_audio_hashed"}));
}

TEST(KelvaroFinalize, FinalFileIsKeptWhenNothingIsLeftToRebuildFrom) {
  Session s("s-keep");
  three_seconds(s);
  ASSERT_EQ(run_kelvaro({s.dir().string(), "3000"}).exitCode, 0);
  const std::string sha = sha256_file(s.upload());
  // The segments are gone; without an expected duration the file cannot pass (0 ms expected).
  fs::remove_all(s.dir() / "mic");
  fs::remove_all(s.dir() / "system");
  const auto r = run_kelvaro({s.dir().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errLines(), (Lines{"recovery plan: mic_segments=0 system_segments=0 gaps=0 warnings=0 expected_ms=0",
                                 "finalize failed: no source segments found"}));
  ASSERT_TRUE(fs::exists(s.upload()));
  EXPECT_EQ(sha256_file(s.upload()), sha);
  EXPECT_EQ(s.journal_types(3), (Lines{"export_started", "export_failed"}));
}

TEST(KelvaroFinalize, InvalidFinalFileIsRebuiltFromTheSegments) {
  Session s("s-invalid");
  three_seconds(s);
  writeFile(s.upload(), std::string(500, 'x'));
  const auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(readFile(s.upload()), std::string(500, 'x'));
  EXPECT_EQ(s.journal_types(), (Lines{"export_started", "export_completed", "final_audio_hashed"}));
}

TEST(KelvaroFinalize, LiveCandidateIsRejectedAndLeftInPlace) {
  Session s("s-candidate");
  three_seconds(s);
  writeFile(s.final_dir() / "candidate.m4a", "live candidate");
  auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(s.journal_types(),
            (Lines{"candidate_rejected", "export_started", "export_completed", "final_audio_hashed"}));
  EXPECT_EQ(s.journal()[0].at("reason"), "pause_invalidated");
  EXPECT_EQ(s.report().at("candidate_attempted"), true);
  EXPECT_EQ(s.report().at("candidate_rejected_reason"), "pause_invalidated");
  EXPECT_EQ(readFile(s.final_dir() / "candidate.m4a"), "live candidate");
}

TEST(KelvaroFinalize, LiveCandidateOfAnEchoRiskSessionIsRejectedForEchoCancellation) {
  Session s("s-candidate-echo");
  three_seconds(s);
  s.echo_risk();
  writeFile(s.final_dir() / "candidate.m4a", "live candidate");
  auto r = run_kelvaro({s.dir().string(), "3000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto journal = s.journal(1);
  ASSERT_GE(journal.size(), 1U);
  EXPECT_EQ(journal[0].at("type"), "candidate_rejected");
  EXPECT_EQ(journal[0].at("reason"), "echo_risk_aec");
  EXPECT_EQ(s.report().at("candidate_rejected_reason"), "echo_risk_aec");
  EXPECT_TRUE(s.report().contains("aec"));
  EXPECT_TRUE(fs::exists(s.final_dir() / "candidate.m4a"));
}

TEST(KelvaroFinalize, EchoRiskWithOneSourceRequestsNoEchoCancellation) {
  Session s("s-one-source");
  s.segment("mic", 1, tone(48000, 440, 3000));
  s.echo_risk();
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(s.report().contains("aec"));
  EXPECT_EQ(caf_samples(s.final_dir() / "mixed.caf"), tone(48000, 440, 3000));
}

TEST(KelvaroFinalize, SystemOnlySessionMixesTheSystemTimeline) {
  Session s("s-system");
  s.segment("system", 1, tone(48000, 660, 3000));
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(fs::exists(s.dir() / "mic_timeline.caf"));
  EXPECT_EQ(caf_samples(s.final_dir() / "mixed.caf"), tone(48000, 660, 3000));
}

TEST(KelvaroFinalize, SecondRunOnTheSameSessionFailsAtOnce) {
  Session s("s-locked");
  three_seconds(s);
  fs::create_directories(s.final_dir());
  const int fd = ::open(s.final_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const auto r = run_kelvaro({s.dir().string(), "3000"});
  ::close(fd);
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines().size(), 2U);
  EXPECT_EQ(r.errLines()[1], "finalize failed: IO error: another finalisation of this session is running (" +
                                 s.final_dir().string() + " is locked)");
  EXPECT_FALSE(fs::exists(s.dir() / "mic_timeline.caf"));
  EXPECT_TRUE(s.journal().empty());
}

TEST(KelvaroFinalize, SessionDirectoriesThatLookLikeOptionsOrProtocols) {
  for (const std::string name : {"-x", "a:b"}) {
    Session s("holder");
    fs::create_directories(s.dir() / name);
    testsupport::writeFile(s.dir() / name / "mic" / "000001.caf", caf_file(tone(24000, 440, 3000)));
    testsupport::RunOptions options;
    options.cwd = s.dir().string();
    const auto r = run_kelvaro({name, "1000"}, options);
    ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
    EXPECT_EQ(value_of(r, "recovered_m4a"), name + "/final/upload.m4a");
    EXPECT_TRUE(fs::exists(s.dir() / name / "final" / "upload.m4a"));
  }
}

}  // namespace
}  // namespace kelvarotest
