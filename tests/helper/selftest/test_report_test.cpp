#include "helper/selftest/test_report.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/helper/selftest/stderr_capture.h"

namespace helper {
namespace {

using selftesttest::StderrCapture;

TEST(TestReport, CheckLinesAndCounters) {
  StderrCapture capture;
  TestReport r;
  r.check("first_case", true, "never shown");
  r.check("second_case", false, "policy \u2192 broken");
  r.check("third_case", false, "");
  EXPECT_EQ(capture.text(),
            "PASS: first_case\n"
            "FAIL: second_case \xE2\x80\x94 policy \xE2\x86\x92 broken\n"
            "FAIL: third_case\n");
  EXPECT_EQ(r.passed(), 1);
  EXPECT_EQ(r.failed(), 2);
}

TEST(TestReport, QuietChecksWriteOnlyFailuresAndCountsWriteNothing) {
  StderrCapture capture;
  TestReport r;
  r.checkQuiet("quiet_pass", true);
  r.checkQuiet("quiet_fail", false);
  r.count(true);
  r.count(false);
  EXPECT_EQ(capture.text(), "FAIL: quiet_fail\n");
  EXPECT_EQ(r.passed(), 2);
  EXPECT_EQ(r.failed(), 2);
}

class TestReportDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(TestReportDeathTest, FinishWritesTheSummaryAndExitsZeroWhenAllHeld) {
  EXPECT_EXIT(
      {
        TestReport r;
        r.checkQuiet("a", true);
        r.checkQuiet("b", true);
        r.finish("test_device_following: ");
      },
      ::testing::ExitedWithCode(0), "^test_device_following: 2/2 passed, 0 failed\n$");
}

TEST_F(TestReportDeathTest, OneFailureAnywhereExitsOne) {
  EXPECT_EXIT(
      {
        TestReport r;
        r.check("a", true, "");
        r.check("b", false, "");
        r.check("c", true, "");
        r.finish("\nself-test: ");
      },
      ::testing::ExitedWithCode(1), "^PASS: a\nFAIL: b\nPASS: c\n\nself-test: 2/3 passed, 1 failed\n$");
}

}  // namespace
}  // namespace helper
