// --mode test-device-following.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;

// The debounce checks sleep against real timers and fail when a loaded
// machine runs a timer late (the mode says so); a few tries keep that from
// failing the suite, while a broken state fails every one.
testsupport::RunResult runTheChecks(const testsupport::RunOptions& o) {
  testsupport::RunResult r;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = tasmerigtest::runTasmerig({"--mode", "test-device-following"}, o);
    if (r.exitCode == 0) break;
  }
  return r;
}

TEST(DeviceFollowingMode, OnTheDefaultWorldEveryCheckPassesAndOnlyTheSummaryIsWritten) {
  testsupport::RunOptions o;
  o.unsetEnv.push_back("VORLANTHEA_SIM_SCENARIO");
  const auto r = runTheChecks(o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "test_device_following: 12/12 passed, 0 failed\n");
  EXPECT_EQ(r.out, "");
}

TEST(DeviceFollowingMode, NoAudioDeviceIsNeeded) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "world.json", json{{"audio", {{"devices", json::array()}}}}.dump());
  testsupport::RunOptions o;
  o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "world.json").string();
  const auto r = runTheChecks(o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "test_device_following: 12/12 passed, 0 failed\n");
}

}  // namespace
