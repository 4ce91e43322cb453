// The microphone follows device changes while a recording runs: a new
// input, a format change of the same one, a route storm, a follow-back to a
// device that just went away, engines that never start, a pause and changes
// made during one, the only mic unplugged and plugged back, and stops that
// meet a reconnect; read from the helper's events, then finalised by
// kelvaro.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "segment_format/segment_format.h"
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
namespace fs = std::filesystem;

using testsupport::builtInMic;

json input(const std::string& uid, const std::string& name, const char* transport, int rate, json signal) {
  return {{"uid", uid},           {"name", name},        {"transport", transport},
          {"nominal_rate", rate}, {"input_channels", 1}, {"signal", std::move(signal)}};
}
json headset() { return input("Headset", "AirPods Pro", "blue", 16000, {{"type", "noise"}, {"amplitude", 0.1}}); }
json usbMic() { return input("UsbMic", "USB Microphone", "usb ", 44100, {{"type", "noise"}, {"amplitude", 0.2}}); }
json speakers() { return testsupport::builtInSpeakers(); }

json at(int64_t ms, const std::string& action, json fields) {
  return testsupport::worldEvent(ms, action, std::move(fields));
}
json defaultInput(int64_t ms, const std::string& uid) { return at(ms, "set_default_input", {{"device", uid}}); }

json world(json devices, json events, json faults = json::array()) {
  return testsupport::worldWithBuiltInDefaults(std::move(devices), std::move(events), std::move(faults));
}

CaptureSession record(const json& scenario) {
  return CaptureSession({"--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "1"}});
}

// The next event of the type and source.
json waitForOf(CaptureSession& s, const std::string& type, const std::string& source,
               std::chrono::seconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto e = s.waitFor(type, timeout);
    if (e.empty() || e.value("source", e.value("src", "")) == source) return e;
  }
  return json::object();
}

void recordSomeMore(CaptureSession& s, int micLevels) {
  for (int seen = 0; seen < micLevels;) {
    auto e = s.waitFor("level");
    if (e.empty()) return;
    if (e["source"] == "mic") ++seen;
  }
}

void stop(CaptureSession& s) { s.send({{"type", "stop"}, {"request_id", "stop"}}); }

// Asks for heartbeats until the helper has been up for `ms`, so that a
// change the world scripts for then has happened.
void waitForUptime(CaptureSession& s, int64_t ms) {
  for (int id = 1;; ++id) {
    s.send({{"type", "heartbeat"}, {"id", id}});
    auto beat = s.waitFor("heartbeat");
    if (beat.empty() || beat.value("uptime_ms", int64_t{0}) >= ms) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// The next warning with the code.
json waitForWarning(CaptureSession& s, const std::string& code) {
  for (;;) {
    auto w = s.waitFor("warning", std::chrono::seconds(30));
    if (w.empty() || w.value("code", "") == code) return w;
  }
}

// The finalised mic track lasts as long as the system track beside it.
void expectAlignedTracks(const CaptureSession& s) {
  auto r = finalise(s);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const int64_t micMs = timelineMs(s.sessionDir() / "mic_timeline.caf");
  const int64_t systemMs = timelineMs(s.sessionDir() / "system_timeline.caf");
  EXPECT_GT(micMs, 3000);
  EXPECT_NEAR(static_cast<double>(micMs), static_cast<double>(systemMs), 600.0);
}

TEST(MicDeviceChange, ABluetoothHeadsetTakesOverAtItsTelephonyRate) {
  auto s = record(world({builtInMic(), speakers(), headset()}, {defaultInput(4000, "Headset")}));
  s.waitFor("helper_ready");
  waitForOf(s, "source_recovered", "mic");
  s.waitFor("device_changed");
  recordSomeMore(s, 8);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  const size_t reconnecting = findFrom(events, 0, ofType("source_reconnecting"));
  ASSERT_LT(reconnecting, events.size()) << s.joined();
  EXPECT_EQ(events[reconnecting], (json{{"type", "source_reconnecting"},
                                        {"source", "mic"},
                                        {"reason", "input_device_changed"},
                                        {"sample_rate", 16000},
                                        {"channels", 1}}));
  const size_t sealed = findFrom(events, reconnecting, segmentClosed("mic", 1));
  const size_t opened = findFrom(events, sealed, [](const json& e) {
    return e.value("type", "") == "segment_opened" && e.value("source", "") == "mic";
  });
  const size_t format = findFrom(events, opened, ofType("tap_format_change"));
  const size_t change = findFrom(events, format, ofType("device_change"));
  const size_t recovered = findFrom(events, change, ofType("source_recovered"));
  const size_t debounced = findFrom(events, change, ofType("device_changed"));
  ASSERT_LT(recovered, events.size()) << s.joined();
  ASSERT_LT(debounced, events.size()) << s.joined();
  EXPECT_EQ(events[opened]["index"], 2);
  EXPECT_EQ(events[format]["from"]["sample_rate"], 48000.0);
  EXPECT_EQ(events[format]["to"]["sample_rate"], 16000.0);
  EXPECT_EQ(events[change], (json{{"type", "device_change"},
                                  {"src", "mic"},
                                  {"from",
                                   {{"uid", "Mic"},
                                    {"name", "MacBook Pro Microphone"},
                                    {"route_kind", "builtin_mic"},
                                    {"native_rate", 48000},
                                    {"native_channels", 1}}},
                                  {"to",
                                   {{"uid", "Headset"},
                                    {"name", "AirPods Pro"},
                                    {"route_kind", "bluetooth_hfp"},
                                    {"native_rate", 16000},
                                    {"native_channels", 1}}},
                                  {"gap_ms", 0},
                                  {"canonical_preserved", true}}));
  EXPECT_EQ(events[recovered],
            (json{{"type", "source_recovered"}, {"source", "mic"}, {"sample_rate", 16000}, {"channels", 1}}));
  EXPECT_EQ(events[debounced], (json{{"type", "device_changed"},
                                     {"source", "mic"},
                                     {"from_class", "built_in_mic"},
                                     {"to_class", "bluetooth_mic"}}));
  EXPECT_TRUE(s.eventsOfType("source_failed").empty());

  // A hands-free headset records at unity gain, in a new generation.
  auto gain = traces(events, "mic_reconnect_gain_selected");
  ASSERT_EQ(gain.size(), 1u);
  EXPECT_EQ(gain[0]["fields"]["capture_gain"], 1.0);
  auto advanced = traces(events, "mic_reconnect_generation_advanced");
  ASSERT_EQ(advanced.size(), 1u);
  EXPECT_EQ(advanced[0]["fields"]["new_generation"], 2);
  // The recovery that is to prove the fresh engine begins before the engine
  // is reported started, and its graph starts after that.
  std::vector<std::string> road;
  for (const auto& t : s.eventsOfType("route_trace")) {
    const std::string stage = t["stage"];
    if (t.value("source", "") == "mic" &&
        (stage == "mic_reconnect_writer_opened" || stage == "source_recovery_pending" ||
         stage == "mic_reconnect_engine_started" || stage == "source_recovery_graph_started")) {
      road.push_back(stage);
    }
  }
  EXPECT_EQ(road, (std::vector<std::string>{"mic_reconnect_writer_opened", "source_recovery_pending",
                                            "mic_reconnect_engine_started", "source_recovery_graph_started"}));

  const auto micSegments = ofSource(s.eventsOfType("segment_closed"), "mic");
  ASSERT_EQ(micSegments.size(), 2u);
  EXPECT_EQ(micSegments[0]["native_rate_start"], 48000);
  EXPECT_EQ(micSegments[1]["native_rate_start"], 16000);
  EXPECT_GT(micSegments[1]["frames"].get<int64_t>(), 24000);
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

TEST(MicDeviceChange, AFormatChangeOfTheSameInputIsARouteVariance) {
  auto s =
      record(world({builtInMic(), speakers()}, {at(3000, "set_nominal_rate", {{"device", "Mic"}, {"rate", 44100}})}));
  s.waitFor("helper_ready");
  waitForOf(s, "source_recovered", "mic");
  recordSomeMore(s, 8);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  auto reconnecting = ofSource(s.eventsOfType("source_reconnecting"), "mic");
  ASSERT_EQ(reconnecting.size(), 1u) << s.joined();
  EXPECT_EQ(reconnecting[0]["reason"], "input_format_changed");
  EXPECT_EQ(reconnecting[0]["sample_rate"], 44100);
  auto formats = s.eventsOfType("tap_format_change");
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0]["to"]["sample_rate"], 44100.0);
  auto variance = s.eventsOfType("route_variance");
  ASSERT_EQ(variance.size(), 1u);
  EXPECT_EQ(variance[0],
            (json{{"type", "route_variance"},
                  {"src", "mic"},
                  {"device_uid", "Mic"},
                  {"from", {{"native_rate", 48000}, {"native_channels", 1}, {"route_kind", "builtin_mic"}}},
                  {"to", {{"native_rate", 44100}, {"native_channels", 1}, {"route_kind", "builtin_mic"}}},
                  {"canonical_preserved", true},
                  {"seg_sealed", true}}));
  EXPECT_TRUE(s.eventsOfType("device_change").empty());
  const auto micSegments = ofSource(s.eventsOfType("segment_closed"), "mic");
  ASSERT_EQ(micSegments.size(), 2u);
  EXPECT_EQ(micSegments[1]["native_rate_start"], 44100);
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

// Engines that never start again from 2.5 s on, and the input `events`.
void expectTheMicFailedAfterFiveAttemptsAndTheSessionWentOn(const json& events) {
  auto s = record(world({builtInMic(), speakers(), usbMic()}, events,
                        json::array({{{"call", "engine_start"}, {"after_ms", 2500}, {"times", -1}}})));
  s.waitFor("helper_ready");
  auto failed = waitForOf(s, "source_failed", "mic");
  EXPECT_EQ(failed, (json{{"type", "source_failed"},
                          {"source", "mic"},
                          {"reason", "no_valid_input_format_after_device_change"},
                          {"recoverable", true}}));
  // The system audio goes on.
  for (int levels = 0; levels < 8;) {
    auto e = s.waitFor("level");
    if (e.empty()) break;
    if (e["source"] == "system") ++levels;
  }
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  std::vector<int64_t> attempts;
  for (const auto& e : ofSource(s.eventsOfType("source_reconnecting"), "mic")) {
    if (e["reason"] == "engine_start_failed") {
      attempts.push_back(e["attempt"].get<int64_t>());
      EXPECT_FALSE(e["detail"].get<std::string>().empty());
    }
  }
  EXPECT_EQ(attempts, (std::vector<int64_t>{1, 2, 3, 4, 5})) << s.joined();
  EXPECT_EQ(s.eventsOfType("source_failed").size(), 1u);
  // The old segment was sealed before the attempts; none opened after.
  const auto micSegments = ofSource(s.eventsOfType("segment_closed"), "mic");
  ASSERT_EQ(micSegments.size(), 1u);
  EXPECT_EQ(ofSource(s.eventsOfType("segment_opened"), "mic").size(), 1u);
  const auto end = s.eventsOfType("session_end").at(0);
  EXPECT_EQ(end["mic_health_source_failed"], true);
  EXPECT_EQ(end["system_health_source_failed"], false);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(MicDeviceChange, AnEngineThatNeverStartsFailsTheMicAfterFiveAttemptsAndTheSessionGoesOn) {
  expectTheMicFailedAfterFiveAttemptsAndTheSessionWentOn(json::array({defaultInput(3000, "UsbMic")}));
}

TEST(MicDeviceChange, AnInputGoneBeforeTheSwitchToItLeavesAMicThatCannotStartReportedFailed) {
  // The built-in mic's engine stopped when the USB mic became the input;
  // with the USB mic gone before the switch, it is started again, and the
  // host hears that it could not be.
  expectTheMicFailedAfterFiveAttemptsAndTheSessionWentOn(
      json::array({defaultInput(2500, "UsbMic"), at(2900, "remove_device", {{"device", "UsbMic"}})}));
}

TEST(MicDeviceChange, ASecondChangeInsideTheStormWindowRestartsTheEngineInPlace) {
  auto s =
      record(world({builtInMic(), speakers(), usbMic()}, {defaultInput(2000, "UsbMic"), defaultInput(11000, "Mic")}));
  s.waitFor("helper_ready");
  auto back = waitForOf(s, "device_change", "mic");
  ASSERT_EQ(back["to"]["uid"], "UsbMic");
  back = waitForOf(s, "device_change", "mic");
  EXPECT_EQ(back["to"]["uid"], "Mic");
  waitForOf(s, "source_recovered", "mic");
  recordSomeMore(s, 6);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  // The second change restarted the engine it had: no seal, no new engine.
  ASSERT_EQ(traces(events, "mic_route_storm_restart_existing_done").size(), 1u) << s.joined();
  EXPECT_EQ(traces(events, "mic_reconnect_fresh_engine_created").size(), 1u);
  EXPECT_EQ(ofSource(s.eventsOfType("segment_closed"), "mic").size(), 2u);  // the switch and the stop
  // One reconnect at a time: each begin is finished before the next.
  bool inFlight = false;
  for (const auto& t : s.eventsOfType("route_trace")) {
    const std::string stage = t["stage"];
    if (stage == "mic_reconnect_begin") {
      EXPECT_FALSE(inFlight) << s.joined();
      inFlight = true;
    } else if (stage == "mic_reconnect_engine_started" || stage == "mic_route_storm_restart_existing_done") {
      inFlight = false;
    }
  }
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

TEST(MicDeviceChange, ASystemJumpBackToADeviceThatJustWentAwayIsNotFollowed) {
  json scenario = world({builtInMic(), speakers(), headset()},
                        {defaultInput(2000, "Headset"), at(10500, "remove_device", {{"device", "Headset"}}),
                         at(18500, "add_device", {{"device", headset()}}), defaultInput(18600, "Headset")});
  auto s = record(scenario);
  s.waitFor("helper_ready");
  auto suppressed = s.waitFor("device_followback_suppressed", std::chrono::seconds(40));
  EXPECT_EQ(suppressed, (json{{"type", "device_followback_suppressed"},
                              {"source", "mic"},
                              {"device_class", "bluetooth_mic"},
                              {"reason", "recently_disconnected"}}));
  waitForOf(s, "source_recovered", "mic");
  recordSomeMore(s, 8);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  // The mic went to the headset, back to the built-in mic when it was
  // removed, and stayed there when the headset came back.
  std::vector<std::string> devices;
  for (const auto& e : s.eventsOfType("device_change")) {
    if (e["src"] == "mic") devices.push_back(e["to"]["uid"]);
  }
  EXPECT_EQ(devices, (std::vector<std::string>{"Headset", "Mic"})) << s.joined();
  EXPECT_TRUE(s.eventsOfType("device_followback_revert_failed").empty());
  const size_t at = findFrom(events, 0, ofType("device_followback_suppressed"));
  for (size_t i = at; i < events.size(); ++i) {
    if (events[i].value("stage", "") == "mic_generation_format_recorded") {
      EXPECT_EQ(events[i]["fields"]["uid"], "Mic") << events[i].dump();
    }
  }
  // What the mic records last is the built-in mic's tone at its gain.
  const auto micSegments = ofSource(s.eventsOfType("segment_closed"), "mic");
  ASSERT_FALSE(micSegments.empty());
  EXPECT_NEAR(micSegments.back()["peak"].get<double>(), 0.4, 0.05);
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(MicDeviceChange, AReconnectWhilePausedOpensNoSegmentUntilResume) {
  // The new input stalls: its recovery times out and the retry rebuilds
  // the mic while the host has paused.
  auto s =
      record(world({builtInMic(), speakers(), usbMic()},
                   {defaultInput(2000, "UsbMic"), at(2400, "stall", {{"device", "UsbMic"}, {"duration_ms", 7600}})}));
  s.waitFor("helper_ready");
  waitForOf(s, "device_change", "mic");
  s.send({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  // The retry's fresh engine.
  for (;;) {
    auto t = s.waitFor("route_trace", std::chrono::seconds(30));
    if (t.empty() || t["stage"] == "mic_reconnect_engine_started") break;
  }
  s.send({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  waitForOf(s, "source_recovered", "mic");
  recordSomeMore(s, 8);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  const size_t paused = findFrom(events, 0, ofType("pause_fence_complete"));
  auto retries = traces(events, "mic_recovery_retry");
  ASSERT_EQ(retries.size(), 1u) << s.joined();
  const size_t rebuilt =
      findFrom(events, paused, [](const json& e) { return e.value("stage", "") == "mic_reconnect_engine_started"; });
  ASSERT_LT(rebuilt, events.size());
  // The rebuild while paused opened nothing and proved nothing...
  for (size_t i = paused; i <= rebuilt; ++i) {
    EXPECT_NE(events[i].value("type", ""), "segment_opened") << events[i].dump();
    EXPECT_NE(events[i].value("type", ""), "source_recovered") << events[i].dump();
    EXPECT_NE(events[i].value("stage", ""), "mic_reconnect_writer_opened") << events[i].dump();
  }
  // ...the resume opened the mic's next segment, and the proof came after.
  const size_t reopened = findFrom(events, rebuilt, [](const json& e) {
    return e.value("type", "") == "segment_opened" && e.value("source", "") == "mic";
  });
  const size_t resumed = findFrom(events, rebuilt, ofType("resume_fence_complete"));
  const size_t recovered = findFrom(events, resumed, ofType("source_recovered"));
  EXPECT_LT(reopened, resumed);
  EXPECT_LT(recovered, events.size());
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

TEST(MicDeviceChange, InputChangesWhilePausedAreRecordedAfterResume) {
  // A new rate of the mic (the engine's configuration notice) in one pause,
  // a new default input in the next.
  auto s =
      record(world({builtInMic(), speakers(), usbMic()},
                   {at(3000, "set_nominal_rate", {{"device", "Mic"}, {"rate", 32000}}), defaultInput(9000, "UsbMic")}));
  s.waitFor("helper_ready");
  auto pauseUntil = [&](int64_t uptimeMs, const std::string& id) {
    s.send({{"type", "pause"}, {"request_id", "p" + id}, {"source", "all"}});
    s.waitFor("pause_fence_complete");
    waitForUptime(s, uptimeMs);
    s.send({{"type", "resume"}, {"request_id", "r" + id}, {"source", "all"}});
    s.waitFor("resume_fence_complete");
  };
  pauseUntil(3500, "1");
  const auto variance = waitForOf(s, "route_variance", "mic");
  ASSERT_FALSE(waitForOf(s, "source_recovered", "mic").empty()) << s.joined();
  pauseUntil(9500, "2");
  const auto change = waitForOf(s, "device_change", "mic");
  ASSERT_FALSE(waitForOf(s, "source_recovered", "mic").empty()) << s.joined();
  recordSomeMore(s, 16);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  // Each change came while paused and was followed once the mic recorded again.
  EXPECT_EQ(variance.value("to", json::object()).value("native_rate", 0), 32000) << s.joined();
  EXPECT_EQ(change.value("to", json::object()).value("uid", ""), "UsbMic");
  const size_t secondResume = findFrom(events, 0, [](const json& e) {
    return e.value("request_id", "") == "r2" && e["type"] == "resume_fence_complete";
  });
  const size_t noticed = findFrom(events, 0, [](const json& e) {
    return e.value("stage", "") == "default_input_notification" && e["fields"].value("new_uid", "") == "UsbMic";
  });
  EXPECT_LT(secondResume, noticed);
  ASSERT_LT(noticed, events.size());
  // The route settled while paused: the resume does not wait for it again.
  const size_t deferred =
      findFrom(events, noticed, [](const json& e) { return e.value("stage", "") == "mic_reconnect_deferred"; });
  ASSERT_LT(deferred, events.size());
  EXPECT_LT(events[deferred]["fields"]["settle_delay_ms"].get<int64_t>(), 750);
  // The mic recorded each new input: the mic at its new rate, then (the
  // second change restarts the engine inside the storm window, in the same
  // segment) the USB mic.
  const auto micSegments = ofSource(s.eventsOfType("segment_closed"), "mic");
  const auto atNewRate = std::find_if(micSegments.begin(), micSegments.end(), [](const json& e) {
    return e["native_rate_start"] == 32000 && e["native_rate_end"] == 32000;
  });
  ASSERT_NE(atNewRate, micSegments.end()) << s.joined();
  EXPECT_GT((*atNewRate)["frames"].get<int64_t>(), 0);
  EXPECT_NEAR((*atNewRate)["peak"].get<double>(), 0.4, 0.05);
  EXPECT_EQ(micSegments.back()["native_rate_end"], 44100);
  EXPECT_GT(micSegments.back()["frames"].get<int64_t>(), 24000);
  EXPECT_GT(micSegments.back()["peak"].get<double>(), 0.5);
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

TEST(MicDeviceChange, AMicUnpluggedAndPluggedBackIsRecordedAgain) {
  // The built-in mic is the only input: without it there is no device at all.
  auto s = record(world({builtInMic(), speakers()}, {at(3000, "remove_device", {{"device", "Mic"}}),
                                                     at(7000, "add_device", {{"device", builtInMic()}})}));
  s.waitFor("helper_ready");
  EXPECT_FALSE(waitForWarning(s, "no_input_device").empty()) << s.joined();
  ASSERT_FALSE(waitForOf(s, "source_recovered", "mic").empty());
  recordSomeMore(s, 16);
  stop(s);
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto events = s.events();

  const size_t gone = findFrom(events, 0, [](const json& e) { return e.value("code", "") == "no_input_device"; });
  const size_t reopened = findFrom(events, gone, [](const json& e) {
    return e.value("type", "") == "segment_opened" && e.value("source", "") == "mic";
  });
  ASSERT_LT(reopened, events.size()) << s.joined();
  EXPECT_LT(findFrom(events, reopened, ofType("source_recovered")), events.size());
  // The segment opened after it holds the returned mic's tone at its gain.
  const size_t sealed = findFrom(events, reopened, segmentClosed("mic", events[reopened]["index"].get<int64_t>()));
  ASSERT_LT(sealed, events.size()) << s.joined();
  EXPECT_GT(events[sealed]["frames"].get<int64_t>(), 24000);
  EXPECT_NEAR(events[sealed]["peak"].get<double>(), 0.4, 0.05);
  expectSealedAndEnded(s);
  expectAlignedTracks(s);
}

void stopDuringAReconnect(bool byKill) {
  auto s = record(world({builtInMic(), speakers(), usbMic()}, {defaultInput(3000, "UsbMic")},
                        json::array({{{"call", "engine_start"}, {"after_ms", 2500}, {"times", -1}}})));
  s.waitFor("helper_ready");
  // Between the fresh-engine attempts.
  for (;;) {
    auto e = waitForOf(s, "source_reconnecting", "mic");
    if (e.empty() || e.value("attempt", 0) == 2) break;
  }
  if (byKill) {
    s.child().sendSignal(SIGKILL);
    ASSERT_EQ(s.finishKeepingInput().termSignal, SIGKILL);
    // A crashed host has no manifest: kelvaro recovers from the files.
    int64_t framesOnDisk = 0;
    for (const auto& f : fs::directory_iterator(s.sessionDir() / "mic")) {
      if (f.path().extension() == ".caf") {
        framesOnDisk += (static_cast<int64_t>(fs::file_size(f.path())) - segment_format::kHeaderBytes) / 2;
      }
    }
    testsupport::RunOptions o;
    o.args = {s.sessionDir().string()};
    o.timeoutSeconds = 120;
    auto r = testsupport::runProgram(VR_KELVARO_PATH, o);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GE(timelineMs(s.sessionDir() / "mic_timeline.caf"), framesOnDisk * 1000 / 24000 - 1);
    return;
  }
  stop(s);
  ASSERT_EQ(s.finishKeepingInput().exitCode, 0) << s.joined();
  EXPECT_TRUE(s.eventsOfType("source_failed").empty());
  expectSealedAndEnded(s);
  ASSERT_EQ(finalise(s).exitCode, 0);
}

TEST(MicDeviceChange, AStopDuringAReconnectEndsTheSessionOnce) { stopDuringAReconnect(false); }
TEST(MicDeviceChange, AKillDuringAReconnectLosesNoFrameOnDisk) { stopDuringAReconnect(true); }

}  // namespace
