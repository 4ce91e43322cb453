// --mode test-synthetic-capture, spoken to as a host would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "segment_format/segment_format.h"
#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/host_session.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int64_t kTotalFrames = 72 * 24000;
constexpr size_t kCafHeaderBytes = segment_format::kHeaderBytes;

std::set<std::string> keysOf(const json& j) {
  std::set<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.insert(k);
  return keys;
}

size_t indexOf(const std::vector<json>& events, const std::function<bool(const json&)>& match, size_t from = 0) {
  for (size_t i = from; i < events.size(); ++i) {
    if (match(events[i])) return i;
  }
  return events.size();
}

std::function<bool(const json&)> ofType(const std::string& type) {
  return [type](const json& e) { return e.value("type", "") == type; };
}

std::function<bool(const json&)> warningCoded(const std::string& code) {
  return [code](const json& e) { return e.value("type", "") == "warning" && e.value("code", "") == code; };
}

class SyntheticSession {
 public:
  explicit SyntheticSession(std::vector<std::string> sources = {"--include-mic", "true"},
                            std::vector<std::string> extra = {}) {
    sessionDir_ = dir_.path() / "session";
    testsupport::RunOptions o;
    o.args = {"--mode", "test-synthetic-capture", "--session-dir", sessionDir_.string()};
    o.args.insert(o.args.end(), sources.begin(), sources.end());
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    child_ = std::make_unique<testsupport::Child>(VR_TASMERIG_PATH, o);
  }

  const fs::path& sessionDir() const { return sessionDir_; }
  void send(const json& command) { child_->writeStdin(command.dump() + "\n"); }
  void sendRaw(const std::string& bytes) { child_->writeStdin(bytes); }

  // The next event that matches; fails the test when none comes in time.
  json waitFor(const std::function<bool(const json&)>& match, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto line = child_->readErrLine(milliseconds(500));
      if (!line) continue;
      const auto e = json::parse(*line, nullptr, false);
      if (!e.is_discarded() && match(e)) return e;
    }
    ADD_FAILURE() << "no " << what << "; lines so far:\n" << joined();
    return json::object();
  }
  json waitFor(const std::string& type) { return waitFor(ofType(type), "\"" + type + "\""); }
  // Generation is a burst: the whole run is on disk soon after start, so
  // its end may already be among the lines read while waiting for others.
  json waitForComplete() {
    const auto match = warningCoded("synthetic_capture_complete");
    for (const auto& line : child_->linesSoFar()) {
      const auto e = json::parse(line, nullptr, false);
      if (!e.is_discarded() && match(e)) return e;
    }
    return waitFor(match, "synthetic_capture_complete");
  }

  testsupport::RunResult finish(bool closeInput = true) {
    auto r = child_->wait(seconds(30), closeInput);
    events_ = testsupport::parseJsonLines(child_->linesSoFar());
    return r;
  }
  const std::vector<json>& events() const { return events_; }
  std::vector<json> eventsOfType(const std::string& type) const { return testsupport::eventsOfType(events_, type); }
  std::string joined() const { return child_->joinedLines(); }

 private:
  testsupport::TempDir dir_;
  fs::path sessionDir_;
  std::unique_ptr<testsupport::Child> child_;
  std::vector<json> events_;
};

std::vector<json> closedOf(const std::vector<json>& closed, const std::string& source) {
  std::vector<json> out;
  for (const auto& c : closed) {
    if (c["source"] == source) out.push_back(c);
  }
  return out;
}

int64_t framesOf(const std::vector<json>& closed) {
  int64_t n = 0;
  for (const auto& c : closed) n += c["frames"].get<int64_t>();
  return n;
}

// Every sample of the segment file, as stored.
void expectEverySampleIs(const fs::path& segment, int16_t expected) {
  const std::string data = testsupport::readFile(segment);
  ASSERT_GT(data.size(), kCafHeaderBytes);
  ASSERT_EQ((data.size() - kCafHeaderBytes) % 2, 0u);
  for (size_t at = kCafHeaderBytes; at < data.size(); at += 2) {
    int16_t s;
    std::memcpy(&s, data.data() + at, 2);
    if (s != expected) {
      ADD_FAILURE() << segment << " byte " << at << ": " << s << " != " << expected;
      return;
    }
  }
}

TEST(SyntheticCaptureMode, AWholeRunOfBothSourcesIsSegmentedAndFinalisedByKelvaro) {
  SyntheticSession s({"--include-mic", "true", "--include-system", "true"});
  const json ready = s.waitFor("helper_ready");
  EXPECT_EQ(keysOf(ready),
            (std::set<std::string>{"type", "protocol_version", "helper_build_id", "mic", "aec", "system"}));
  EXPECT_EQ(ready["protocol_version"], "2");
  EXPECT_EQ(ready["helper_build_id"], "recorder-v3-safety-refresh-gated-2026-05-05");
  EXPECT_EQ(
      ready["mic"],
      (json{{"native",
             {{"rate", 24000}, {"channels", 1}, {"format", "Float32"}, {"interleaved", true}, {"buffer_frames", 4800}}},
            {"canonical", {{"rate", 24000}, {"channels", 1}, {"format", "Float32"}}},
            {"device_name", "Synthetic Microphone"},
            {"device_uid", "SyntheticMicDevice"},
            {"route_kind", "builtin_mic"},
            {"capture_gain", 1},
            {"active", true},
            {"permission_denied", false}}));
  EXPECT_EQ(ready["aec"],
            (json{{"enabled", false}, {"mode", "synthetic"}, {"agc_disabled", true}, {"ns_enabled", false}}));
  EXPECT_EQ(
      ready["system"],
      (json{{"native",
             {{"rate", 24000}, {"channels", 2}, {"format", "Float32"}, {"interleaved", true}, {"buffer_frames", 4800}}},
            {"canonical", {{"rate", 24000}, {"channels", 2}, {"format", "Float32"}}},
            {"output_device_uid", "SyntheticOutputDevice"},
            {"output_device_name", "Synthetic Speakers"},
            {"tap_channels", 2},
            {"active", true},
            {"permission_denied", false}}));

  EXPECT_EQ(s.waitForComplete()["ctx"], "duration_sec=72 frames=1728000");
  s.send({{"type", "heartbeat"}, {"id", 7}});
  const json beat = s.waitFor("heartbeat");
  EXPECT_EQ(keysOf(beat), (std::set<std::string>{"type", "id", "ts", "uptime_ms"}));
  EXPECT_EQ(beat["id"], 7);
  EXPECT_TRUE(beat["ts"].is_number_integer());
  EXPECT_TRUE(beat["uptime_ms"].is_number_integer());
  s.send({{"type", "stop"}, {"request_id", "s1"}});
  const auto r = s.finish(false);
  ASSERT_EQ(r.exitCode, 0) << s.joined();
  EXPECT_EQ(r.out, "");

  const auto& events = s.events();
  // The first segments are opened before the start event.
  const size_t readyAt = indexOf(events, ofType("helper_ready"));
  EXPECT_EQ(indexOf(events, ofType("segment_opened")), 0u);
  EXPECT_EQ(indexOf(events, ofType("segment_opened"), 1), 1u);
  EXPECT_EQ(readyAt, 2u);

  // 1,728,000 frames a source: 720000 + 720000 + 288000.
  const auto closed = s.eventsOfType("segment_closed");
  for (const std::string source : {"mic", "system"}) {
    const auto mine = closedOf(closed, source);
    ASSERT_EQ(mine.size(), 3u) << source;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(mine[i]["index"], i + 1);
      EXPECT_EQ(mine[i]["frames"], i < 2 ? 720000 : 288000);
      EXPECT_EQ(mine[i]["path"], source + "/00000" + std::to_string(i + 1) + ".caf");
      EXPECT_EQ(fs::file_size(s.sessionDir() / mine[i]["path"].get<std::string>()),
                kCafHeaderBytes + 2 * mine[i]["frames"].get<size_t>());
    }
  }
  // The stored samples: 0.015 and 0.01 of full scale, truncated.
  expectEverySampleIs(s.sessionDir() / "mic" / "000003.caf", 491);
  expectEverySampleIs(s.sessionDir() / "system" / "000003.caf", 327);

  // The seal follows the end of generation; the fence follows the seal.
  const size_t completeAt = indexOf(events, warningCoded("synthetic_capture_complete"));
  const size_t fenceAt = indexOf(events, ofType("stop_fence_complete"));
  const size_t endAt = indexOf(events, ofType("session_end"));
  size_t lastClosedAt = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i]["type"] == "segment_closed") lastClosedAt = i;
  }
  EXPECT_LT(completeAt, lastClosedAt);
  EXPECT_LT(lastClosedAt, fenceAt);
  EXPECT_EQ(endAt, events.size() - 1);
  EXPECT_EQ(events[fenceAt], (json{{"type", "stop_fence_complete"}, {"request_id", "s1"}}));
  const json& end = events[endAt];
  EXPECT_EQ(keysOf(end), (std::set<std::string>{"type", "clean", "reason", "segments", "duration_ns", "ts"}));
  EXPECT_EQ(end["clean"], true);
  EXPECT_TRUE(end["reason"].is_null());
  EXPECT_EQ(end["segments"], (json{{"mic", 3}, {"system", 3}}));
  EXPECT_TRUE(end["duration_ns"].is_number_integer());

  // The host keeps the segment records; kelvaro turns the session into an upload.
  {
    std::ofstream manifest(s.sessionDir() / "manifest.jsonl");
    for (const auto& c : closed) manifest << c.dump() << "\n";
  }
  testsupport::RunOptions o;
  o.args = {s.sessionDir().string(), std::to_string(kTotalFrames / 24)};
  o.timeoutSeconds = 120;
  const auto fin = testsupport::runProgram(VR_KELVARO_PATH, o);
  ASSERT_EQ(fin.exitCode, 0) << fin.err;
  auto kv = testsupport::keyValues(fin.err);
  EXPECT_EQ(kv["recovered_m4a"], (s.sessionDir() / "final" / "upload.m4a").string());
  EXPECT_NEAR(std::stod(kv.at("duration_ms")), 72000.0, 500.0);
  EXPECT_TRUE(fs::exists(s.sessionDir() / "final" / "export-report.json"));
}

TEST(SyntheticCaptureMode, RefusedLinesAreAnsweredWithProtocolErrorsAndChangeNothing) {
  SyntheticSession s;
  s.waitFor("helper_ready");
  s.sendRaw("\n");
  s.sendRaw("[1,2]\n");
  s.send({{"command", "stop"}});
  s.send({{"type", "pause"}});
  s.send({{"type", "stop"}, {"request_id", 5}});
  s.send({{"type", "shutdown"}, {"request_id", ""}});
  s.send({{"type", "PAUSE"}, {"request_id", "r1"}});
  s.send({{"type", "heartbeat"}});
  s.send({{"type", "shutdown"}, {"request_id", "sd"}});
  const auto r = s.finish(false);
  ASSERT_EQ(r.exitCode, 0) << s.joined();

  const auto errors = s.eventsOfType("protocol_error");
  ASSERT_EQ(errors.size(), 7u) << s.joined();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"", "missing_type_field"},      {"[1,2]", "missing_type_field"}, {R"({"command":"stop"})", "missing_type_field"},
      {"pause", "missing_request_id"}, {"stop", "missing_request_id"},  {"shutdown", "missing_request_id"},
      {"PAUSE", "unknown_command"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(keysOf(errors[i]), (std::set<std::string>{"type", "command", "reason", "ts"}));
    EXPECT_EQ(errors[i]["command"], expected[i].first) << i;
    EXPECT_EQ(errors[i]["reason"], expected[i].second) << i;
  }
  // Nothing was paused, and no stop happened before the shutdown.
  EXPECT_TRUE(s.eventsOfType("pause").empty());
  EXPECT_TRUE(s.eventsOfType("pause_fence_complete").empty());
  EXPECT_EQ(s.eventsOfType("heartbeat").at(0)["id"], 0);
  EXPECT_EQ(s.eventsOfType("stop_fence_complete"),
            (std::vector<json>{{{"type", "stop_fence_complete"}, {"request_id", "sd"}}}));
  const json end = s.eventsOfType("session_end").at(0);
  EXPECT_EQ(end["clean"], false);
  EXPECT_EQ(end["reason"], "shutdown");
  // As many mic segments as the generator reached before the shutdown came.
  const auto opened = s.eventsOfType("segment_opened");
  ASSERT_FALSE(opened.empty()) << s.joined();
  EXPECT_EQ(end["segments"], (json{{"mic", opened.back()["index"]}}));
}

TEST(SyntheticCaptureMode, InvalidUtf8IsReadAsReplacementCharactersSoEveryLineIsAnswered) {
  SyntheticSession s;
  s.waitFor("helper_ready");
  s.sendRaw("{\"type\":\"pa\xFFuse\",\"request_id\":\"r\"}\n");
  s.sendRaw("\xC3\x28{\n");
  s.sendRaw("{\"type\":\"heartbeat\",\"id\":9,\"note\":\"\xE2\x82\"}\n");
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish(false).exitCode, 0) << s.joined();
  const auto errors = s.eventsOfType("protocol_error");
  ASSERT_EQ(errors.size(), 2u) << s.joined();
  EXPECT_EQ(errors[0]["command"], "pa\xEF\xBF\xBDuse");
  EXPECT_EQ(errors[0]["reason"], "unknown_command");
  EXPECT_EQ(errors[1]["command"], "\xEF\xBF\xBD({");
  EXPECT_EQ(errors[1]["reason"], "missing_type_field");
  EXPECT_EQ(s.eventsOfType("heartbeat").at(0)["id"], 9);
}

TEST(SyntheticCaptureMode, PauseAndResumeAnswerAtOnceWithTheirFences) {
  SyntheticSession s;
  s.waitFor("helper_ready");
  s.send({{"type", "pause"}, {"request_id", "p1"}, {"source", "mic"}});
  const json pause = s.waitFor("pause");
  EXPECT_EQ(keysOf(pause), (std::set<std::string>{"type", "source", "ts", "reason"}));
  EXPECT_EQ(pause["source"], "all");
  EXPECT_EQ(pause["reason"], "user");
  EXPECT_EQ(s.waitFor("pause_fence_complete"), (json{{"type", "pause_fence_complete"}, {"request_id", "p1"}}));
  // Generation goes on while paused and counts every frame it made.
  EXPECT_EQ(s.waitForComplete()["ctx"], "duration_sec=72 frames=1728000");
  s.send({{"type", "resume"}, {"request_id", "r1"}});
  EXPECT_EQ(s.waitFor("resume")["source"], "all");
  EXPECT_EQ(s.waitFor("resume_fence_complete"), (json{{"type", "resume_fence_complete"}, {"request_id", "r1"}}));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish(false).exitCode, 0) << s.joined();
  // Whatever came in while paused is not in the files.
  EXPECT_LE(framesOf(s.eventsOfType("segment_closed")), kTotalFrames);
  for (const auto& c : s.eventsOfType("segment_closed")) {
    EXPECT_EQ(fs::file_size(s.sessionDir() / c["path"].get<std::string>()),
              kCafHeaderBytes + 2 * c["frames"].get<size_t>());
  }
}

TEST(SyntheticCaptureMode, AStopDuringGenerationSealsEveryFrameItCounted) {
  // At 384 kHz the run is 27.6 million frames, so the stop may come first.
  SyntheticSession s({"--include-mic", "true"}, {"--canonical-rate", "384000"});
  s.waitFor("helper_ready");
  s.send({{"type", "stop"}, {"request_id", "early"}});
  ASSERT_EQ(s.finish(false).exitCode, 0) << s.joined();
  const auto& events = s.events();
  const size_t completeAt = indexOf(events, warningCoded("synthetic_capture_complete"));
  ASSERT_LT(completeAt, events.size());
  const std::string ctx = events[completeAt]["ctx"];
  ASSERT_EQ(ctx.rfind("duration_sec=72 frames=", 0), 0u) << ctx;
  const int64_t generated = std::stoll(ctx.substr(std::strlen("duration_sec=72 frames=")));
  EXPECT_LE(generated, 72LL * 384000);
  // Nothing was paused: every generated frame reached a segment, sealed after the writer ended.
  EXPECT_EQ(framesOf(s.eventsOfType("segment_closed")), generated);
  // The count is the last segment's number (the first one stays open, and
  // unreported, when the stop came before any audio).
  const auto closed = s.eventsOfType("segment_closed");
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"]["mic"], closed.empty() ? json(1) : closed.back()["index"]);
  EXPECT_LT(completeAt, indexOf(events, ofType("stop_fence_complete")));
}

TEST(SyntheticCaptureMode, EndOfInputFinishesUncleanWithoutAFence) {
  SyntheticSession s({"--include-system", "true"});
  const json ready = s.waitFor("helper_ready");
  EXPECT_TRUE(ready.contains("system"));
  EXPECT_FALSE(ready.contains("mic") || ready.contains("aec"));
  s.waitForComplete();
  const auto r = s.finish(true);
  ASSERT_EQ(r.exitCode, 0) << s.joined();
  EXPECT_TRUE(s.eventsOfType("stop_fence_complete").empty());
  const json end = s.eventsOfType("session_end").at(0);
  EXPECT_EQ(end["clean"], false);
  EXPECT_EQ(end["reason"], "stdin_eof");
  EXPECT_EQ(end["segments"], (json{{"system", 3}}));
  EXPECT_EQ(framesOf(s.eventsOfType("segment_closed")), kTotalFrames);
}

TEST(SyntheticCaptureMode, ASourceWithoutABufferIsReportedAndGetsNoAudio) {
  // 4800 frames of 200000 channels are more than a buffer may hold.
  SyntheticSession s({"--include-mic", "true", "--include-system", "true"}, {"--canonical-system-channels", "200000"});
  s.waitForComplete();
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish(false).exitCode, 0) << s.joined();
  const auto& events = s.events();
  const size_t warnedAt = indexOf(events, warningCoded("synthetic_buffer_unavailable"));
  ASSERT_LT(warnedAt, events.size()) << s.joined();
  EXPECT_EQ(events[warnedAt]["ctx"].get<std::string>().rfind("system: ", 0), 0u);
  const auto closed = s.eventsOfType("segment_closed");
  EXPECT_TRUE(closedOf(closed, "system").empty());
  EXPECT_EQ(framesOf(closedOf(closed, "mic")), kTotalFrames);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 3}, {"system", 1}}));
}

void expectRefused(const std::vector<std::string>& extra, const std::string& ctx) {
  testsupport::TempDir dir;
  std::vector<std::string> args = {
      "--mode", "test-synthetic-capture", "--session-dir", (dir / "s").string(), "--include-mic", "true"};
  args.insert(args.end(), extra.begin(), extra.end());
  const auto r = tasmerigtest::runTasmerig(args);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_EQ(r.errEvents(), (std::vector<json>{{{"type", "fatal_error"}, {"reason", "bad_args"}, {"ctx", ctx}}}));
  // Refused before start-up: nothing was created.
  EXPECT_FALSE(fs::exists(dir / "s"));
}

TEST(SyntheticCaptureMode, ValuesTheRunCannotUseAreRefusedBeforeStartUp) {
  expectRefused({"--canonical-mic-channels", "4294967296"},
                "--canonical-mic-channels must be between 0 and 4294967295");
  expectRefused({"--canonical-system-channels", "9000000000"},
                "--canonical-system-channels must be between 0 and 4294967295");
  expectRefused({"--canonical-rate", "0.5"}, "--canonical-rate must be between 1 and 384000");
  expectRefused({"--canonical-mic-channels", "-1"}, "--canonical-mic-channels must be at least 1");
}

}  // namespace
