// Recording the mic and the system audio together, end to end: a spoken
// meeting plays on the simulated speakers, the built-in mic hears its own
// tone and the speakers' echo.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/audio_analysis.h"
#include "tests/support/capture_session.h"
#include "tests/support/speech_world.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRate = 24000;
using testsupport::kBothSources;

std::vector<json> ofSource(const std::vector<json>& events, const std::string& source) {
  std::vector<json> out;
  std::copy_if(events.begin(), events.end(), std::back_inserter(out),
               [&](const json& e) { return e.value("source", "") == source; });
  return out;
}

// The recorded audio against the spoken text: aligned once over the whole
// recording, then each voiced second again near that lag. Returns the lag
// and the worst second.
struct Match {
  testsupport::Alignment whole;
  double worstSecond = 1.0;
  int voicedSeconds = 0;
};

Match matchSpeech(const std::vector<float>& recorded, const std::vector<float>& speech) {
  Match m;
  m.whole = testsupport::bestAlignment(recorded, speech, -kRate / 2, 3 * kRate);
  for (size_t from = 0; from + kRate <= recorded.size(); from += kRate) {
    const auto lag = static_cast<size_t>(std::max<int64_t>(0, m.whole.lag + static_cast<int64_t>(from)));
    if (testsupport::meanSquare(speech, lag, lag + kRate) < 1e-4) continue;  // a pause between sentences
    const std::vector<float> second(recorded.begin() + static_cast<std::ptrdiff_t>(from),
                                    recorded.begin() + static_cast<std::ptrdiff_t>(from + kRate));
    const auto local = testsupport::bestAlignment(second, speech, m.whole.lag + static_cast<int64_t>(from) - kRate / 4,
                                                  m.whole.lag + static_cast<int64_t>(from) + kRate / 4);
    m.worstSecond = std::min(m.worstSecond, local.coefficient);
    ++m.voicedSeconds;
  }
  return m;
}

class MeetingCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    speech_ = testsupport::makeSpeech(speechDir_.path());
    ASSERT_FALSE(speech_.canonical.empty());
  }
  json world(testsupport::MeetingWorld w = {}) const { return testsupport::meetingScenario(speech_.played, w); }

  testsupport::TempDir speechDir_;
  testsupport::Speech speech_;
};

TEST_F(MeetingCapture, TheSystemSegmentsHoldWhatTheSpeakersPlayed) {
  CaptureSession s(kBothSources, world());
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(10s);
  s.send({{"type", "stop"}, {"request_id", "stop-1"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  for (const std::string source : {"mic", "system"}) {
    SCOPED_TRACE(source);
    const auto closed = ofSource(s.eventsOfType("segment_closed"), source);
    ASSERT_EQ(closed.size(), 1u) << s.joined();
    // About ten seconds, every frame of them in the file.
    const auto frames = closed[0]["frames"].get<int64_t>();
    EXPECT_GT(frames, 9 * kRate);
    EXPECT_EQ(static_cast<int64_t>(testsupport::cafSamples(s.sessionDir() / source / "000001.caf").size()), frames);
    const json end = s.eventsOfType("session_end").at(0);
    EXPECT_GT(end[source + "_health_rms"].get<double>(), 0.005);
    EXPECT_EQ(end[source + "_health_source_failed"], false);
  }

  const Match m =
      matchSpeech(testsupport::toFloat(testsupport::joinedSegments(s.sessionDir() / "system")), speech_.canonical);
  EXPECT_GT(m.whole.coefficient, 0.9);
  // Device cycles a loaded machine missed (a quarter of a second at the
  // least) are silence in their place, which the second holding them lacks
  // of the speech; the start-up's few milliseconds before the first frame
  // are no such gap.
  if (ofSource(s.eventsOfType("segment_closed"), "system").at(0)["silence_injected_ms"] < 100) {
    EXPECT_GT(m.worstSecond, 0.9);
  }
  EXPECT_GE(m.voicedSeconds, 6);
}

TEST_F(MeetingCapture, WhatPlaysWhilePausedIsInNeitherSystemSegment) {
  CaptureSession s(kBothSources, world(), {{"VORLANTHEA_ROUTE_TRACE", "1"}});
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(2s);
  s.send({{"type", "pause"}, {"request_id", "p1"}, {"source", "all"}});
  s.waitFor("pause_fence_complete");
  // Longer than the system's cadence window.
  std::this_thread::sleep_for(3s);
  s.send({{"type", "resume"}, {"request_id", "r1"}, {"source", "all"}});
  s.waitFor("resume_fence_complete");
  std::this_thread::sleep_for(2500ms);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  ASSERT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 2}, {"system", 2}}));
  // The pause is no drift: the system audio after it is not judged late.
  for (const auto& trace : s.eventsOfType("route_trace")) {
    EXPECT_NE(trace["stage"], "system_output_route_observed") << trace.dump();
    EXPECT_NE(trace["stage"], "system_cadence_warning") << trace.dump();
  }

  // Each segment holds the meeting where it was; the second takes it up
  // at least the second of the pause after the first one ends.
  // The first is judged from its first captured frame: a tap that a loaded
  // machine starts late leaves silence in place before it, which holds none
  // of the meeting.
  auto first = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system" / "000001.caf"));
  first.erase(first.begin(), std::find_if(first.begin(), first.end(), [](float v) { return v != 0.0f; }));
  const auto second = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system" / "000002.caf"));
  const auto a1 = testsupport::bestAlignment(first, speech_.canonical, -kRate / 2, 3 * kRate);
  const auto a2 = testsupport::bestAlignment(second, speech_.canonical, -kRate / 2, 12 * kRate);
  EXPECT_GT(a1.coefficient, 0.9);
  EXPECT_GT(a2.coefficient, 0.9);
  EXPECT_GE(a2.lag - (a1.lag + static_cast<int64_t>(first.size())), kRate);
}

TEST_F(MeetingCapture, AStalledOutputIsJudgedAStaleRateAndReachesTheRebuild) {
  testsupport::MeetingWorld w;
  w.events = {{{"at_ms", 3000}, {"action", "stall"}, {"device", testsupport::kSpeakerUID}, {"duration_ms", 3000}}};
  CaptureSession s(kBothSources, world(w), {{"VORLANTHEA_ROUTE_TRACE", "1"}});
  s.waitFor("helper_ready");
  std::optional<json> observed;
  while (!observed) {
    auto trace = s.child().waitForEvent("route_trace", 20s);
    if (!trace) break;
    if ((*trace)["stage"] == "system_output_route_observed") observed = trace;
  }
  std::this_thread::sleep_for(2500ms);  // the meeting plays on after the stall
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  ASSERT_TRUE(observed) << "no route observation after the stall:\n" << s.joined();

  // The first cadence window after the stall: 3 s without frames against
  // the wall clock, far past both the 500 ms drift and the 0.1 ratio.
  const json& f = (*observed)["fields"];
  EXPECT_EQ((*observed)["source"], "system");
  EXPECT_EQ(f["reason"], "system_stale_rate");
  EXPECT_EQ(f["trigger"], "consumer_cadence");
  EXPECT_EQ(f["current_uid"], testsupport::kSpeakerUID);
  EXPECT_EQ(f["observed_uid"], testsupport::kSpeakerUID);
  EXPECT_EQ(f["current_rate"], 48000);
  EXPECT_EQ(f["observed_nominal_rate"], 48000);
  EXPECT_GE(f["cadence_wall_ms"].get<int64_t>(), 2900);
  EXPECT_GE(f["cadence_drift_ms"].get<int64_t>(), 2500);
  EXPECT_GE(f["cadence_drift_ratio"].get<double>(), 0.1);
  EXPECT_LT(f["inferred_producer_rate"].get<int64_t>(), 48000 * 9 / 10);

  // The system keeps its place through the stall: the three seconds that
  // did not arrive are silence in its segment, which ends with the mic's,
  // and what plays after the stall lies where it lay before it.
  const auto micClosed = ofSource(s.eventsOfType("segment_closed"), "mic").at(0);
  const auto systemClosed = ofSource(s.eventsOfType("segment_closed"), "system");
  ASSERT_EQ(systemClosed.size(), 1u) << s.joined();
  EXPECT_EQ(systemClosed[0]["frames"], micClosed["frames"]);
  EXPECT_EQ(systemClosed[0]["duration_ms"], micClosed["duration_ms"]);
  EXPECT_GE(systemClosed[0]["silence_injected_ms"].get<int64_t>(), 2500);
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system" / "000001.caf"));
  ASSERT_GT(system.size(), 8u * kRate);
  // Where a stretch of the segment lies in the meeting, less where it lies in the segment.
  auto offset = [&](size_t from, size_t to) {
    const std::vector<float> part(system.begin() + static_cast<std::ptrdiff_t>(from),
                                  system.begin() + static_cast<std::ptrdiff_t>(to));
    const auto at = static_cast<int64_t>(from);
    const auto a = testsupport::bestAlignment(part, speech_.canonical, at - kRate / 2, at + kRate / 2);
    EXPECT_GT(a.coefficient, 0.9) << from;
    return a.lag - at;
  };
  EXPECT_NEAR(offset(system.size() - 3 * kRate / 2, system.size()), offset(kRate / 2, 5 * kRate / 2), kRate / 1000);
}

}  // namespace
