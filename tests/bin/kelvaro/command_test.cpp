// The command line, the plan line and the failures before and around the finalisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using Lines = std::vector<std::string>;
using testsupport::RunOptions;

const std::string kUsage = "usage: kelvaro <session-dir> [expected-duration-ms]";

TEST(KelvaroCommand, MissingOrEmptyDirectoryArgumentPrintsTheUsage) {
  testsupport::TempDir cwd;
  RunOptions options;
  options.cwd = cwd.path().string();
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {""}, {"", "3000"}}) {
    const auto r = run_kelvaro(args, options);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.errLines(), Lines{kUsage});
    EXPECT_TRUE(r.out.empty());
  }
  // Nothing was created, least of all in the working directory.
  EXPECT_TRUE(fs::is_empty(cwd.path()));
}

TEST(KelvaroCommand, ArgumentsThatAreNotUtf8AreRefusedWithoutAJournal) {
  Session s;
  auto r = run_kelvaro({(s.dir() / "\xFF").string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.errLines(), (Lines{"kelvaro: arguments must be valid UTF-8", kUsage}));
  r = run_kelvaro({s.dir().string(), "12\xFF"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_FALSE(fs::exists(s.dir() / "journal.jsonl"));
}

TEST(KelvaroCommand, EmptySessionFailsWithNoSourceSegments) {
  Session s;
  const auto r = run_kelvaro({s.dir().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.errLines(), (Lines{"recovery plan: mic_segments=0 system_segments=0 gaps=0 warnings=0 expected_ms=0",
                                 "finalize failed: no source segments found"}));
  const auto journal = s.journal();
  ASSERT_EQ(journal.size(), 2U);
  EXPECT_EQ(journal[0].at("type"), "export_started");
  EXPECT_EQ(journal[0].at("method"), "fallback_caf");
  EXPECT_EQ(journal[1].at("type"), "export_failed");
  EXPECT_EQ(journal[1].at("method"), "fallback_caf");
  EXPECT_EQ(journal[1].at("reason"), "no source segments");
  EXPECT_TRUE(fs::is_directory(s.final_dir()));
}

TEST(KelvaroCommand, PlanLineCountsSegmentsGapsWarningsAndTheDurationUsed) {
  Session s;
  // Mic 1, 2 and 5: two missing indices and two short non-final segments; one unparsable name.
  s.segment("mic", 1, constant(2400, 100));
  s.segment("mic", 2, constant(2400, 100));
  s.segment("mic", 5, constant(2400, 100));
  testsupport::writeFile(s.dir() / "mic" / "notes.caf", caf_file(constant(10, 1)));
  s.segment("system", 1, constant(4800, 100));
  // Slots of 100 ms keep the rebuilt audio short.
  std::string manifest;
  for (int i = 1; i <= 4; ++i) {
    manifest +=
        "{\"type\":\"segment_closed\",\"source\":\"mic\",\"seq\":" + std::to_string(i) + ",\"duration_ms\":100}\n";
  }
  s.manifest(manifest);
  const auto plan_line = [&](std::vector<std::string> args) {
    args.insert(args.begin(), s.dir().string());
    const auto r = run_kelvaro(args);
    return r.errLines().empty() ? std::string() : r.errLines().front();
  };
  const std::string prefix = "recovery plan: mic_segments=3 system_segments=1 gaps=4 warnings=1 expected_ms=";
  EXPECT_EQ(plan_line({"+250"}), prefix + "250");
  EXPECT_EQ(plan_line({"18446744073709551615"}), prefix + "18446744073709551615");
  // Anything else falls back to the plan's duration (the longer source: 300 ms of mic).
  for (const char* arg : {"abc", "-5", "", "+", "18446744073709551616", "1.5"}) {
    EXPECT_EQ(plan_line({arg}), prefix + "300") << arg;
  }
  EXPECT_EQ(plan_line({}), prefix + "300");
  EXPECT_EQ(plan_line({"300", "ignored", "arguments"}), prefix + "300");
}

TEST(KelvaroCommand, PlanFailureLeavesNoJournal) {
  // A mistyped session path: nothing is created, neither there nor in its parent.
  Session s;
  const auto missing = s.dir() / "no-such-session";
  const auto r = run_kelvaro({missing.string(), "3000"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.errLines(), Lines{"recovery plan failed: session directory " + missing.string() +
                                ": No such file or directory (os error 2)"});
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(fs::is_empty(s.dir()));
  // A plain file is no session directory either.
  testsupport::writeFile(s.dir() / "file", "x");
  const auto file = run_kelvaro({(s.dir() / "file").string()});
  EXPECT_EQ(file.exitCode, 1);
  EXPECT_EQ(file.errLines(),
            Lines{"recovery plan failed: session directory " + (s.dir() / "file").string() + ": Not a directory"});
  EXPECT_FALSE(fs::exists(s.dir() / "journal.jsonl"));
}

TEST(KelvaroCommand, JournalThatIsNoFileOfTheSessionIsLeftOut) {
  Session s;
  s.segment("mic", 1, constant(2400, 100));
  fs::create_directories(s.dir() / "journal.jsonl");
  const auto r = run_kelvaro({s.dir().string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(value_of(r, "warnings")
                .find("journal_left_out: journal.jsonl (" + (s.dir() / "journal.jsonl").string() + ") is a directory"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::is_empty(s.dir() / "journal.jsonl"));
}

TEST(KelvaroCommand, SessionIdIsTheDirectoryName) {
  Session s("meeting-42");
  s.segment("mic", 1, tone(24000, 440, 3000));
  const auto r = run_kelvaro({s.dir().string() + "/", "1000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(s.report().at("session_id"), "meeting-42");
  EXPECT_EQ(value_of(r, "idempotency_key"), sha256_text("meeting-42:" + value_of(r, "sha256") + ":upload_schema_v1"));
  // Printed paths keep the directory as given.
  EXPECT_EQ(value_of(r, "recovered_m4a"), s.dir().string() + "/final/upload.m4a");

  // Every spelling of the session's path names it by its real directory, with one key.
  fs::create_directories(s.dir() / "sub");
  fs::create_symlink(s.dir(), s.tmp() / "alias");
  const std::string key = value_of(r, "idempotency_key");
  for (const auto& [dir, cwd] : std::vector<std::pair<std::string, std::string>>{{"..", (s.dir() / "sub").string()},
                                                                                 {(s.tmp() / "alias").string(), ""},
                                                                                 {(s.dir() / "mic/..").string(), ""}}) {
    SCOPED_TRACE(dir);
    fs::remove_all(s.final_dir());
    RunOptions in;
    in.cwd = cwd;
    const auto again = run_kelvaro({dir, "1000"}, in);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(s.report().at("session_id"), "meeting-42");
    EXPECT_EQ(value_of(again, "idempotency_key"), key);
  }
}

}  // namespace
}  // namespace kelvarotest
