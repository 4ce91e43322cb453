// The system tap graph follows the default output while a recording runs:
// scripted output changes, failed and silent new outputs, and stops that
// meet a rebuild, read from the helper's events; kelvaro then finalises the
// session.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "tests/support/capture_session.h"
#include "tests/support/process.h"
#include "tests/support/session_checks.h"
#include "tests/support/sim_world.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;
using testsupport::expectSealedAndEnded;
using testsupport::finalise;
using testsupport::findFrom;
using testsupport::ofSource;
using testsupport::ofType;
using testsupport::segmentClosed;
using testsupport::timelineMs;
using testsupport::traces;

json mic() { return testsupport::builtInMic(); }
json speakers() { return testsupport::builtInSpeakers(); }
json headphones() { return testsupport::outputDevice("Headphones", "External Headphones", {{"data_source", "hdpn"}}); }
using testsupport::outputDevice;

json switchTo(int64_t atMs, const std::string& uid, const char* action = "set_default_output") {
  return testsupport::worldEvent(atMs, action, {{"device", uid}});
}

json world(json devices, json events, json faults = json::array()) {
  return testsupport::worldWithBuiltInDefaults(std::move(devices), std::move(events), std::move(faults));
}

CaptureSession record(const json& scenario) {
  return CaptureSession({"--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "1"}});
}

void stopAfterAWhile(CaptureSession& s, int levels) {
  for (int seen = 0; seen < levels;) {
    auto e = s.waitFor("level");
    if (e.empty()) return;
    if (e["source"] == "system") ++seen;
  }
  s.send({{"type", "stop"}, {"request_id", "stop"}});
}

TEST(SystemRebuild, WiredHeadphonesTakeOverFromTheSpeakers) {
  auto s = record(world({mic(), speakers(), headphones()}, {switchTo(3000, "Headphones")}));
  s.waitFor("helper_ready");
  s.waitFor("output_device_changed", std::chrono::seconds(20));
  s.waitFor("source_recovered");
  stopAfterAWhile(s, 8);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  const size_t reconnecting = findFrom(events, 0, ofType("source_reconnecting"));
  ASSERT_LT(reconnecting, events.size()) << s.joined();
  EXPECT_EQ(events[reconnecting], (json{{"type", "source_reconnecting"},
                                        {"source", "system"},
                                        {"reason", "output_device_changed"},
                                        {"sample_rate", 48000},
                                        {"channels", 2}}));
  const size_t sealed = findFrom(events, reconnecting, segmentClosed("system", 1));
  ASSERT_LT(sealed, events.size());
  const size_t change = findFrom(events, sealed, ofType("device_change"));
  ASSERT_LT(change, events.size());
  EXPECT_EQ(
      events[change],
      (json{{"type", "device_change"},
            {"src", "system"},
            {"from",
             {{"uid", "Speakers"}, {"name", "MacBook Pro Speakers"}, {"native_rate", 48000}, {"native_channels", 2}}},
            {"to",
             {{"uid", "Headphones"}, {"name", "External Headphones"}, {"native_rate", 48000}, {"native_channels", 2}}},
            {"gap_ms", 0},
            {"canonical_preserved", true}}));
  const size_t classed = findFrom(events, change, ofType("output_device_changed"));
  ASSERT_LT(classed, events.size());
  EXPECT_EQ(events[classed],
            (json{{"type", "output_device_changed"}, {"device_class", "headphone_jack"}, {"echo_risk_after", false}}));
  const size_t recovered = findFrom(events, classed, ofType("source_recovered"));
  ASSERT_LT(recovered, events.size());
  EXPECT_EQ(events[recovered],
            (json{{"type", "source_recovered"}, {"source", "system"}, {"sample_rate", 48000}, {"channels", 2}}));
  EXPECT_TRUE(s.eventsOfType("source_failed").empty());
  EXPECT_EQ(s.eventsOfType("source_reconnecting").size(), 1u);

  // The route coordinator opened one epoch for the output change and settled
  // it once the new graph's frames were verified.
  std::vector<json> coordinator;
  for (const auto& e : s.eventsOfType("route_trace")) {
    if (e.value("stage", "").rfind("route_coordinator_", 0) == 0) coordinator.push_back(e);
  }
  ASSERT_FALSE(coordinator.empty()) << s.joined();
  std::set<int64_t> epochs;
  for (const auto& t : coordinator) epochs.insert(t["fields"]["route_epoch_id"].get<int64_t>());
  EXPECT_EQ(epochs, (std::set<int64_t>{1})) << s.joined();
  // The stop then cancels the coordinator, whatever its phase.
  if (coordinator.back()["stage"] == "route_coordinator_epoch_cancelled") coordinator.pop_back();
  ASSERT_FALSE(coordinator.empty());
  EXPECT_EQ(coordinator.front()["stage"], "route_coordinator_epoch_started") << s.joined();
  EXPECT_EQ(coordinator.back()["stage"], "route_coordinator_epoch_settled") << s.joined();

  // The recording went on: a second system segment, sealed at the stop.
  const auto systemSegments = ofSource(s.eventsOfType("segment_closed"), "system");
  ASSERT_EQ(systemSegments.size(), 2u);
  EXPECT_EQ(systemSegments[1]["native_rate_start"], 48000);
  EXPECT_GT(systemSegments[1]["frames"].get<int64_t>(), 0);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 1}, {"system", 2}}));
  expectSealedAndEnded(s);

  // The observation trace says what the listener saw.
  auto observed = traces(events, "default_output_notification");
  ASSERT_FALSE(observed.empty());
  EXPECT_EQ(observed[0]["fields"]["observed_uid"], "Headphones");
  EXPECT_EQ(observed[0]["fields"]["should_rebuild"], true);
  EXPECT_EQ(observed[0]["fields"]["force"], false);
  auto begin = traces(events, "system_rebuild_begin");
  ASSERT_EQ(begin.size(), 1u);
  EXPECT_EQ(begin[0]["fields"]["new_nominal_rate"], 48000);

  auto r = finalise(s);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The system track spans the recording, like the mic track beside it.
  const int64_t systemMs = timelineMs(s.sessionDir() / "system_timeline.caf");
  const int64_t micMs = timelineMs(s.sessionDir() / "mic_timeline.caf");
  EXPECT_GT(micMs, 3000);
  EXPECT_NEAR(static_cast<double>(systemMs), static_cast<double>(micMs), 500.0);
}

TEST(SystemRebuild, AFailedStartIsReportedAndTheSameOutputRebuildsLater) {
  auto s = record(world({mic(), speakers(), headphones()},
                        {switchTo(3000, "Headphones"), switchTo(5000, "Headphones", "set_default_system_output")},
                        json::array({{{"call", "device_start"}, {"after_ms", 2500}, {"times", 1}}})));
  s.waitFor("helper_ready");
  auto failed = s.waitFor("source_failed", std::chrono::seconds(20));
  EXPECT_EQ(failed, (json{{"type", "source_failed"},
                          {"source", "system"},
                          {"reason", "aggregate_creation_failed"},
                          {"recoverable", true}}));
  // The later notification for the same output is not taken for the one
  // already followed.
  auto change = s.waitFor("device_change", std::chrono::seconds(20));
  EXPECT_EQ(change["to"]["uid"], "Headphones");
  EXPECT_EQ(change["from"]["uid"], "");
  s.waitFor("source_recovered");
  stopAfterAWhile(s, 4);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();
  EXPECT_EQ(s.eventsOfType("source_reconnecting").size(), 2u);
  EXPECT_EQ(s.eventsOfType("source_failed").size(), 1u);
  size_t warned = 0;
  for (const auto& w : s.eventsOfType("warning")) {
    if (w["code"] == "aggregate_creation_failed") {
      ++warned;
      EXPECT_NE(w["ctx"].get<std::string>().find("AudioDeviceStart"), std::string::npos);
    }
  }
  EXPECT_EQ(warned, 1u);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["system_health_source_failed"], true);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(SystemRebuild, OutputChangesInQuickSuccessionEndOnTheLastOutput) {
  auto s = record(world({mic(), speakers(), headphones(), outputDevice("Dock", "USB Dock", {{"transport", "usb "}}),
                         outputDevice("Monitor", "Studio Display", {{"transport", "hdmi"}})},
                        {switchTo(3000, "Headphones"), switchTo(3002, "Dock"), switchTo(3004, "Monitor")}));
  s.waitFor("helper_ready");
  // Whatever was suppressed on the way, the graph ends on the monitor.
  for (;;) {
    auto change = s.waitFor("device_change", std::chrono::seconds(20));
    if (change.empty() || change["to"]["uid"] == "Monitor") break;
  }
  s.waitFor("source_recovered");
  stopAfterAWhile(s, 4);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  auto changes = s.eventsOfType("device_change");
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back()["to"]["uid"], "Monitor");
  auto classes = s.eventsOfType("output_device_changed");
  ASSERT_FALSE(classes.empty());
  EXPECT_EQ(classes.back()["device_class"], "hdmi_output");
  // Each rebuild started from the graph the one before left.
  for (size_t i = 1; i < changes.size(); ++i) EXPECT_EQ(changes[i]["from"]["uid"], changes[i - 1]["to"]["uid"]);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(SystemRebuild, AnOutputChangeWhilePausedIsFollowedAtResume) {
  auto s = record(world({mic(), speakers(), headphones()}, {switchTo(3000, "Headphones")}));
  s.waitFor("helper_ready");
  s.send({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  // The change is noticed while paused; the paused writer is left alone.
  for (;;) {
    auto trace = s.waitFor("route_trace", std::chrono::seconds(20));
    if (trace.empty() || trace.value("stage", "") == "default_output_notification") break;
  }
  // Time for the rebuild to find the writer paused and skip.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  s.send({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
  auto change = s.waitFor("device_change");
  EXPECT_EQ(change["to"]["uid"], "Headphones");
  s.waitFor("source_recovered");
  s.send({{"type", "stop"}, {"request_id", "stop"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();
  const size_t resumed = findFrom(events, 0, ofType("resume_fence_complete"));
  ASSERT_LT(resumed, events.size());
  // Nothing of the rebuild happened before the resume.
  EXPECT_EQ(findFrom(events, 0, ofType("source_reconnecting")),
            findFrom(events, resumed, ofType("source_reconnecting")));
  EXPECT_EQ(s.eventsOfType("source_reconnecting").size(), 1u);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

// A stop that meets a rebuild: the host's stop command, or SIGTERM.
void stopDuringARebuild(bool bySignal) {
  auto s = record(world({mic(), speakers(), headphones()}, {switchTo(3000, "Headphones")}));
  s.waitFor("helper_ready");
  s.waitFor("source_reconnecting", std::chrono::seconds(20));
  if (bySignal) {
    s.child().sendSignal(SIGTERM);
  } else {
    s.send({{"type", "stop"}, {"request_id", "stop"}});
  }
  auto r = s.finishKeepingInput();
  ASSERT_EQ(r.exitCode, 0) << s.joined();
  const auto end = s.eventsOfType("session_end");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0]["reason"], bySignal ? json("sigterm") : json(nullptr));
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(SystemRebuild, AStopDuringARebuildEndsTheSessionOnce) { stopDuringARebuild(false); }
TEST(SystemRebuild, SigtermDuringARebuildEndsTheSessionOnce) { stopDuringARebuild(true); }

TEST(SystemRebuild, ATapRateBesideTheNominalRateStillRecovers) {
  // The new output's tap runs at 44.1 kHz while the device says 48 kHz: the
  // recovery is proved at the rate the graph really reads.
  auto s =
      record(world({mic(), speakers(), outputDevice("Dock", "USB Dock", {{"transport", "usb "}, {"tap_rate", 44100}})},
                   {switchTo(3000, "Dock")}));
  s.waitFor("helper_ready");
  auto recovered = s.waitFor("source_recovered", std::chrono::seconds(20));
  EXPECT_EQ(recovered,
            (json{{"type", "source_recovered"}, {"source", "system"}, {"sample_rate", 44100}, {"channels", 2}}));
  s.send({{"type", "stop"}, {"request_id", "stop"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  EXPECT_TRUE(s.eventsOfType("source_failed").empty());
  auto begin = traces(s.events(), "system_rebuild_begin");
  ASSERT_EQ(begin.size(), 1u);
  EXPECT_EQ(begin[0]["fields"]["new_nominal_rate"], 48000);
  expectSealedAndEnded(s);
}

TEST(SystemRebuild, ABluetoothTelephonyOutputRecoversAtItsRate) {
  json headset = outputDevice("Headset", "Orbit 65 Hands-Free",
                              {{"transport", "blue"}, {"nominal_rate", 16000}, {"tap_rate", 48000}});
  auto s = record(world({mic(), speakers(), headset}, {switchTo(3000, "Headset")}));
  s.waitFor("helper_ready");
  auto recovered = s.waitFor("source_recovered", std::chrono::seconds(20));
  EXPECT_EQ(recovered,
            (json{{"type", "source_recovered"}, {"source", "system"}, {"sample_rate", 16000}, {"channels", 2}}));
  s.send({{"type", "stop"}, {"request_id", "stop"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  std::vector<json> overrides;
  for (const auto& w : s.eventsOfType("warning")) {
    if (w["code"] == "system_rate_override") overrides.push_back(w);
  }
  ASSERT_EQ(overrides.size(), 1u);
  EXPECT_EQ(overrides[0]["ctx"], "system rate overridden from 48000 Hz to 16000 Hz via output_device_nominal");
  EXPECT_EQ(s.eventsOfType("device_change").at(0)["to"]["native_rate"], 16000);
  EXPECT_EQ(
      s.eventsOfType("output_device_changed").at(0),
      (json{{"type", "output_device_changed"}, {"device_class", "bluetooth_output"}, {"echo_risk_after", false}}));
  auto resolution = traces(s.events(), "system_graph_rate_resolution");
  ASSERT_EQ(resolution.size(), 2u);
  EXPECT_EQ(resolution[1]["fields"]["source"], "output_device_nominal");
  EXPECT_EQ(resolution[1]["fields"]["effective_rate"], 16000);
  expectSealedAndEnded(s);
}

TEST(SystemRebuild, ASilentNewOutputIsRetriedOnceThenFailedAndALaterSwitchRecovers) {
  auto s = record(world({mic(), speakers(), headphones()},
                        {switchTo(3000, "Headphones"),
                         {{"at_ms", 3000}, {"action", "stall"}, {"device", "Headphones"}, {"duration_ms", 600000}},
                         switchTo(18000, "Speakers")}));
  s.waitFor("helper_ready");
  auto failed = s.waitFor("source_failed", std::chrono::seconds(30));
  EXPECT_EQ(failed, (json{{"type", "source_failed"},
                          {"source", "system"},
                          {"reason", "no_sustained_frames_after_graph_start"},
                          {"recoverable", true}}));
  auto recovered = s.waitFor("source_recovered", std::chrono::seconds(20));
  EXPECT_EQ(recovered["source"], "system");
  s.send({{"type", "stop"}, {"request_id", "stop"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();
  // The switch, its one retry on the same output, and the later switch.
  const auto reconnecting = s.eventsOfType("source_reconnecting");
  ASSERT_EQ(reconnecting.size(), 3u);
  EXPECT_EQ(reconnecting[0]["reason"], "output_device_changed");
  EXPECT_EQ(reconnecting[1]["reason"], "system_recovery_timeout_retry");
  EXPECT_EQ(reconnecting[2]["reason"], "output_device_changed");
  const auto changes = s.eventsOfType("device_change");
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[1]["from"]["uid"], "Headphones");
  EXPECT_EQ(changes[1]["to"]["uid"], "Headphones");
  EXPECT_EQ(changes[2]["to"]["uid"], "Speakers");
  EXPECT_EQ(s.eventsOfType("source_failed").size(), 1u);
  EXPECT_EQ(traces(events, "system_recovery_retry").size(), 1u);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

}  // namespace
