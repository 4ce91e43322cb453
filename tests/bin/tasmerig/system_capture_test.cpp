// Capture with the system source on simulated worlds: both sources side
// by side, the system source alone, and what "helper_ready" says of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/capture_session.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;

json speakersPlaying(double frequency, double amplitude) {
  return {{"uid", "Speakers"},
          {"name", "MacBook Pro Speakers"},
          {"transport", "bltn"},
          {"nominal_rate", 48000},
          {"output_channels", 2},
          {"data_source", "ispk"},
          {"signal", {{"type", "tone"}, {"frequency", frequency}, {"amplitude", amplitude}}}};
}

json builtInMic() {
  return {{"uid", "Mic"},        {"name", "MacBook Pro Microphone"},
          {"transport", "bltn"}, {"nominal_rate", 48000},
          {"input_channels", 1}, {"signal", {{"type", "tone"}, {"frequency", 440}, {"amplitude", 0.1}}}};
}

json world(json devices) { return {{"audio", {{"devices", std::move(devices)}}}}; }

std::vector<json> ofSource(const std::vector<json>& events, const std::string& source) {
  std::vector<json> out;
  for (const auto& e : events) {
    if (e.value("source", "") == source) out.push_back(e);
  }
  return out;
}

TEST(SystemCapture, TwoSourcesRecordSideBySide) {
  CaptureSession s({"--include-system", "true"}, world({builtInMic(), speakersPlaying(1000, 0.5)}));
  s.waitFor("helper_ready");
  // Both sources reach their segments before the stop.
  std::set<std::string> started;
  while (started.size() < 2) {
    auto e = s.waitFor("capture_started");
    if (e.empty()) break;
    started.insert(e["source"].get<std::string>());
  }
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

}  // namespace
