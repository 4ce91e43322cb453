#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "segment_format/segment_format.h"
#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/capture_session.h"
#include "tests/support/session_checks.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;

std::set<std::string> keysOf(const json& j) {
  std::set<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.insert(k);
  return keys;
}

size_t indexOfFirst(const std::vector<json>& events, const std::string& type) {
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].value("type", "") == type) return i;
  }
  return events.size();
}

TEST(CaptureMode, AnnouncesTheFirstSegmentThenReady) {
  CaptureSession s;
  s.waitFor("helper_ready");
  auto events = s.events();
  const size_t opened = indexOfFirst(events, "segment_opened");
  const size_t ready = indexOfFirst(events, "helper_ready");
  ASSERT_LT(opened, ready);
  const json& seg = events[opened];
  EXPECT_EQ(keysOf(seg), (std::set<std::string>{"type", "source", "index", "path", "sample_rate", "channels"}));
  EXPECT_EQ(seg["source"], "mic");
  EXPECT_EQ(seg["index"], 1);
  EXPECT_EQ(seg["sample_rate"], 24000);
  EXPECT_EQ(seg["channels"], 1);
  EXPECT_EQ(seg["path"], (s.sessionDir() / "mic" / "000001.caf").string());

  const json& r = events[ready];
  EXPECT_EQ(keysOf(r),
            (std::set<std::string>{"type", "protocol_version", "helper_build_id", "mic", "aec", "vp_format"}));
  EXPECT_EQ(r["protocol_version"], "2");
  EXPECT_EQ(r["helper_build_id"], "recorder-v3-safety-refresh-gated-2026-05-05");
  EXPECT_EQ(
      r["mic"]["native"],
      (json{{"rate", 48000}, {"channels", 1}, {"format", "Float32"}, {"interleaved", false}, {"buffer_frames", 512}}));
  EXPECT_EQ(r["mic"]["canonical"], (json{{"rate", 24000}, {"channels", 1}, {"format", "Float32"}}));
  EXPECT_EQ(r["mic"]["device_uid"], "BuiltInMicrophoneDevice");
  EXPECT_EQ(r["mic"]["route_kind"], "builtin_mic");
  EXPECT_EQ(r["mic"]["capture_gain"], 4.0);
  EXPECT_EQ(r["mic"]["active"], true);
  EXPECT_EQ(r["mic"]["permission_denied"], false);
  EXPECT_EQ(r["aec"], (json{{"enabled", false}, {"mode", "none"}, {"agc_disabled", true}, {"ns_enabled", false}}));
  EXPECT_EQ(r["vp_format"],
            (json{{"sample_rate", 48000.0}, {"channels", 1}, {"interleaved", false}, {"common_format", 1}}));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

// The default world's mic hears a tone of amplitude 0.1.
TEST(CaptureMode, AnExplicitMicGainIsTheGainRecordedWith) {
  CaptureSession s({"--mic-gain", "0.5"});
  EXPECT_EQ(s.waitFor("helper_ready")["mic"]["capture_gain"], 0.5);
  s.waitFor("capture_started");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto closed = s.eventsOfType("segment_closed");
  ASSERT_FALSE(closed.empty()) << s.joined();
  EXPECT_NEAR(closed.front()["peak"].get<double>(), 0.05, 0.005) << closed.front().dump();
}

TEST(CaptureMode, HeartbeatsEchoTheirIdOrZero) {
  CaptureSession s;
  s.waitFor("helper_ready");
  s.send({{"type", "heartbeat"}, {"id", 42}});
  auto hb = s.waitFor("heartbeat");
  EXPECT_EQ(keysOf(hb), (std::set<std::string>{"type", "id", "ts", "uptime_ms"}));
  EXPECT_EQ(hb["id"], 42);
  EXPECT_TRUE(hb["ts"].is_number_integer());
  EXPECT_TRUE(hb["uptime_ms"].is_number_integer());
  s.send({{"type", "heartbeat"}});
  EXPECT_EQ(s.waitFor("heartbeat")["id"], 0);
  s.send({{"type", "heartbeat"}, {"id", "seven"}});
  EXPECT_EQ(s.waitFor("heartbeat")["id"], 0);
  // Beyond what a signed 64-bit integer holds: 0, never wrapped.
  s.sendRaw("{\"type\":\"heartbeat\",\"id\":18446744073709551615}\n");
  EXPECT_EQ(s.waitFor("heartbeat")["id"], 0);
  s.sendRaw("{\"type\":\"heartbeat\",\"id\":9223372036854775807}\n");
  EXPECT_EQ(s.waitFor("heartbeat")["id"], INT64_MAX);
  // A line framed by Unicode white space (no-break spaces, an ideographic
  // space, a line separator) is read.
  s.sendRaw("\u00a0\u3000{\"type\":\"heartbeat\",\"id\":7}\u00a0\u2028\n");
  EXPECT_EQ(s.waitFor("heartbeat")["id"], 7);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

TEST(CaptureMode, EveryPauseAndResumeOfAFloodBeforeAStopIsAnswered) {
  CaptureSession s;
  s.waitFor("capture_started");
  std::string flood;
  for (int i = 0; i < 200; ++i) {
    flood += json{{"type", i % 2 == 0 ? "pause" : "resume"}, {"request_id", "f" + std::to_string(i)}, {"source", "all"}}
                 .dump() +
             "\n";
  }
  s.sendRaw(flood + json{{"type", "stop"}, {"request_id", "s"}}.dump() + "\n");
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  std::set<std::string> answered;
  for (const auto& e : s.events()) {
    const auto type = e.value("type", "");
    if (type == "pause_fence_complete" || type == "resume_fence_complete") answered.insert(e["request_id"]);
  }
  EXPECT_EQ(answered.size(), 200u) << s.joined();
  testsupport::expectSealedAndEnded(s);
}

TEST(CaptureMode, PauseAndResumeSealAndReopenWithFences) {
  CaptureSession s;
  s.waitFor("capture_started");
  s.send({{"type", "pause"}, {"request_id", "p0"}, {"source", "mic"}});
  auto err = s.waitFor("protocol_error");
  EXPECT_EQ(err["reason"], "unsupported_source");
  EXPECT_EQ(err["command"], "pause");
  EXPECT_EQ(err["source"], "mic");

  s.send({{"type", "pause"}, {"request_id", "p1"}});
  auto closed = s.waitFor("segment_closed");
  EXPECT_EQ(closed["index"], 1);
  EXPECT_GT(closed["frames"].get<int64_t>(), 0);
  auto fence = s.waitFor("pause_fence_complete");
  EXPECT_EQ(fence, (json{{"type", "pause_fence_complete"}, {"request_id", "p1"}, {"segment_index", 1}}));

  s.send({{"type", "pause"}, {"request_id", "p2"}, {"source", "all"}});
  EXPECT_EQ(s.waitFor("pause_fence_complete"), (json{{"type", "pause_fence_complete"}, {"request_id", "p2"}}));

  s.send({{"type", "resume"}, {"request_id", "r1"}, {"source", "all"}});
  auto reopened = s.waitFor("segment_opened");
  EXPECT_EQ(reopened["index"], 2);
  EXPECT_EQ(s.waitFor("resume_fence_complete"), (json{{"type", "resume_fence_complete"}, {"request_id", "r1"}}));
  s.send({{"type", "resume"}, {"request_id", "r2"}, {"source", "all"}});
  EXPECT_EQ(s.waitFor("resume_fence_complete")["request_id"], "r2");
  s.waitFor("level");

  s.send({{"type", "stop"}, {"request_id", "s1"}});
  auto r = s.finish();
  EXPECT_EQ(r.exitCode, 0);
  auto events = s.events();
  // The unsupported pause was the only protocol error, the source-less
  // one warned once, no drain timed out, and no extra segment opened.
  EXPECT_EQ(s.eventsOfType("protocol_error").size(), 1u);
  int missingSource = 0, drainTimeouts = 0;
  for (const auto& w : s.eventsOfType("warning")) {
    if (w["code"] == "missing_pause_source") ++missingSource;
    if (w["code"] == "drain_timeout") ++drainTimeouts;
  }
  EXPECT_EQ(missingSource, 1);
  EXPECT_EQ(drainTimeouts, 0);
  EXPECT_EQ(s.eventsOfType("segment_opened").size(), 2u);
  auto closedAll = s.eventsOfType("segment_closed");
  ASSERT_EQ(closedAll.size(), 2u);
  EXPECT_EQ(closedAll[1]["index"], 2);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 2}}));
}

TEST(CaptureMode, ProtocolErrorsAndSkippedLinesLeaveTheSessionRunning) {
  CaptureSession s;
  s.waitFor("helper_ready");
  s.send({{"type", "stop"}});
  auto e1 = s.waitFor("protocol_error");
  EXPECT_EQ(e1["reason"], "missing_request_id");
  EXPECT_EQ(e1["command"], "stop");
  s.send({{"type", "stop"}, {"request_id", ""}});
  EXPECT_EQ(s.waitFor("protocol_error")["reason"], "missing_request_id");
  s.send({{"request_id", "x"}});
  auto e3 = s.waitFor("protocol_error");
  EXPECT_EQ(e3["reason"], "missing_type_field");
  EXPECT_EQ(e3["command"], json({{"request_id", "x"}}).dump());
  s.send({{"type", "Pause"}, {"request_id", "r"}});
  auto w = s.waitFor("warning");
  EXPECT_EQ(w["code"], "unknown_command");
  EXPECT_EQ(w["ctx"], "Ignoring: Pause");

  // Skipped without a word: blank, not JSON, not an object, too deep, too long.
  s.sendRaw("   \n");
  s.sendRaw("not json\n");
  s.sendRaw("[1,2,3]\n");
  s.sendRaw(std::string(100, '[') + std::string(100, ']') + "\n");
  s.sendRaw("{\"type\":\"heartbeat\",\"id\":1,\"pad\":\"" + std::string(2 << 20, 'x') + "\"}\n");
  s.send({{"type", "heartbeat"}, {"id", 99}});
  EXPECT_EQ(s.waitFor("heartbeat")["id"], 99);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
  EXPECT_EQ(s.eventsOfType("protocol_error").size(), 3u);
  EXPECT_EQ(s.eventsOfType("heartbeat").size(), 1u);
}

struct Ending {
  const char* name;
  int signal;    // 0: a command or end of input
  json command;  // null: end of input
  bool clean;
  json reason;
  bool fence;
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class CaptureEndings : public ::testing::TestWithParam<Ending> {};

TEST_P(CaptureEndings, EveryEndingReportsSessionEndAndExitsZero) {
  const Ending& e = GetParam();
  CaptureSession s;
  s.waitFor("capture_started");
  testsupport::RunResult r;
  if (e.signal != 0) {
    s.child().sendSignal(e.signal);
    r = s.finishKeepingInput();
  } else {
    if (!e.command.is_null()) s.send(e.command);
    r = s.finish();
  }
  EXPECT_EQ(r.exitCode, 0) << s.joined();
  auto events = s.events();
  ASSERT_FALSE(events.empty());
  const json& end = events.back();
  ASSERT_EQ(end["type"], "session_end") << s.joined();
  EXPECT_EQ(keysOf(end), (std::set<std::string>{"type", "clean", "reason", "segments", "duration_ms", "ts",
                                                "mic_health_peak", "mic_health_rms", "mic_health_silence_ratio",
                                                "mic_health_source_failed", "system_health_peak", "system_health_rms",
                                                "system_health_silence_ratio", "system_health_source_failed"}));
  EXPECT_EQ(end["clean"], e.clean);
  EXPECT_EQ(end["reason"], e.reason);
  EXPECT_EQ(end["segments"], (json{{"mic", 1}}));
  // Nanoseconds: at least the 0.1 s it took for audio to arrive.
  EXPECT_GT(end["duration_ms"].get<int64_t>(), 100'000'000);
  EXPECT_GT(end["mic_health_peak"].get<double>(), 0.0);
  EXPECT_EQ(end["mic_health_source_failed"], false);
  EXPECT_EQ(end["system_health_peak"], 0.0);
  EXPECT_EQ(end["system_health_silence_ratio"], 1.0);
  const size_t fence = indexOfFirst(events, "stop_fence_complete");
  if (e.fence) {
    ASSERT_LT(fence, events.size() - 1);
    EXPECT_EQ(events[fence]["request_id"], "req-1");
    EXPECT_EQ(indexOfFirst(events, "segment_closed") < fence, true);
  } else {
    EXPECT_EQ(fence, events.size());
  }
  EXPECT_TRUE(std::filesystem::exists(s.sessionDir() / "mic" / "000001.caf"));
  EXPECT_TRUE(std::filesystem::exists(s.sessionDir() / "mic" / "000001.checkpoint"));
}

INSTANTIATE_TEST_SUITE_P(
    Endings, CaptureEndings,
    ::testing::Values(Ending{"stop", 0, {{"type", "stop"}, {"request_id", "req-1"}}, true, nullptr, true},
                      Ending{"shutdown", 0, {{"type", "shutdown"}, {"request_id", "req-1"}}, true, "shutdown", true},
                      Ending{"end_of_input", 0, nullptr, false, "parent_gone", false},
                      Ending{"sigterm", SIGTERM, nullptr, false, "sigterm", false},
                      Ending{"sigint", SIGINT, nullptr, false, "sigterm", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureMode, AFatalSignalPrintsTheCrashReport) {
  CaptureSession s;
  s.waitFor("capture_started");
  s.send({{"type", "heartbeat"}});
  s.waitFor("heartbeat");
  s.child().sendSignal(SIGABRT);
  auto r = s.child().wait(std::chrono::seconds(30), false);
  EXPECT_EQ(r.exitCode, 134);
  EXPECT_NE(r.err.find("\nhelper fatal signal 6 during teardown; performStop step=0; crashing-thread backtrace:\n"),
            std::string::npos)
      << r.err;
  const std::string tail = "helper end backtrace\n";
  ASSERT_GE(r.err.size(), tail.size());
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
}

TEST(CaptureMode, RouteTracesFollowTheSwitch) {
  for (const char* value : {"yes", "0"}) {
    CaptureSession s({}, nullptr, {{"VORLANTHEA_ROUTE_TRACE", value}});
    s.waitFor("capture_started");
    s.send({{"type", "stop"}, {"request_id", "s"}});
    s.finish();
    auto traces = s.eventsOfType("route_trace");
    if (std::string(value) == "yes") {
      std::set<std::string> stages;
      for (const auto& t : traces) stages.insert(t["stage"].get<std::string>());
      EXPECT_TRUE(stages.count("mic_generation_format_recorded")) << s.joined();
      EXPECT_TRUE(stages.count("mic_generation_first_frames")) << s.joined();
      for (const auto& t : traces) {
        EXPECT_EQ(t["source"], "mic");
        EXPECT_TRUE(t["fields"].is_object());
      }
    } else {
      EXPECT_TRUE(traces.empty()) << s.joined();
    }
  }
}

TEST(CaptureMode, StartupRefusals) {
  using tasmerigtest::runTasmerig;
  testsupport::TempDir dir;
  auto fatalOf = [](const testsupport::RunResult& r) {
    auto events = r.errEvents();
    return events.empty() ? json() : events.back();
  };
  auto withWorld = [&](const json& world) {
    testsupport::writeFile(dir / "w.json", world.dump());
    testsupport::RunOptions o;
    o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "w.json").string();
    return runTasmerig({"--mode", "capture", "--session-dir", (dir / "s").string(), "--include-mic", "true"}, o);
  };

  auto denied = withWorld({{"permissions", {{"microphone", {{"status", 2}}}}}});
  EXPECT_EQ(denied.exitCode, 1);
  EXPECT_EQ(fatalOf(denied),
            (json{{"type", "fatal_error"}, {"reason", "permission_denied"}, {"ctx", "Microphone permission denied"}}));

  auto refusedAtPrompt =
      withWorld({{"permissions", {{"microphone", {{"status", 0}, {"answer", false}, {"answer_delay_ms", 20}}}}}});
  EXPECT_EQ(fatalOf(refusedAtPrompt)["reason"], "permission_denied");

  auto noDevice = withWorld({{"audio", {{"devices", json::array()}}}});
  EXPECT_EQ(noDevice.exitCode, 1);
  EXPECT_EQ(fatalOf(noDevice), (json{{"type", "fatal_error"},
                                     {"reason", "no_input_device"},
                                     {"ctx", "No mic input device available (rate=0)"}}));
}

TEST(CaptureMode, AGrantAtThePromptStartsTheRecording) {
  CaptureSession s({}, {{"permissions", {{"microphone", {{"status", 0}, {"answer", true}, {"answer_delay_ms", 20}}}}}});
  auto ready = s.waitFor("helper_ready");
  EXPECT_EQ(ready["mic"]["active"], true);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

TEST(CaptureMode, ThermalPressureWarns) {
  // The observer reads the state when it runs: a second apart, a loaded
  // main queue still reads each change before the next.
  CaptureSession s({}, {{"thermal", {{"events", {{{"at_ms", 100}, {"state", 2}}, {{"at_ms", 1100}, {"state", 3}}}}}}});
  s.waitFor("helper_ready");
  std::vector<std::string> seen;
  for (int i = 0; i < 2; ++i) {
    auto w = s.waitFor("warning");
    if (w.value("code", "") == "thermal_pressure") seen.push_back(w["ctx"]);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Thermal state: serious", "Thermal state: critical"}));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  EXPECT_EQ(s.finish().exitCode, 0);
}

TEST(CaptureMode, PausesAndResumesRacingAStopLeaveNoSegmentUnannounced) {
  for (int round = 0; round < 3; ++round) {
    CaptureSession s;
    s.waitFor("capture_started");
    s.sendRaw(
        "{\"type\":\"pause\",\"request_id\":\"p\"}\n{\"type\":\"resume\",\"request_id\":\"r\"}\n"
        "{\"type\":\"pause\",\"request_id\":\"p2\"}\n{\"type\":\"resume\",\"request_id\":\"r2\"}\n"
        "{\"type\":\"stop\",\"request_id\":\"s\"}\n");
    EXPECT_EQ(s.finish().exitCode, 0);
    std::set<int64_t> announced;
    for (const auto& c : s.eventsOfType("segment_closed")) announced.insert(c["index"].get<int64_t>());
    for (const auto& entry : std::filesystem::directory_iterator(s.sessionDir() / "mic")) {
      if (entry.path().extension() != ".caf") continue;
      // A segment opened by a resume that the stop overtook before any audio
      // stays as a bare header; it holds nothing to announce.
      if (std::filesystem::file_size(entry.path()) <= segment_format::kHeaderBytes) continue;
      const int64_t index = std::stoll(entry.path().stem().string());
      EXPECT_TRUE(announced.count(index)) << "segment " << index << " has no segment_closed\n" << s.joined();
    }
    EXPECT_EQ(s.eventsOfType("session_end").size(), 1u);
  }
}

}  // namespace
