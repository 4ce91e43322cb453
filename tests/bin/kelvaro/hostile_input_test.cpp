// What a crashing host or a hostile user can leave in the way of kelvaro:
// closed standard descriptors, links at the output names, a torn journal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using testsupport::readFile;

// A mic and a system source of 1 s each.
void one_second(Session& s) { two_tones(s, 24000); }

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

// kelvaro writes only inside the session, and reuses only an upload it made there for it.
TEST(KelvaroHostileInput, PlantedLinksSendNothingOutsideAndAreNeverReused) {
  Session other("s-other");
  other.segment("mic", 1, tone(24000, 300, 3000));
  ASSERT_EQ(run_kelvaro({other.dir().string(), "1000"}).exitCode, 0);
  const std::string other_upload = readFile(other.upload());
  const std::string other_sha = sha256_file(other.upload());

  Session s("s-planted");
  one_second(s);
  const auto outside = s.tmp() / "outside";
  fs::create_directories(outside);
  const auto outside_journal = s.tmp() / "outside.jsonl";
  testsupport::writeFile(outside_journal, "");
  fs::create_symlink(outside, s.final_dir());
  fs::create_symlink(outside_journal, s.dir() / "journal.jsonl");
  auto r = run_kelvaro({s.dir().string(), "1000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_EQ(readFile(outside_journal), "");
  EXPECT_FALSE(fs::is_symlink(s.final_dir()));
  EXPECT_TRUE(fs::is_regular_file(s.upload()));
  EXPECT_NE(value_of(r, "warnings").find("planted_link_removed: final"), std::string::npos) << r.err;
  EXPECT_NE(value_of(r, "warnings").find("journal_left_out: journal.jsonl"), std::string::npos) << r.err;
  const std::string own_sha = value_of(r, "sha256");

  // Another recording's valid upload linked in place of this one's is not this session's audio.
  fs::remove(s.upload());
  fs::create_symlink(other.upload(), s.upload());
  r = run_kelvaro({s.dir().string(), "1000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "sha256"), own_sha);
  EXPECT_NE(value_of(r, "sha256"), other_sha);
  EXPECT_FALSE(fs::is_symlink(s.upload()));
  EXPECT_EQ(readFile(other.upload()), other_upload);
  EXPECT_EQ(s.report().at("sha256"), own_sha);
}

TEST(KelvaroHostileInput, TornJournalTailKeepsTheNewLinesWhole) {
  // Torn after a whole character, and inside one: the echo risk before it
  // counts, in the first run and in every run after kelvaro appended to it.
  for (const std::string tail : {"{\"schema_version\":1,\"type\":\"torn", "{\"type\":\"x\",\"device\":\"Caf\xC3"}) {
    Session s("s-torn");
    one_second(s);
    s.journal_lines(std::string(kEchoRiskLine) + "\n" + tail);
    const auto r = run_kelvaro({s.dir().string(), "1000"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(s.report().contains("aec")) << tail;
    // The host's two lines, the torn one on its own, then kelvaro's, each parseable.
    const std::string journal = readFile(s.dir() / "journal.jsonl");
    const auto after_torn = journal.find('\n', journal.find(tail)) + 1;
    std::istringstream rest(journal.substr(after_torn));
    std::string line;
    std::size_t appended = 0;
    for (; std::getline(rest, line); ++appended) EXPECT_TRUE(nlohmann::json::parse(line).contains("type")) << line;
    EXPECT_GT(appended, 0U);
    fs::remove_all(s.final_dir());
    ASSERT_EQ(run_kelvaro({s.dir().string(), "1000"}).exitCode, 0);
    EXPECT_TRUE(s.report().contains("aec")) << tail;
  }
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
  // Exactly one failure line, after the plan line, says why it ended.
  ASSERT_EQ(r.errLines().size(), 2U) << r.err;
  EXPECT_EQ(r.errLines()[1], "finalize failed: IO error: stopped by SIGTERM");
  bool gone = false;
  for (int i = 0; i < 250 && !gone; ++i) {
    gone = ::kill(encoder, 0) != 0 && errno == ESRCH;
    if (!gone) ::usleep(20000);
  }
  EXPECT_TRUE(gone) << "encoder " << encoder << " still running";
}

}  // namespace
}  // namespace kelvarotest
