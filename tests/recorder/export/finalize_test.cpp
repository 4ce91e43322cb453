#include "recorder/export/finalize.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "recorder/export/hashing.h"
#include "recorder/journal/journal.h"
#include "tests/recorder/export/export_fixtures.h"
#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

using fixtures::write_caf;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// Verdicts by file name; every call is noted.
class FakeValidator final : public AudioValidator {
 public:
  struct Call {
    std::string file;
    std::uint64_t expected_ms;
  };
  // Passes with the expected duration unless told otherwise.
  void fail(const std::string& file, std::string error, int times = -1) { failures_[file] = {std::move(error), times}; }
  void error(const std::string& file, IoError e) { errors_.emplace(file, std::move(e)); }

  IoResult<FinalAudioValidation> validate_final_audio(const fs::path& path, std::uint64_t expected_ms) const override {
    const std::string file = path.filename().string();
    calls.push_back({file, expected_ms});
    if (const auto it = errors_.find(file); it != errors_.end()) return it->second;
    FinalAudioValidation v;
    v.path = path.string();
    v.exists = true;
    v.bytes = 1234;
    v.expected_duration_ms = expected_ms;
    v.duration_ms = expected_ms + 8;
    v.duration_delta_ms = 8;
    v.audio_packets = 10;
    v.decoded_end_to_end = true;
    if (auto it = failures_.find(file); it != failures_.end() && it->second.second != 0) {
      v.error = it->second.first;
      if (it->second.second > 0) --it->second.second;
    } else {
      v.passed = true;
    }
    return v;
  }

  mutable std::vector<Call> calls;

 private:
  mutable std::map<std::string, std::pair<std::string, int>> failures_;  // error, times left (-1: always)
  std::map<std::string, IoError> errors_;
};

class FinalizeTest : public ::testing::Test {
 protected:
  FinalizeTest() {
    fs::create_directories(dir());
    request_.session_id = "s1";
    request_.session_dir = dir().string();
    request_.expected_ms = 1000;
    request_.invalidate_candidate = false;
  }

  fs::path dir() const { return tmp_ / "s1"; }
  fs::path final_dir() const { return dir() / "final"; }

  FinalizeOutcome run() {
    auto journal = journal::JournalWriter::create(dir(), 5000);
    EXPECT_TRUE(journal.ok());
    return finalize_session(request_, validator_, *journal, services_);
  }

  // The journal's event types in order.
  std::vector<std::string> journal_types() const {
    std::vector<std::string> types;
    auto entries = journal::read_journal(dir() / "journal.jsonl");
    if (!entries) return types;
    for (const auto& e : *entries) types.emplace_back(journal::event_tag(e.event));
    return types;
  }

  void segment(const char* source, std::size_t frames) {
    write_caf(dir() / source / "000001.caf", std::vector<std::int16_t>(frames, 100));
  }

  TempDir tmp_;
  FinalizeRequest request_;
  FakeValidator validator_;
  FinalizeServices services_ = FinalizeServices::defaults();
};

// The report a run of this session left for the final file with this content.
std::string report_of(const std::string& session_id, const std::string& content) {
  return "{\"session_id\": \"" + session_id + "\", \"sha256\": \"" + sha256_hex(content) + "\"}";
}

TEST_F(FinalizeTest, ReuseWritesTheDigestAgainWhenTheDigestFileDoesNotMatch) {
  writeFile(final_dir() / "upload.m4a", "final audio");
  const std::string report = report_of("s1", "final audio");
  writeFile(final_dir() / "export-report.json", report);
  for (const char* recorded : {"", "stale digest"}) {
    if (*recorded != '\0') writeFile(final_dir() / "final-audio.sha256", recorded);
    const auto outcome = run();
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(readFile(final_dir() / "final-audio.sha256"), sha256_hex("final audio"));
    EXPECT_EQ(readFile(final_dir() / "export-report.json"), report);
    EXPECT_FALSE(fs::exists(final_dir() / ".final-audio.sha256.tmp"));
    fs::remove(final_dir() / "final-audio.sha256");
  }
  EXPECT_TRUE(journal_types().empty());
}

TEST_F(FinalizeTest, AFinalFileNoReportOfThisSessionNamesIsNotReused) {
  writeFile(final_dir() / "upload.m4a", "final audio");
  for (const std::string& report :
       {std::string("earlier report"), report_of("s2", "final audio"), report_of("s1", "other audio")}) {
    SCOPED_TRACE(report);
    writeFile(final_dir() / "export-report.json", report);
    const auto outcome = run();
    // Nothing to rebuild it from: the run fails, saying why, and the file stays.
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().to_string(), "no source segments found");
    EXPECT_EQ(
        outcome.warnings(),
        (std::vector<std::string>{"final_file_not_reused: final/upload.m4a is named by no report of this session"}));
    EXPECT_EQ(readFile(final_dir() / "upload.m4a"), "final audio");
  }
}

TEST_F(FinalizeTest, WithoutAHostDurationReuseIsCheckedAgainstTheRecordedMaterial) {
  request_.has_mic = true;
  request_.expected_from_host = false;
  request_.expected_ms = 2000;  // the plan's estimate, which leaves out the gap
  write_caf(dir() / "mic" / "000001.caf", std::vector<std::int16_t>(48000, 1));
  write_caf(dir() / "mic" / "000003.caf", std::vector<std::int16_t>(48000, 1));
  writeFile(dir() / "manifest.jsonl",
            "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":1,\"duration_ms\":2000}\n"
            "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":2,\"duration_ms\":500}\n");
  writeFile(final_dir() / "upload.m4a", "final audio");
  writeFile(final_dir() / "export-report.json", report_of("s1", "final audio"));
  ASSERT_TRUE(run().ok());
  ASSERT_EQ(validator_.calls.size(), 1U);
  EXPECT_EQ(validator_.calls[0].expected_ms, 4500U);  // both segments and the 500 ms slot between them
}

TEST_F(FinalizeTest, InvalidFinalFileIsReplacedByAValidCandidate) {
  request_.has_mic = true;
  segment("mic", 100);
  writeFile(final_dir() / "upload.m4a", "broken");
  writeFile(final_dir() / "candidate.m4a", "candidate audio");
  validator_.fail("upload.m4a", "no audio packets", 1);  // the promoted file then passes
  const auto outcome = run();
  ASSERT_TRUE(outcome.ok()) << outcome.error().to_string();
  EXPECT_EQ(outcome.value().report.method, ExportMethod::LiveCandidate);
  EXPECT_TRUE(outcome.value().report.candidate_attempted);
  EXPECT_FALSE(outcome.value().report.candidate_rejected_reason.has_value());
  EXPECT_EQ(readFile(final_dir() / "upload.m4a"), "candidate audio");
  EXPECT_FALSE(fs::exists(final_dir() / "candidate.m4a"));
  EXPECT_EQ(journal_types(), (std::vector<std::string>{"candidate_validation_started", "export_started",
                                                       "export_completed", "final_audio_hashed"}));
  EXPECT_EQ(readFile(final_dir() / "final-audio.sha256"), sha256_hex("candidate audio"));
  EXPECT_EQ(readFile(final_dir() / "export-report.json"), *write_export_report(outcome.value().report));
}

TEST_F(FinalizeTest, TheFinalFileReachesTheDiskBeforeItsHashIsJournalled) {
  writeFile(final_dir() / "candidate.m4a", "candidate audio");
  std::vector<std::string> seen;
  services_.sync_file = [&](const fs::path& path) -> IoResult<void> {
    seen.push_back(path.filename().string());
    const auto types = journal_types();
    seen.insert(seen.end(), types.begin(), types.end());
    return {};
  };
  ASSERT_TRUE(run().ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"upload.m4a", "candidate_validation_started", "export_started",
                                            "export_completed"}));
  EXPECT_EQ(journal_types().back(), "final_audio_hashed");

  // A failed sync ends the finalisation before the hash line.
  fs::remove_all(final_dir());
  fs::remove(dir() / "journal.jsonl");
  writeFile(final_dir() / "candidate.m4a", "candidate audio");
  services_.sync_file = [](const fs::path&) -> IoResult<void> { return IoError::os(EIO); };
  const auto outcome = run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().to_string(), "IO error: Input/output error (os error 5)");
  EXPECT_EQ(journal_types(),
            (std::vector<std::string>{"candidate_validation_started", "export_started", "export_completed"}));
}

TEST_F(FinalizeTest, CandidateRejections) {
  struct Case {
    bool invalidate;
    std::function<void(FakeValidator&)> setup;
    std::string reason;
    std::vector<std::string> journal;
  };
  const std::vector<Case> cases{
      {true, [](FakeValidator&) {}, "pause_invalidated", {"candidate_rejected", "export_started", "export_failed"}},
      {false,
       [](FakeValidator& v) { v.fail("candidate.m4a", "no audio packets"); },
       "no audio packets",
       {"candidate_validation_started", "candidate_rejected", "export_started", "export_failed"}},
      {false,
       [](FakeValidator& v) { v.error("candidate.m4a", IoError::timed_out("afinfo timed out after 30s")); },
       "validation error: afinfo timed out after 30s",
       {"candidate_validation_started", "candidate_rejected", "export_started", "export_failed"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir());
    writeFile(final_dir() / "candidate.m4a", "candidate audio");
    validator_ = FakeValidator();
    c.setup(validator_);
    request_.invalidate_candidate = c.invalidate;
    const auto outcome = run();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().to_string(), "no source segments found");
    EXPECT_EQ(journal_types(), c.journal) << c.reason;
    auto entries = journal::read_journal(dir() / "journal.jsonl");
    ASSERT_TRUE(entries.ok());
    const auto rejected = std::find_if(entries->begin(), entries->end(), [](const journal::JournalEntry& e) {
      return std::holds_alternative<journal::CandidateRejected>(e.event);
    });
    ASSERT_NE(rejected, entries->end());
    EXPECT_EQ(std::get<journal::CandidateRejected>(rejected->event).reason, c.reason);
    // A rejected candidate stays where it is.
    EXPECT_EQ(readFile(final_dir() / "candidate.m4a"), "candidate audio");
  }
}

TEST_F(FinalizeTest, ACandidateThatIsALinkIsNeverPromoted) {
  writeFile(tmp_ / "elsewhere.m4a", "another recording");
  fs::create_directories(final_dir());
  fs::create_symlink(tmp_ / "elsewhere.m4a", final_dir() / "candidate.m4a");
  request_.invalidate_candidate = false;
  const auto outcome = run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_TRUE(validator_.calls.empty());
  EXPECT_EQ(journal_types(), (std::vector<std::string>{"candidate_rejected", "export_started", "export_failed"}));
  EXPECT_FALSE(fs::exists(final_dir() / "upload.m4a"));
}

TEST_F(FinalizeTest, FinalValidationFailureEndsWithoutAHash) {
  writeFile(final_dir() / "candidate.m4a", "candidate audio");
  validator_.fail("upload.m4a", "no audio packets");
  const auto outcome = run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().to_string(), "validation failed: no audio packets");
  EXPECT_EQ(journal_types(),
            (std::vector<std::string>{"candidate_validation_started", "export_started", "export_completed"}));
  EXPECT_FALSE(fs::exists(final_dir() / "final-audio.sha256"));
}

TEST_F(FinalizeTest, ValidatorErrorOnTheFinalFileIsAnIoError) {
  writeFile(final_dir() / "upload.m4a", "final audio");
  validator_.error("upload.m4a", IoError::os(ENOENT));
  const auto outcome = run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().to_string(), "IO error: No such file or directory (os error 2)");
  EXPECT_EQ(readFile(final_dir() / "upload.m4a"), "final audio");
}

TEST_F(FinalizeTest, EchoCancellationWithoutAMicTimelineFailsOpen) {
  // The plan saw both sources, but the mic segments are gone by the rebuild.
  request_.has_mic = true;
  request_.has_system = true;
  segment("system", 24000);
  writeFile(dir() / "journal.jsonl",
            "{\"schema_version\":1,\"monotonic_ms\":0,\"wall_utc_ms\":0,\"type\":\"output_device_detected\","
            "\"device_class\":\"built_in_speakers\",\"echo_risk\":true}\n");
  const auto outcome = run();
  ASSERT_TRUE(outcome.ok()) << outcome.error().to_string();
  const auto& report = outcome.value().report;
  ASSERT_TRUE(report.aec.has_value());
  EXPECT_TRUE(report.aec->requested);
  EXPECT_FALSE(report.aec->applied);
  EXPECT_EQ(report.aec->fallback_reason, "missing_source_timeline");
  EXPECT_FALSE(report.aec->erle_db.has_value());
  EXPECT_EQ(report.warnings, (std::vector<std::string>{"aec_fail_open: missing_source_timeline"}));
  // The system timeline alone is the mix.
  EXPECT_EQ(readFile(final_dir() / "mixed.caf").substr(68), readFile(dir() / "system_timeline.caf").substr(68));
  EXPECT_FALSE(fs::exists(dir() / "mic_timeline.caf"));
}

TEST_F(FinalizeTest, TheRebuildWorksFromThePlanItIsHanded) {
  // A segment that turns up after planning is not what the plan line counted, so it is not rebuilt either.
  request_.has_mic = true;
  request_.expected_from_host = false;
  write_caf(dir() / "mic" / "000001.caf", std::vector<std::int16_t>(24000, 100));
  const auto plan = recovery::kelvaro_plan(dir(), 720000);
  ASSERT_TRUE(plan.ok());
  request_.expected_ms = plan->duration_ms.value_or(0);
  write_caf(dir() / "mic" / "000002.caf", std::vector<std::int16_t>(24000, 200));

  auto journal = journal::JournalWriter::create(dir(), 5000);
  ASSERT_TRUE(journal.ok());
  const auto outcome = finalize_session(request_, *plan, validator_, *journal, services_);
  ASSERT_TRUE(outcome.ok()) << outcome.error().to_string();
  EXPECT_EQ(fixtures::caf_samples(dir() / "mic_timeline.caf"), std::vector<std::int16_t>(24000, 100));
  ASSERT_FALSE(validator_.calls.empty());
  EXPECT_EQ(validator_.calls.back().expected_ms, 1000U);
}

TEST(WriteFileReplacing, ReplacesTheWholeFileAndLeavesNoTemporary) {
  TempDir tmp;
  writeFile(tmp / "f", "a much longer earlier content");
  ASSERT_TRUE(write_file_replacing(tmp / "f", "new").ok());
  EXPECT_EQ(readFile(tmp / "f"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(write_file_replacing(tmp / "missing-dir" / "f", "x").ok());
}

}  // namespace
}  // namespace recorder::exporter
