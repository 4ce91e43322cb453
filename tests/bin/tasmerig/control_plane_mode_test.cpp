// --mode test-control-plane.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ControlPlaneMode, EveryCasePassesWithItsNameAndTheScratchDirectoryIsGone) {
  testsupport::TempDir tmp;
  testsupport::RunOptions o;
  o.env["TMPDIR"] = tmp.path().string();  // the rollover cases' scratch directory goes here
  o.unsetEnv = {"VORLANTHEA_SIM_SCENARIO", "VORLANTHEA_ROUTE_TRACE"};
  const auto r = tasmerigtest::runTasmerig({"--mode", "test-control-plane"}, o);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");

  const std::vector<std::string> lines = r.errLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "test_control_plane: 153/153 passed, 0 failed");
  std::set<std::string> passed;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    ASSERT_EQ(lines[i].rfind("PASS: ", 0), 0u) << lines[i];
    passed.insert(lines[i].substr(6));
  }
  EXPECT_EQ(lines.size(), 154u);
  EXPECT_EQ(passed.size(), 153u);  // no name twice
  for (const char* name :
       {"command_bypasses_main_queue_heartbeat", "critical_event_source_failed", "droppable_event_route_trace",
        "system_rate_usb_96000_stays_tap_asbd", "route_epoch_accumulator_snapshots_after_settle_1"}) {
    EXPECT_EQ(passed.count(name), 1u) << name;
  }
  EXPECT_EQ(lines.front(), "PASS: command_bypasses_main_queue_heartbeat");
  EXPECT_EQ(lines[lines.size() - 2], "PASS: system_cadence_nominal_segment_is_normal");
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

}  // namespace
