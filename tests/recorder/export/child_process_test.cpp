#include "recorder/export/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include "tests/recorder/export/export_fixtures.h"
#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

using fixtures::write_script;
using testsupport::readFile;
using testsupport::TempDir;

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(ChildProcess, CapturesBothOutputsAndTheStatus) {
  TempDir tmp;
  const auto tool = write_script(tmp / "tool", "echo \"out $1\"; echo \"err $2\" >&2; exit 3");
  auto r = run_child_with_timeout({tool.string(), {"a b", "-c"}}, 10, "tool");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_FALSE(r->success());
  EXPECT_EQ(describe_wait_status(r->status), "exit status: 3");
  EXPECT_EQ(text(r->stdout_bytes), "out a b\n");
  EXPECT_EQ(text(r->stderr_bytes), "err -c\n");

  auto ok = run_child_with_timeout({"sh", {"-c", "exit 0"}}, 10, "sh");  // a bare name goes through the search path
  ASSERT_TRUE(ok.ok());
  EXPECT_TRUE(ok->success());
}

TEST(ChildProcess, StandardInputIsTheNullDevice) {
  auto r = run_child_with_timeout({"cat", {}}, 10, "cat");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->success());
  EXPECT_TRUE(r->stdout_bytes.empty());
}

TEST(ChildProcess, ChattyChildIsDrainedAndOnlyTheTailIsKept) {
  TempDir tmp;
  // 1 MiB on each pipe: far beyond a pipe's capacity, so the child only ends if both are drained.
  const auto tool = write_script(tmp / "chatty",
                                 "head -c 1048576 /dev/zero | tr '\\0' a\n"
                                 "head -c 1048576 /dev/zero | tr '\\0' b >&2\n"
                                 "echo END >&2");
  auto r = run_child_with_timeout({tool.string(), {}}, 60, "chatty");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_TRUE(r->success());
  ASSERT_EQ(r->stdout_bytes.size(), kChildCaptureLimit);
  ASSERT_EQ(r->stderr_bytes.size(), kChildCaptureLimit);
  EXPECT_EQ(text(r->stdout_bytes), std::string(kChildCaptureLimit, 'a'));
  EXPECT_EQ(text(r->stderr_bytes), std::string(kChildCaptureLimit - 4, 'b') + "END\n");
}

TEST(ChildProcess, ChildPastItsDeadlineIsKilledAndReaped) {
  TempDir tmp;
  const auto pid_file = tmp / "pid";
  const auto tool = write_script(tmp / "sleeper", "echo $$ > '" + pid_file.string() + "'; exec sleep 30");
  auto r = run_child_with_timeout({tool.string(), {}}, 1, "sleeper");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), IoError::Kind::TimedOut);
  EXPECT_EQ(r.error().to_string(), "sleeper timed out after 1s");
  const pid_t pid = std::stoi(readFile(pid_file));
  // Reaped: not even a zombie is left.
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, MissingProgramIsASpawnError) {
  auto r = run_child_with_timeout({"/nonexistent/dir/tool", {}}, 10, "tool");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "No such file or directory (os error 2)");
  auto bare = run_child_with_timeout({"vr-no-such-tool-anywhere", {}}, 10, "tool");
  ASSERT_FALSE(bare.ok());
  EXPECT_EQ(bare.error().os_code(), ENOENT);
}

TEST(ChildProcess, WaitStatusTexts) {
  EXPECT_EQ(describe_wait_status(0), "exit status: 0");
  EXPECT_EQ(describe_wait_status(1 << 8), "exit status: 1");
  EXPECT_EQ(describe_wait_status(SIGKILL), "signal: 9 (SIGKILL)");
  EXPECT_EQ(describe_wait_status(SIGSEGV | 0x80), "signal: 11 (SIGSEGV) (core dumped)");
}

TEST(ChildProcess, LossyUtf8AndTrimming) {
  auto lossy = [](const std::string& s) { return utf8_lossy(std::vector<std::uint8_t>(s.begin(), s.end())); };
  EXPECT_EQ(lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(lossy("a\xFF"
                  "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated sequence is one replacement character; an invalid second byte starts afresh.
  EXPECT_EQ(lossy("\xE2\x82"), "\xEF\xBF\xBD");
  EXPECT_EQ(lossy("\xE2(x"), "\xEF\xBF\xBD(x");
  EXPECT_EQ(lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
  EXPECT_EQ(trim_whitespace("  \t boom \r\n"), "boom");
  EXPECT_EQ(trim_whitespace(" \n "), "");
}

}  // namespace
}  // namespace recorder::exporter
