// Capture with the system source on simulated worlds: both sources side
// by side, the system source alone, and what "helper_ready" says of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/capture_session.h"
#include "tests/support/session_checks.h"
#include "tests/support/sim_world.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;

using testsupport::builtInMic;
json speakersPlaying(double frequency, double amplitude) { return testsupport::builtInSpeakers(frequency, amplitude); }

std::set<std::string> keysOf(const json& j) {
  std::set<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.insert(k);
  return keys;
}

using testsupport::eventsOfType;

json world(json devices) { return {{"audio", {{"devices", std::move(devices)}}}}; }

using testsupport::ofSource;

TEST(SystemCapture, TwoSourcesRecordSideBySide) {
  CaptureSession s({"--include-system", "true"}, world({builtInMic(), speakersPlaying(1000, 0.5)}));
  s.waitFor("helper_ready");
  // Both sources reach their segments before the stop.
  s.waitForSeen("capture_started", "mic");
  s.waitForSeen("capture_started", "system");
  // A few seconds of audio: levels come at most every 125 ms per source.
  for (int levels = 0; levels < 20;) {
    auto e = s.waitFor("level");
    if (e.empty()) break;
    if (e["source"] == "system") ++levels;
  }
  s.send({{"type", "stop"}, {"request_id", "s1"}});
  auto r = s.finish();
  ASSERT_EQ(r.exitCode, 0) << s.joined();

  for (const std::string source : {"mic", "system"}) {
    SCOPED_TRACE(source);
    auto opened = ofSource(s.eventsOfType("segment_opened"), source);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0]["path"], (s.sessionDir() / source / "000001.caf").string());
    auto closed = ofSource(s.eventsOfType("segment_closed"), source);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0]["path"], source + "/000001.caf");
    EXPECT_GT(closed[0]["frames"].get<int64_t>(), 0);
    EXPECT_EQ(closed[0]["native_rate_start"], 48000);
    EXPECT_EQ(closed[0]["canonical_rate"], 24000);
    EXPECT_EQ(std::filesystem::file_size(s.sessionDir() / source / "000001.caf"), closed[0]["bytes"].get<uint64_t>());
  }
  auto sysClosed = ofSource(s.eventsOfType("segment_closed"), "system")[0];
  EXPECT_EQ(sysClosed["native_channels_start"], 2);
  EXPECT_EQ(sysClosed["canonical_channels"], 2);
  // The tap heard the speakers' tone, at its amplitude.
  EXPECT_NEAR(sysClosed["peak"].get<double>(), 0.5, 0.05);

  auto events = s.events();
  auto fence = s.eventsOfType("stop_fence_complete");
  ASSERT_EQ(fence.size(), 1u);
  EXPECT_EQ(fence[0], (json{{"type", "stop_fence_complete"}, {"request_id", "s1"}}));
  auto end = s.eventsOfType("session_end");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0]["segments"], (json{{"mic", 1}, {"system", 1}}));
  EXPECT_NEAR(end[0]["system_health_peak"].get<double>(), 0.5, 0.05);
  EXPECT_EQ(end[0]["system_health_silence_ratio"], 0.0);
  EXPECT_EQ(end[0]["system_health_source_failed"], false);
  EXPECT_GT(end[0]["mic_health_peak"].get<double>(), 0.0);
}

json systemRefused() { return {{"system_audio", {{"preflight", 1}, {"answer", false}, {"answer_delay_ms", 10}}}}; }
json micRefused() { return {{"microphone", {{"status", 2}}}}; }

std::optional<json> warningOf(const std::vector<json>& events, const std::string& code) {
  for (const auto& e : events) {
    if (e.value("type", "") == "warning" && e.value("code", "") == code) return e;
  }
  return std::nullopt;
}

size_t indexOf(const std::vector<json>& events, const std::string& type) {
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].value("type", "") == type) return i;
  }
  return events.size();
}

// The last line of a run that ended with a fatal error.
json fatalOf(const testsupport::RunResult& r) {
  auto events = r.errEvents();
  return events.empty() ? json() : events.back();
}

testsupport::RunResult runCapture(const testsupport::TempDir& dir, std::vector<std::string> args,
                                  const json& scenario) {
  testsupport::writeFile(dir / "world.json", scenario.dump());
  testsupport::RunOptions o;
  o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "world.json").string();
  o.unsetEnv.push_back("VORLANTHEA_ROUTE_TRACE");
  o.timeoutSeconds = 30;
  std::vector<std::string> all = {"--mode", "capture", "--session-dir", (dir / "session").string()};
  all.insert(all.end(), args.begin(), args.end());
  return tasmerigtest::runTasmerig(all, o);
}

TEST(SystemCapture, HelperReadyDescribesTheSystemSource) {
  CaptureSession s({"--include-system", "true"});
  auto ready = s.waitFor("helper_ready");
  EXPECT_EQ(ready["system"],
            (json{{"native", {{"rate", 48000}, {"channels", 2}, {"format", "Float32"}, {"interleaved", true}}},
                  {"canonical", {{"rate", 24000}, {"channels", 2}, {"format", "Float32"}}},
                  {"output_device_uid", "BuiltInSpeakerDevice"},
                  {"output_device_name", "MacBook Pro Speakers"},
                  {"tap_channels", 2},
                  {"active", true},
                  {"permission_denied", false},
                  {"rate_resolution",
                   {{"tap_asbd_rate", 48000},
                    {"effective_rate", 48000},
                    {"source", "tap_asbd"},
                    {"output_transport", "builtin_mic"},
                    {"mic_native_rate", 48000},
                    {"mic_route_kind", "builtin_mic"},
                    {"same_bluetooth_device", false},
                    {"output_device_nominal_rate", 48000},
                    {"aggregate_device_nominal_rate", 48000}}}}));
  EXPECT_EQ(s.waitFor("output_device_detected"),
            (json{{"type", "output_device_detected"}, {"device_class", "built_in_speakers"}, {"echo_risk", true}}));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
  auto events = s.events();
  EXPECT_LT(indexOf(events, "helper_ready"), indexOf(events, "output_device_detected"));
  // The system segment is open before the host hears "helper_ready".
  size_t systemOpened = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].value("type", "") == "segment_opened" && events[i]["source"] == "system") systemOpened = i;
  }
  EXPECT_LT(systemOpened, indexOf(events, "helper_ready"));
  EXPECT_FALSE(warningOf(events, "system_rate_override"));
  EXPECT_FALSE(warningOf(events, "unusual_native_rate"));
}

TEST(SystemCapture, ATapRateBesideTheOutputsRateIsOverridden) {
  json builtIn = speakersPlaying(1000, 0.3);
  builtIn["tap_rate"] = 44100;
  CaptureSession s({"--include-system", "true"}, world({builtInMic(), builtIn}));
  auto ready = s.waitFor("helper_ready");
  const json& rate = ready["system"]["rate_resolution"];
  EXPECT_EQ(rate["tap_asbd_rate"], 44100);
  EXPECT_EQ(rate["effective_rate"], 48000);
  EXPECT_EQ(rate["source"], "output_device_nominal");
  EXPECT_EQ(ready["system"]["native"]["rate"], 48000);
  auto w = s.waitFor("warning");
  EXPECT_EQ(w, (json{{"type", "warning"},
                     {"code", "system_rate_override"},
                     {"ctx", "system rate overridden from 44100 Hz to 48000 Hz via output_device_nominal"}}));
  s.waitForSeen("capture_started", "system");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
  EXPECT_EQ(ofSource(s.eventsOfType("segment_closed"), "system").at(0)["native_rate_start"], 48000);
}

TEST(SystemCapture, AHandsFreeHeadsetRunsAtItsTelephonyRate) {
  json headset = {{"uid", "Headset"},     {"name", "Orbit 65 Hands-Free"},
                  {"transport", "blue"},  {"nominal_rate", 16000},
                  {"tap_rate", 48000},    {"input_channels", 1},
                  {"output_channels", 2}, {"signal", {{"type", "tone"}, {"frequency", 300}, {"amplitude", 0.2}}}};
  json scenario = world({headset});
  CaptureSession s({"--include-system", "true"}, scenario);
  auto ready = s.waitFor("helper_ready");
  const json& rate = ready["system"]["rate_resolution"];
  EXPECT_EQ(rate["effective_rate"], 16000);
  EXPECT_EQ(rate["source"], "output_device_nominal");
  EXPECT_EQ(rate["output_transport"], "bluetooth_hfp");
  EXPECT_EQ(rate["mic_route_kind"], "bluetooth_hfp");
  EXPECT_EQ(rate["mic_native_rate"], 16000);
  EXPECT_EQ(rate["same_bluetooth_device"], true);  // one device, one UID
  EXPECT_EQ(ready["system"]["output_device_uid"], "Headset");
  EXPECT_EQ(s.waitFor("warning")["ctx"], "system rate overridden from 48000 Hz to 16000 Hz via output_device_nominal");
  auto detected = s.waitFor("output_device_detected");
  EXPECT_EQ(detected["device_class"], "bluetooth_output");
  EXPECT_EQ(detected["echo_risk"], false);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

TEST(SystemCapture, AnUnusualSystemRateWarns) {
  json usb = speakersPlaying(500, 0.2);
  usb["transport"] = "usb ";
  usb["tap_rate"] = 44000;
  CaptureSession s({"--include-system", "true", "--include-mic", "false"}, world({usb}));
  s.waitFor("helper_ready");
  EXPECT_EQ(s.waitFor("warning"),
            (json{{"type", "warning"}, {"code", "unusual_native_rate"}, {"ctx", "system native rate 44000 Hz"}}));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

TEST(SystemCapture, SystemAloneNeedsNoMicrophone) {
  json scenario = world(
      {builtInMic(), speakersPlaying(1000, 0.5), {{"uid", "UsbMic"}, {"transport", "usb "}, {"input_channels", 1}}});
  scenario["audio"]["events"] = {{{"at_ms", 200}, {"action", "set_default_input"}, {"device", "UsbMic"}}};
  CaptureSession s({"--include-mic", "false", "--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "1"}});
  auto ready = s.waitFor("helper_ready");
  EXPECT_EQ(keysOf(ready), (std::set<std::string>{"type", "protocol_version", "helper_build_id", "system"}));
  for (int levels = 0; levels < 12;) {
    auto e = s.waitFor("level");
    if (e.empty()) break;
    EXPECT_EQ(e["source"], "system");
    ++levels;
  }
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);

  EXPECT_FALSE(std::filesystem::exists(s.sessionDir() / "mic"));
  EXPECT_TRUE(std::filesystem::exists(s.sessionDir() / "system" / "000001.caf"));
  EXPECT_TRUE(s.eventsOfType("first_frame_format").empty());  // no engine tap
  for (const auto& e : s.events()) {
    EXPECT_NE(e.value("source", ""), "mic") << e.dump();
    // No default-input listener: the input change at 200 ms goes unheard.
    if (e.value("type", "") == "route_trace") {
      EXPECT_NE(e["stage"], "default_input_notification");
    }
  }
  auto end = s.eventsOfType("session_end").at(0);
  EXPECT_EQ(end["segments"], (json{{"system", 1}}));
  EXPECT_EQ(end["mic_health_silence_ratio"], 1.0);
  EXPECT_NEAR(end["system_health_peak"].get<double>(), 0.5, 0.05);
}

TEST(SystemCapture, SystemRefusedWhileTheMicRecords) {
  CaptureSession s({"--include-system", "true"}, {{"permissions", systemRefused()}});
  auto ready = s.waitFor("helper_ready");
  EXPECT_EQ(ready["system"],
            (json{{"native", {{"rate", 0}, {"channels", 0}, {"format", "Float32"}, {"interleaved", true}}},
                  {"canonical", {{"rate", 24000}, {"channels", 2}, {"format", "Float32"}}},
                  {"output_device_uid", ""},
                  {"output_device_name", ""},
                  {"tap_channels", 0},
                  {"active", false},
                  {"permission_denied", true}}));
  EXPECT_EQ(ready["mic"]["active"], true);
  s.waitForSeen("capture_started");
  // A pause and a resume leave the refused source as it was: never opened.
  s.send({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  s.send({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);
  auto events = s.events();
  auto w = warningOf(events, "audio_capture_permission_denied");
  ASSERT_TRUE(w);
  EXPECT_EQ((*w)["ctx"], "System audio permission denied; proceeding with mic only");
  EXPECT_LT(indexOf(events, "warning"), indexOf(events, "helper_ready"));
  EXPECT_TRUE(s.eventsOfType("output_device_detected").empty());
  EXPECT_TRUE(ofSource(s.eventsOfType("segment_opened"), "system").empty());
  EXPECT_TRUE(ofSource(s.eventsOfType("segment_closed"), "system").empty());
  EXPECT_FALSE(std::filesystem::exists(s.sessionDir() / "system" / "000001.caf"));
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 2}, {"system", 0}}));
}

TEST(SystemCapture, MicRefusedWhileTheSystemRecords) {
  CaptureSession s({"--include-system", "true"}, {{"permissions", micRefused()}});
  auto ready = s.waitFor("helper_ready");
  EXPECT_EQ(keysOf(ready), (std::set<std::string>{"type", "protocol_version", "helper_build_id", "mic", "system"}));
  EXPECT_EQ(ready["mic"]["active"], false);
  EXPECT_EQ(ready["mic"]["permission_denied"], true);
  EXPECT_EQ(ready["mic"]["capture_gain"], 0);
  EXPECT_EQ(ready["mic"]["native"],
            (json{{"rate", 0}, {"channels", 0}, {"format", "Float32"}, {"interleaved", false}, {"buffer_frames", 0}}));
  EXPECT_EQ(ready["system"]["active"], true);
  EXPECT_EQ(ready["system"]["rate_resolution"]["mic_native_rate"], 0);
  s.waitForSeen("capture_started");
  s.send({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  s.send({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);
  auto w = warningOf(s.events(), "mic_permission_denied");
  ASSERT_TRUE(w);
  EXPECT_EQ((*w)["ctx"], "Microphone permission denied; recording system audio only");
  EXPECT_TRUE(ofSource(s.eventsOfType("segment_opened"), "mic").empty());
  EXPECT_TRUE(ofSource(s.eventsOfType("segment_closed"), "mic").empty());
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 0}, {"system", 2}}));
}

TEST(SystemCapture, RefusalsThatLeaveNothingToRecord) {
  testsupport::TempDir dir;
  json bothRefused = {{"permissions", micRefused()}};
  bothRefused["permissions"].update(systemRefused());
  auto both = runCapture(dir, {"--include-mic", "true", "--include-system", "true"}, bothRefused);
  EXPECT_EQ(both.exitCode, 1);
  EXPECT_EQ(both.errEvents().size(), 1u);
  EXPECT_EQ(fatalOf(both), (json{{"type", "fatal_error"},
                                 {"reason", "permission_denied"},
                                 {"ctx", "Both microphone and system audio permissions denied"}}));

  auto systemOnly = runCapture(dir, {"--include-system", "true"}, {{"permissions", systemRefused()}});
  EXPECT_EQ(systemOnly.exitCode, 1);
  EXPECT_EQ(systemOnly.errEvents().size(), 1u);
  EXPECT_EQ(fatalOf(systemOnly), (json{{"type", "fatal_error"},
                                       {"reason", "permission_denied"},
                                       {"ctx", "System audio recording permission denied"}}));
}

TEST(SystemCapture, AFailingGraphCallEndsStartUpAfterItsTeardown) {
  struct Case {
    const char* call;
    const char* reason;
    const char* ctx;
  };
  const Case cases[] = {
      {"process_tap", "tap_creation_failed", "AudioHardwareCreateProcessTap: 1852797029"},
      {"aggregate_device", "aggregate_creation_failed", "AudioHardwareCreateAggregateDevice: 1852797029"},
      {"io_proc", "aggregate_creation_failed", "AudioDeviceCreateIOProcID: 1852797029"},
      {"device_start", "aggregate_creation_failed", "AudioDeviceStart: 1852797029"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    testsupport::TempDir dir;
    json scenario = world({builtInMic(), speakersPlaying(1000, 0.5)});
    scenario["audio"]["faults"] = {{{"call", c.call}, {"status", 1852797029}}};
    auto r = runCapture(dir, {"--include-mic", "true", "--include-system", "true"}, scenario);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(fatalOf(r), (json{{"type", "fatal_error"}, {"reason", c.reason}, {"ctx", c.ctx}}));
    auto events = r.errEvents();
    EXPECT_TRUE(eventsOfType(events, "helper_ready").empty());
    for (const auto& e : events) EXPECT_NE(e.value("code", ""), "consumer_join_timeout");
  }
}

TEST(SystemCapture, NoSegmentAnywhereEndsStartUp) {
  testsupport::TempDir dir;
  // The session directory cannot be created under a regular file.
  testsupport::writeFile(dir / "blocker", "");
  const std::string session = (dir / "blocker" / "session").string();
  auto run = [&](std::vector<std::string> sources) {
    testsupport::RunOptions o;
    o.unsetEnv.push_back("VORLANTHEA_SIM_SCENARIO");
    o.timeoutSeconds = 30;
    std::vector<std::string> args = {"--mode", "capture", "--session-dir", session};
    args.insert(args.end(), sources.begin(), sources.end());
    return tasmerigtest::runTasmerig(args, o);
  };

  auto both = run({"--include-mic", "true", "--include-system", "true"});
  EXPECT_EQ(both.exitCode, 1);
  EXPECT_EQ(fatalOf(both), (json{{"type", "fatal_error"},
                                 {"reason", "writer_open_failed"},
                                 {"ctx", "mic seg 1: cannot create file at " + session + "/mic/000001.caf"}}));
  auto events = both.errEvents();
  int openWarnings = 0;
  for (const auto& e : events) openWarnings += e.value("code", "") == "writer_open_failed";
  EXPECT_EQ(openWarnings, 2);  // each source's own warning first
  EXPECT_TRUE(eventsOfType(events, "helper_ready").empty());
  EXPECT_TRUE(eventsOfType(events, "session_end").empty());

  auto system = run({"--include-system", "true"});
  EXPECT_EQ(system.exitCode, 1);
  EXPECT_EQ(fatalOf(system)["reason"], "writer_open_failed");
  EXPECT_EQ(fatalOf(system)["ctx"], "system seg 1: cannot create file at " + session + "/system/000001.caf");

  auto mic = run({"--include-mic", "true"});
  EXPECT_EQ(mic.exitCode, 1);
  EXPECT_EQ(fatalOf(mic)["reason"], "writer_open_failed");
}

// Waits until `source` wrote audio into its current segment.
void waitForLevel(CaptureSession& s, const std::string& source) {
  for (;;) {
    auto e = s.waitFor("level");
    if (e.empty() || e["source"] == source) return;
  }
}

TEST(SystemCapture, PauseAndResumeOfTheSystemAloneSealAndReopen) {
  CaptureSession s({"--include-mic", "false", "--include-system", "true"}, world({speakersPlaying(1000, 0.5)}));
  s.waitFor("helper_ready");
  waitForLevel(s, "system");
  s.send({{"type", "pause"}, {"request_id", "p0"}, {"source", "system"}});
  auto refused = s.waitFor("protocol_error");
  EXPECT_EQ(refused["command"], "pause");
  EXPECT_EQ(refused["reason"], "unsupported_source");
  EXPECT_EQ(refused["source"], "system");
  s.send({{"type", "pause"}, {"request_id", "p1"}, {"source", "all"}});
  auto closed = s.waitFor("segment_closed");
  EXPECT_EQ(closed["source"], "system");
  EXPECT_EQ(closed["index"], 1);
  EXPECT_GT(closed["frames"].get<int64_t>(), 0);
  EXPECT_EQ(s.waitFor("pause_fence_complete"),
            (json{{"type", "pause_fence_complete"}, {"request_id", "p1"}, {"segment_index", 1}}));
  s.send({{"type", "resume"}, {"request_id", "r0"}, {"source", "system"}});
  EXPECT_EQ(s.waitFor("protocol_error")["source"], "system");
  s.send({{"type", "resume"}, {"request_id", "r1"}, {"source", "all"}});
  auto opened = s.waitFor("segment_opened");
  EXPECT_EQ(opened["source"], "system");
  EXPECT_EQ(opened["index"], 2);
  EXPECT_EQ(s.waitFor("resume_fence_complete"), (json{{"type", "resume_fence_complete"}, {"request_id", "r1"}}));
  waitForLevel(s, "system");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);

  auto allClosed = s.eventsOfType("segment_closed");
  ASSERT_EQ(allClosed.size(), 2u);
  EXPECT_EQ(allClosed[1]["index"], 2);
  EXPECT_GT(allClosed[1]["frames"].get<int64_t>(), 0);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"system", 2}}));
  EXPECT_EQ(s.eventsOfType("pause_fence_complete").size(), 1u);  // the refused pause has no fence
  EXPECT_FALSE(warningOf(s.events(), "drain_timeout"));
  for (const std::string name : {"000001.caf", "000002.caf"}) {
    EXPECT_TRUE(std::filesystem::exists(s.sessionDir() / "system" / name)) << name;
  }
}

// A 48 kHz mic whose device delivers only `actualRate` frames a second.
void expectTheMicReportedAsDrifting(double actualRate, int64_t minSilenceMs) {
  json mic = builtInMic();
  mic["actual_rate"] = actualRate;
  CaptureSession s({"--include-system", "true"}, world({mic, speakersPlaying(1000, 0.5)}));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto drift = warningOf(s.events(), "seg_duration_mismatch");
  ASSERT_TRUE(drift) << s.joined();
  EXPECT_EQ((*drift)["ctx"].get<std::string>().rfind("mic seq 1:", 0), 0u) << drift->dump();
  // The mic's seconds still fill their place on the clock, in silence.
  const auto closed = ofSource(s.eventsOfType("segment_closed"), "mic").at(0);
  EXPECT_GT(closed["silence_injected_ms"].get<int64_t>(), minSilenceMs);
}

TEST(SystemCapture, AMicDeliveringAtHalfItsRateIsReportedAsDrifting) { expectTheMicReportedAsDrifting(24000, 800); }

// Its 100 ms buffers come 300 ms apart: gaps that recur after every
// buffer are its rate, not outages.
TEST(SystemCapture, AMicDeliveringAtAThirdOfItsRateIsReportedAsDrifting) {
  expectTheMicReportedAsDrifting(16000, 1200);
}

TEST(SystemCapture, PauseAndResumeOfAllCoverBothSources) {
  CaptureSession s({"--include-system", "true"}, world({builtInMic(), speakersPlaying(1000, 0.5)}));
  s.waitFor("helper_ready");
  waitForLevel(s, "system");
  waitForLevel(s, "mic");
  s.send({{"type", "pause"}, {"request_id", "p1"}, {"source", "all"}});
  auto fence = s.waitFor("pause_fence_complete");
  EXPECT_EQ(fence, (json{{"type", "pause_fence_complete"}, {"request_id", "p1"}, {"segment_index", 1}}));
  auto closed = s.eventsOfType("segment_closed");
  ASSERT_EQ(closed.size(), 2u);
  EXPECT_EQ(closed[0]["source"], "mic");  // the mic side is sealed first
  EXPECT_EQ(closed[1]["source"], "system");

  s.send({{"type", "resume"}, {"request_id", "r1"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  for (const std::string source : {"mic", "system"}) {
    auto opened = ofSource(s.eventsOfType("segment_opened"), source);
    ASSERT_EQ(opened.size(), 2u) << source;
    EXPECT_EQ(opened[1]["index"], 2);
  }
  waitForLevel(s, "system");
  waitForLevel(s, "mic");
  // A resume and a pause back to back: segment 3 holds only the silence
  // placed between them, which says nothing of either device.
  s.send({{"type", "pause"}, {"request_id", "p2"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  s.send({{"type", "resume"}, {"request_id", "r2"}, {"source", "all"}});
  s.send({{"type", "pause"}, {"request_id", "p3"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  s.send({{"type", "resume"}, {"request_id", "r3"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  waitForLevel(s, "system");
  waitForLevel(s, "mic");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);
  for (const std::string source : {"mic", "system"}) {
    auto sealed = ofSource(s.eventsOfType("segment_closed"), source);
    ASSERT_GE(sealed.size(), 3u) << source;
    EXPECT_EQ(sealed[1]["index"], 2);
    EXPECT_EQ(sealed.back()["index"], 4);
  }
  const auto end = s.eventsOfType("session_end").at(0);
  EXPECT_EQ(end["segments"], (json{{"mic", 4}, {"system", 4}}));
  EXPECT_EQ(end["mic_health_silence_ratio"], 0.0);
  EXPECT_EQ(end["system_health_silence_ratio"], 0.0);
  EXPECT_FALSE(warningOf(s.events(), "silent_capture"));
  EXPECT_FALSE(warningOf(s.events(), "drain_timeout"));
}

TEST(SystemCapture, DeviceChangesReachTheirHandlers) {
  json scenario = world({builtInMic(),
                         speakersPlaying(1000, 0.5),
                         {{"uid", "UsbMic"}, {"transport", "usb "}, {"input_channels", 1}},
                         {{"uid", "Monitor"}, {"transport", "hdmi"}, {"output_channels", 2}}});
  scenario["audio"]["defaults"] = {{"input", "Mic"}, {"output", "Speakers"}, {"system_output", "Speakers"}};
  scenario["audio"]["events"] = {{{"at_ms", 2000}, {"action", "set_default_input"}, {"device", "UsbMic"}},
                                 {{"at_ms", 2100}, {"action", "set_default_output"}, {"device", "Monitor"}}};
  CaptureSession s({"--include-system", "true"}, scenario, {{"VORLANTHEA_ROUTE_TRACE", "yes"}});
  s.waitFor("helper_ready");
  std::map<std::string, json> stages;
  while (!stages.count("mic_reconnect_deferred_fired") || !stages.count("default_output_notification")) {
    auto t = s.waitFor("route_trace");
    if (t.empty()) break;
    stages.emplace(t["stage"].get<std::string>(), t);
  }
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);

  ASSERT_TRUE(stages.count("default_input_notification"));
  const json& input = stages["default_input_notification"]["fields"];
  EXPECT_EQ(input["following_uid"], "Mic");
  EXPECT_EQ(input["new_uid"], "UsbMic");
  EXPECT_EQ(input["new_route"], "usb");
  EXPECT_EQ(input["should_reconnect"], true);
  EXPECT_EQ(input["old_alive"], true);
  ASSERT_TRUE(stages.count("mic_reconnect_deferred"));
  EXPECT_EQ(stages["mic_reconnect_deferred"]["fields"]["delay_ms"], 750);
  EXPECT_EQ(stages["mic_reconnect_deferred_fired"]["fields"]["new_uid"], "UsbMic");

  const json& output = stages["default_output_notification"]["fields"];
  EXPECT_EQ(stages["default_output_notification"]["source"], "system");
  EXPECT_EQ(output["reason"], "output_device_changed");
  EXPECT_EQ(output["trigger"], "default_output");
  EXPECT_EQ(output["current_uid"], "Speakers");
  EXPECT_EQ(output["observed_uid"], "Monitor");
  EXPECT_EQ(output["observed_transport"], "hdmi");
}

TEST(SystemCapture, DebuggingTheIOProcReportsItsCounters) {
  CaptureSession s({"--include-system", "true", "--include-mic", "false", "--debug-ioproc"},
                   world({speakersPlaying(1000, 0.5)}));
  auto stats = s.waitFor("ioproc_stats");
  EXPECT_GT(stats["call_count"].get<int64_t>(), 0);
  EXPECT_EQ(stats["last_m_number_buffers"], 1);
  EXPECT_EQ(stats["last_m_number_channels"], 2);
  EXPECT_EQ(stats["last_m_data_byte_size"], 512 * 8);
  EXPECT_GE(stats["total_bytes"].get<int64_t>(), stats["call_count"].get<int64_t>() * 512 * 8);
  EXPECT_EQ(stats["tap_asbd_rate"], 48000.0);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

}  // namespace
