// The route coordinator's traces in capture runs on simulated worlds: the
// input and output changes of one route change share an epoch, changes far
// apart do not, unless the later one is the same Bluetooth headset again.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "tests/support/capture_session.h"
#include "tests/support/sim_world.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;

json worldWithHeadset() {
  json headset = {{"uid", "Headset"},    {"name", "AirPods Pro"},
                  {"transport", "blue"}, {"nominal_rate", 24000},
                  {"input_channels", 1}, {"output_channels", 2},
                  {"tap_rate", 48000},   {"signal", {{"type", "noise"}, {"amplitude", 0.1}}}};
  return testsupport::worldWithBuiltInDefaults(
      {testsupport::builtInMic(), testsupport::builtInSpeakers(1000, 0.5), headset});
}

// World time counts from the world's loading; changes come late enough for
// the listeners to be installed even on a slow (sanitised) start-up.
json event(int atMs, const std::string& action, const std::string& device) {
  return {{"at_ms", atMs}, {"action", action}, {"device", device}};
}

bool isCoordinatorObservation(const json& trace) {
  const std::string stage = trace.value("stage", "");
  return stage == "route_coordinator_epoch_started" || stage == "route_coordinator_epoch_updated";
}

// Runs both sources on the world until `count` coordinator observations were
// traced, then stops; returns them in order.
std::vector<json> observationsOf(const json& scenario, size_t count) {
  CaptureSession s({"--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "1"}});
  s.waitFor("helper_ready");
  std::vector<json> observations;
  while (observations.size() < count) {
    auto t = s.waitFor("route_trace");
    if (t.empty()) break;
    if (isCoordinatorObservation(t)) observations.push_back(t);
  }
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
  return observations;
}

TEST(RouteCoordinator, APairedInputAndOutputChangeShareOneEpoch) {
  json scenario = worldWithHeadset();
  scenario["audio"]["events"] = {event(2000, "set_default_input", "Headset"),
                                 event(2000, "set_default_output", "Headset")};
  const auto observations = observationsOf(scenario, 2);
  ASSERT_EQ(observations.size(), 2u);

  const json* input = nullptr;
  const json* output = nullptr;
  for (const auto& o : observations) (o["source"] == "mic" ? input : output) = &o;
  ASSERT_TRUE(input && output);
  EXPECT_EQ(observations[0]["stage"], "route_coordinator_epoch_started");
  EXPECT_EQ(observations[1]["stage"], "route_coordinator_epoch_updated");
  EXPECT_EQ((*input)["fields"]["route_epoch_id"], 1);
  EXPECT_EQ((*output)["fields"]["route_epoch_id"], 1);

  const json& in = (*input)["fields"];
  EXPECT_EQ(in["reason"], "input_device_changed");
  EXPECT_EQ(in["input_uid"], "Headset");
  EXPECT_EQ(in["input_route"], "bluetooth_hfp");
  EXPECT_EQ(in["input_rate"], 24000);
  EXPECT_EQ(in["should_reconnect"], true);
  const json& out = (*output)["fields"];
  EXPECT_EQ(out["reason"], "output_device_changed");
  EXPECT_EQ(out["trigger"], "default_output");
  EXPECT_EQ(out["output_uid"], "Headset");
  EXPECT_EQ(out["output_transport"], "bluetooth_hfp");
  EXPECT_EQ(out["output_rate"], 24000);

  // The later of the two sees the whole route change.
  const json& last = observations[1]["fields"];
  EXPECT_EQ(last["route_class"], "paired_bt_hfp");
  EXPECT_EQ(last["phase"], "verifying");
  EXPECT_EQ(last["seen_input"], true);
  EXPECT_EQ(last["seen_output"], true);
  EXPECT_EQ(last["requires_mic_verification"], true);
  EXPECT_EQ(last["requires_system_verification"], true);
}

TEST(RouteCoordinator, ChangesFarApartOpenTheirOwnEpochs) {
  json scenario = worldWithHeadset();
  scenario["audio"]["events"] = {event(2000, "set_default_input", "Headset"),
                                 event(6000, "set_default_output", "Headset")};
  const auto observations = observationsOf(scenario, 2);
  ASSERT_EQ(observations.size(), 2u);
  EXPECT_EQ(observations[0]["source"], "mic");
  EXPECT_EQ(observations[0]["stage"], "route_coordinator_epoch_started");
  EXPECT_EQ(observations[0]["fields"]["route_epoch_id"], 1);
  EXPECT_EQ(observations[0]["fields"]["route_class"], "input_only");
  EXPECT_EQ(observations[1]["source"], "system");
  EXPECT_EQ(observations[1]["stage"], "route_coordinator_epoch_started");
  EXPECT_EQ(observations[1]["fields"]["route_epoch_id"], 2);
  EXPECT_EQ(observations[1]["fields"]["route_class"], "output_only");
}

TEST(RouteCoordinator, TheSameHeadsetReportedAgainLaterStaysInItsEpoch) {
  json scenario = worldWithHeadset();
  scenario["audio"]["events"] = {event(2000, "set_default_input", "Headset"),
                                 event(2000, "set_default_output", "Headset"),
                                 event(6000, "set_default_system_output", "Headset")};
  const auto observations = observationsOf(scenario, 3);
  ASSERT_EQ(observations.size(), 3u);
  const json& again = observations[2];
  EXPECT_EQ(again["source"], "system");
  EXPECT_EQ(again["stage"], "route_coordinator_epoch_updated");
  EXPECT_EQ(again["fields"]["trigger"], "default_system_output");
  EXPECT_EQ(again["fields"]["route_epoch_id"], 1);
  EXPECT_EQ(again["fields"]["route_class"], "paired_bt_hfp");
}

TEST(RouteCoordinator, APairedChangeSettlesOnceTheMicAndTheSystemAreVerified) {
  // The headset takes the input and both outputs at once: the second output
  // notification comes while the first one's rebuild is in flight.
  json scenario = worldWithHeadset();
  scenario["audio"]["events"] = {event(2000, "set_default_input", "Headset"),
                                 event(2000, "set_default_output", "Headset"),
                                 event(2000, "set_default_system_output", "Headset")};
  CaptureSession s({"--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "1"}});
  s.waitFor("helper_ready");
  json settled;
  while (settled.empty()) {
    auto t = s.waitFor("route_trace", std::chrono::seconds(30));
    if (t.empty()) break;
    if (t["stage"] == "route_coordinator_epoch_settled") settled = t;
  }
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);
  ASSERT_FALSE(settled.empty()) << s.joined();
  EXPECT_EQ(settled["fields"]["route_epoch_id"], 1);
  EXPECT_EQ(settled["fields"]["route_class"], "paired_bt_hfp");
  // Both sources recovered, and every coordinator trace is of the one epoch.
  std::set<std::string> recovered;
  for (const auto& e : s.eventsOfType("source_recovered")) recovered.insert(e["source"].get<std::string>());
  EXPECT_EQ(recovered, (std::set<std::string>{"mic", "system"}));
  std::vector<std::string> stages;
  for (const auto& t : s.eventsOfType("route_trace")) {
    const std::string stage = t["stage"];
    if (stage.rfind("route_coordinator_", 0) != 0) continue;
    EXPECT_EQ(t["fields"]["route_epoch_id"], 1) << t.dump();
    stages.push_back(stage);
  }
  ASSERT_GE(stages.size(), 2u);
  EXPECT_EQ(stages.front(), "route_coordinator_epoch_started");
  // The stop cancels whatever is left after the settle.
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "route_coordinator_epoch_settled"), 1);
}

}  // namespace
