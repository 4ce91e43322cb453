#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

TEST(TestClassifyMode, AllFixturesPassAndOnlyTheSummaryIsWritten) {
  testsupport::RunOptions opts;
  opts.args = {"--mode", "test-classify"};
  const auto r = testsupport::runProgram(VR_TASMERIG_PATH, opts);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "test_classify: 25/25 passed, 0 failed\n");
  EXPECT_TRUE(r.out.empty());
}

}  // namespace
