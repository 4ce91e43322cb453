// --mode test-device-following.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;

TEST(DeviceFollowingMode, OnTheDefaultWorldEveryCheckPassesAndOnlyTheSummaryIsWritten) {
  testsupport::RunOptions o;
  o.unsetEnv.push_back("VORLANTHEA_SIM_SCENARIO");
  const auto r = tasmerigtest::runTasmerig({"--mode", "test-device-following"}, o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "test_device_following: 12/12 passed, 0 failed\n");
  EXPECT_EQ(r.out, "");
}

TEST(DeviceFollowingMode, NoAudioDeviceIsNeeded) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "world.json", json{{"audio", {{"devices", json::array()}}}}.dump());
  testsupport::RunOptions o;
  o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "world.json").string();
  const auto r = tasmerigtest::runTasmerig({"--mode", "test-device-following"}, o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "test_device_following: 12/12 passed, 0 failed\n");
}

}  // namespace
