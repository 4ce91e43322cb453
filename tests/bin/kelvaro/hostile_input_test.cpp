// What a crashing host or a hostile user can leave in the way of kelvaro:
// closed standard descriptors, links at the output names, a torn journal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using testsupport::readFile;

// A mic and a system source of 1 s each.
void one_second(Session& s) {
  s.segment("mic", 1, tone(24000, 440, 3000));
  s.segment("system", 1, tone(24000, 660, 2000));
}

TEST(KelvaroHostileInput, ClosedStandardErrorNeverLandsInTheJournal) {
  Session s("s-closed-fd");
  one_second(s);
  s.echo_risk();
  testsupport::RunOptions o;
  o.args = {"-c", "exec \"$0\" \"$@\" 2>&-", VR_KELVARO_PATH, s.dir().string(), "1000"};
  o.unsetEnv.push_back("VORLANTHEA_FFMPEG");
  const auto r = testsupport::runProgram("/bin/sh", o);
  ASSERT_EQ(r.exitCode, 0);
  const std::string journal = readFile(s.dir() / "journal.jsonl");
  EXPECT_EQ(journal.find("recovered_m4a="), std::string::npos) << journal;
  EXPECT_EQ(journal.find("sha256="), std::string::npos) << journal;
  EXPECT_GT(s.journal(1).size(), 0u);  // every appended line parses as JSON
  EXPECT_TRUE(fs::exists(s.upload()));
}

TEST(KelvaroHostileInput, OutputsReplaceLinksInsteadOfWritingThroughThem) {
  Session s("s-links");
  one_second(s);
  const auto mic = s.dir() / "mic" / "000001.caf";
  const auto system = s.dir() / "system" / "000001.caf";
  const std::string micBefore = readFile(mic), systemBefore = readFile(system);
  fs::create_symlink(mic, s.dir() / "mic_timeline.caf");
  fs::create_directories(s.final_dir());
  fs::create_symlink(system, s.final_dir() / "mixed.caf");
  fs::create_symlink(mic, s.dir() / "system_timeline.caf");

  const auto r = run_kelvaro({s.dir().string(), "1000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(mic), micBefore);
  EXPECT_EQ(readFile(system), systemBefore);
  EXPECT_FALSE(fs::is_symlink(s.dir() / "mic_timeline.caf"));
  EXPECT_FALSE(fs::is_symlink(s.final_dir() / "mixed.caf"));
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf"), tone(24000, 440, 3000));
}

TEST(KelvaroHostileInput, TornJournalTailKeepsTheNewLinesWhole) {
  Session s("s-torn");
  one_second(s);
  s.journal_lines(std::string(kEchoRiskLine) + "\n{\"schema_version\":1,\"type\":\"torn");
  const auto r = run_kelvaro({s.dir().string(), "1000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The host's two lines, the torn one on its own, then kelvaro's, each parseable.
  const auto appended = s.journal(2);
  ASSERT_FALSE(appended.empty());
  for (const auto& e : appended) EXPECT_TRUE(e.contains("type")) << e.dump();
}

}  // namespace
}  // namespace kelvarotest

namespace kelvarotest {
namespace {

// A terminated kelvaro takes its encoder with it instead of leaving it
// writing into the session.
TEST(KelvaroHostileInput, TerminationEndsTheRunningEncoder) {
  Session s("s-encoder");
  one_second(s);
  const auto pidFile = s.tmp() / "encoder.pid";
  const auto ffmpeg = write_script(s.tmp() / "ffmpeg", "echo $$ > '" + pidFile.string() + "'; exec sleep 60");
  testsupport::RunOptions o;
  o.args = {s.dir().string(), "1000"};
  o.env["VORLANTHEA_FFMPEG"] = ffmpeg.string();
  o.env["PATH"] = "/usr/bin:/bin";
  testsupport::Child child(VR_KELVARO_PATH, o);
  for (int i = 0; i < 300 && !fs::exists(pidFile); ++i) ::usleep(20000);
  ASSERT_TRUE(fs::exists(pidFile));
  ::usleep(50000);  // the pid is written before exec
  const pid_t encoder = std::stoi(readFile(pidFile));
  child.sendSignal(SIGTERM);
  const auto r = child.wait(std::chrono::seconds(20));
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 1);
  bool gone = false;
  for (int i = 0; i < 250 && !gone; ++i) {
    gone = ::kill(encoder, 0) != 0 && errno == ESRCH;
    if (!gone) ::usleep(20000);
  }
  EXPECT_TRUE(gone) << "encoder " << encoder << " still running";
}

}  // namespace
}  // namespace kelvarotest
