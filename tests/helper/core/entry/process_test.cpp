#include "helper/core/entry/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "helper/core/entry/globals.h"

namespace helper {
namespace {

TEST(ClampFloat, BoundsBothWays) {
  EXPECT_EQ(clampFloat(5, 0, 1), 1);
  EXPECT_EQ(clampFloat(-2, 0, 1), 0);
  EXPECT_EQ(clampFloat(0.5f, 0, 1), 0.5f);
}

class CrashDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CrashDeathTest, SigSafeWriteUIntWritesDecimal) {
  EXPECT_EXIT(
      {
        sigSafeWriteUInt(0);
        write(2, "|", 1);
        sigSafeWriteUInt(4294967295u);
        write(2, "|", 1);
        sigSafeWriteUInt(42);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "^0\\|4294967295\\|42$");
}

TEST_F(CrashDeathTest, HandlerReportsSignalAndStopStepThenExits128PlusSignal) {
  EXPECT_EXIT(
      {
        installCrashHandler();
        gStopStep.store(3);
        std::raise(SIGABRT);
      },
      ::testing::ExitedWithCode(134),
      "^\nhelper fatal signal 6 during teardown; performStop step=3; crashing-thread backtrace:\n"
      "(.*\n)*helper end backtrace\n$");
}

TEST_F(CrashDeathTest, StopStepIsZeroBeforeAStop) {
  EXPECT_EXIT(
      {
        installCrashHandler();
        std::raise(SIGTRAP);
      },
      ::testing::ExitedWithCode(128 + SIGTRAP), "helper fatal signal 5 during teardown; performStop step=0;");
}

}  // namespace
}  // namespace helper
