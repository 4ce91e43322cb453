// --mode test-hardware-input-stress in the simulated worlds of scenario files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;

testsupport::RunResult runStress(const json& scenario = nullptr) {
  testsupport::TempDir dir;
  testsupport::RunOptions o;
  if (scenario.is_null()) {
    o.unsetEnv.push_back("VORLANTHEA_SIM_SCENARIO");
  } else {
    testsupport::writeFile(dir / "world.json", scenario.dump());
    o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "world.json").string();
  }
  return tasmerigtest::runTasmerig({"--mode", "test-hardware-input-stress"}, o);
}

TEST(HardwareInputStressMode, TheDefaultMicrophonePassesAllFourChecks) {
  const auto r = runStress();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "PASS: fresh_engine_input_format_valid\n"
            "PASS: fresh_engine_start_stop_no_crash\n"
            "PASS: fresh_engine_sequential_swap_no_crash\n"
            "PASS: fresh_engine_5x_stress_no_crash\n"
            "\n"
            "hardware-input-stress: 4/4 passed, 0 failed\n");
}

TEST(HardwareInputStressMode, WithoutAnInputDeviceTheFormatAndCycleChecksFail) {
  const auto r = runStress(
      {{"audio",
        {{"devices", json::array({{{"uid", "Speakers"}, {"output_channels", 2}, {"data_source", "ispk"}}})}}}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "FAIL: fresh_engine_input_format_valid \xE2\x80\x94 rate=0.0 ch=0\n"
            "PASS: fresh_engine_start_stop_no_crash\n"
            "FAIL: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n"
            "\n"
            "hardware-input-stress: 1/4 passed, 3 failed\n");
}

TEST(HardwareInputStressMode, AnEngineThatNeverStartsFailsEveryStartingCheck) {
  const auto r = runStress({{"audio", {{"faults", json::array({{{"call", "engine_start"}, {"times", -1}}})}}}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "PASS: fresh_engine_input_format_valid\n"
            "FAIL: fresh_engine_start_stop_no_crash \xE2\x80\x94 engine start failed (no mic?)\n"
            "FAIL: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n"
            "\n"
            "hardware-input-stress: 1/4 passed, 3 failed\n");
}

TEST(HardwareInputStressMode, OneFailedStartFailsOnlyTheCheckItHappenedIn) {
  const auto r = runStress({{"audio", {{"faults", json::array({{{"call", "engine_start"}, {"times", 1}}})}}}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "PASS: fresh_engine_input_format_valid\n"
            "FAIL: fresh_engine_start_stop_no_crash \xE2\x80\x94 engine start failed (no mic?)\n"
            "PASS: fresh_engine_sequential_swap_no_crash\n"
            "PASS: fresh_engine_5x_stress_no_crash\n"
            "\n"
            "hardware-input-stress: 3/4 passed, 1 failed\n");
}

}  // namespace
