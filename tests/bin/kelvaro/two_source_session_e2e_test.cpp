// Two-source sessions recorded by the built tasmerig in the simulated
// world, finalised by kelvaro: the host's part is played here.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "segment_format/segment_format.h"
#include "tests/support/audio_analysis.h"
#include "tests/support/capture_session.h"
#include "tests/support/host_session.h"
#include "tests/support/session_checks.h"
#include "tests/support/speech_world.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using testsupport::CaptureSession;
namespace fs = std::filesystem;

constexpr int kRate = 24000;
constexpr size_t kCafHeaderBytes = segment_format::kHeaderBytes;
using testsupport::kBothSources;
using testsupport::ofSource;

class TwoSourceSession : public ::testing::Test {
 protected:
  void SetUp() override {
    speech_ = testsupport::makeSpeech(speechDir_.path());
    ASSERT_FALSE(speech_.canonical.empty());
  }

  testsupport::TempDir speechDir_;
  testsupport::Speech speech_;
};

// Where the mic's echo lies behind the system audio in frames [from, to)
// of the timelines, within a quarter of a second either way.
testsupport::Alignment echoLag(const std::vector<float>& micResidual, const std::vector<float>& system, size_t from,
                               size_t to) {
  const size_t margin = kRate / 4;
  const std::vector<float> part(micResidual.begin() + static_cast<std::ptrdiff_t>(from),
                                micResidual.begin() + static_cast<std::ptrdiff_t>(to));
  const size_t refFrom = from > margin ? from - margin : 0;
  const std::vector<float> ref(system.begin() + static_cast<std::ptrdiff_t>(refFrom),
                               system.begin() + static_cast<std::ptrdiff_t>(std::min(system.size(), to + margin)));
  auto a = testsupport::bestAlignment(part, ref, 0, static_cast<std::int64_t>(2 * margin));
  a.lag = static_cast<std::int64_t>(from - refFrom) - a.lag;
  return a;
}

// Records the meeting for 10 s, finalises it, and checks that the upload's
// mic holds at least `minDecibels` less of the speakers' echo, and its own tone.
void expectTheEchoTakenOut(const testsupport::Speech& speech, const testsupport::MeetingWorld& w, double minDecibels) {
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(10s);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  // The host journals the output device the helper reported, with its echo risk.
  const auto detected = s.eventsOfType("output_device_detected");
  ASSERT_EQ(detected.size(), 1u) << s.joined();
  EXPECT_EQ(detected[0]["device_class"], "built_in_speakers");
  EXPECT_EQ(detected[0]["echo_risk"], true);
  // The clock starts with the first frame captured: the start-up is no
  // silence of either source, and no segment of a clean recording drifts.
  for (const auto& closed : s.eventsOfType("segment_closed")) {
    if (closed["index"] == 1) {
      EXPECT_LT(closed["silence_injected_ms"], 100) << closed.dump();
    }
  }
  for (const auto& warning : s.eventsOfType("warning")) EXPECT_NE(warning["code"], "seg_duration_mismatch");
  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events(), testsupport::recordedMs(s.events(), "mic"));
  ASSERT_EQ(r.exitCode, 0) << r.err;

  const json report = json::parse(testsupport::readFile(s.sessionDir() / "final" / "export-report.json"));
  ASSERT_TRUE(report.contains("aec")) << report.dump();
  EXPECT_EQ(report["aec"]["requested"], true);
  ASSERT_EQ(report["aec"]["applied"], true) << report.dump();

  // The cleaned mic is what the mix holds beside the system timeline.
  const auto micTimeline = testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf");
  const auto systemTimeline = testsupport::cafSamples(s.sessionDir() / "system_timeline.caf");
  const auto mixed = testsupport::cafSamples(s.sessionDir() / "final" / "mixed.caf");
  ASSERT_EQ(mixed.size(), micTimeline.size());
  ASSERT_EQ(systemTimeline.size(), micTimeline.size());
  std::vector<std::int16_t> cleanedSamples(mixed.size());
  for (size_t i = 0; i < mixed.size(); ++i) {
    ASSERT_LT(std::abs(mixed[i]), 32767) << "the mix clipped at " << i;
    cleanedSamples[i] = static_cast<std::int16_t>(mixed[i] - systemTimeline[i]);
  }
  const auto mic = testsupport::toFloat(micTimeline);
  const auto cleaned = testsupport::toFloat(cleanedSamples);
  const auto system = testsupport::toFloat(systemTimeline);

  // Without the mic's tone, what the mic timeline holds is the played audio...
  const auto micTone = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10);
  const auto cleanedTone = testsupport::fitTone(cleaned, w.micToneHz, kRate, kRate / 10);
  const auto echo = testsupport::bestAlignment(micTone.residual, system, -kRate / 2, kRate / 2);
  EXPECT_GT(echo.coefficient, 0.9);
  // ...and the cleaned mic holds less of it, once the
  // canceller has converged (the second half), while the tone stays.
  const size_t from = mic.size() / 2;
  const double before = testsupport::meanSquare(micTone.residual, from, mic.size());
  const double after = testsupport::meanSquare(cleanedTone.residual, from, mic.size());
  EXPECT_GE(testsupport::decibels(before / after), minDecibels) << report.dump();
  EXPECT_NEAR(20 * std::log10(cleanedTone.amplitude / micTone.amplitude), 0.0, 3.0);
}

TEST_F(TwoSourceSession, KelvaroTakesTheSpeakersEchoOutOfTheMicAndKeepsTheMicsOwnSound) {
  testsupport::MeetingWorld w;
  w.speechAmplitude = 0.4;
  w.micToneHz = 1000;
  w.micToneAmplitude = 0.002;
  expectTheEchoTakenOut(speech_, w, 20.0);
}

// Noise heard 40 ms later is the same sound later, as in a room.
TEST_F(TwoSourceSession, KelvaroTakesTheEchoOfNoiseThroughTheSpeakersOutOfTheMic) {
  testsupport::MeetingWorld w;
  w.speakerSignal = {{"type", "noise"}, {"amplitude", 0.3}, {"seed", 7}};
  w.echoDelayMs = 40;
  w.micToneAmplitude = 0.02;
  expectTheEchoTakenOut(speech_, w, 10.0);
}

TEST_F(TwoSourceSession, ThreePausesLeaveTheEchoWhereItWasAndTheMicsLastFramesBeforeEach) {
  testsupport::MeetingWorld w;
  w.echoDelayMs = 25;
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  // Pauses of lengths that are no whole number of either device's cycles;
  // `atThePause` runs once the pause is answered.
  const auto pauseAll = [&s](const std::string& id, const std::function<void()>& atThePause) {
    s.send({{"type", "pause"}, {"request_id", "p" + id}, {"source", "all"}});
    s.waitFor("pause_fence_complete");
    if (atThePause) atThePause();
    std::this_thread::sleep_for(1370ms);
    s.send({{"type", "resume"}, {"request_id", "r" + id}, {"source", "all"}});
    s.waitFor("resume_fence_complete");
  };
  const fs::path micDir = s.sessionDir() / "mic", setAside = s.sessionDir() / "mic-aside";
  std::this_thread::sleep_for(3300ms);
  pauseAll("1", {});
  std::this_thread::sleep_for(3300ms);
  pauseAll("2", [&] {
    // The mic's next segment cannot be created at the resume (a file
    // stands where its directory was) until the cause clears 2 s later.
    fs::rename(micDir, setAside);
    testsupport::writeFile(micDir, "not a directory");
  });
  std::this_thread::sleep_for(2000ms);
  fs::remove(micDir);
  fs::rename(setAside, micDir);
  std::this_thread::sleep_for(2000ms);
  pauseAll("3", {});
  std::this_thread::sleep_for(2000ms);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NEAR(std::stod(testsupport::keyValues(r.err).at("duration_ms")),
              static_cast<double>(testsupport::recordedMs(s.events(), "system")), 500.0);
  // The failed creation was retried with its index: the mic recorded again
  // within a second of the cause clearing, its span silence in place.
  const auto micClosed = ofSource(s.eventsOfType("segment_closed"), "mic");
  ASSERT_EQ(micClosed.size(), 4u) << s.joined();
  EXPECT_EQ(micClosed[2]["index"], 3);
  EXPECT_GT(micClosed[2]["silence_injected_ms"], 1800);
  EXPECT_LT(micClosed[2]["silence_injected_ms"], 3000);
  EXPECT_EQ(s.eventsOfType("session_end").at(0)["segments"], (json{{"mic", 4}, {"system", 4}}));
  // Each pause and the stop keep the mic's audio captured before them:
  // a segment ends in no more than 5 ms of placed silence.
  for (const auto& closed : micClosed) {
    const auto samples = testsupport::cafSamples(s.sessionDir() / closed["path"].get<std::string>());
    const auto heard = std::find_if(samples.rbegin(), samples.rend(), [](std::int16_t v) { return v != 0; });
    EXPECT_LE(heard - samples.rbegin(), 5 * kRate / 1000) << closed.dump();
  }

  // Both sources leave out the same span at each pause: every stretch
  // between the pauses (the mic's segments) has the echo within 2 ms of
  // its lag before the first one.
  const auto mic = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf"));
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system_timeline.caf"));
  const auto residual = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10).residual;
  std::vector<size_t> ends;
  for (const auto& closed : s.eventsOfType("segment_closed")) {
    if (closed["source"] == "mic") ends.push_back((ends.empty() ? 0 : ends.back()) + closed["frames"].get<size_t>());
  }
  ASSERT_EQ(ends.size(), 4u) << s.joined();
  ASSERT_LE(ends.back(), mic.size());
  const auto first = echoLag(residual, system, kRate / 2, ends[0]);
  EXPECT_GT(first.coefficient, 0.9);
  EXPECT_NEAR(first.lag, 25 * kRate / 1000, 2 * kRate / 1000);
  for (size_t i = 1; i < ends.size(); ++i) {
    // From where the mic's audio begins again.
    const auto silence = static_cast<size_t>(micClosed[i]["silence_injected_ms"].get<int64_t>()) * kRate / 1000;
    const auto after = echoLag(residual, system, ends[i - 1] + silence + kRate / 4, ends[i]);
    EXPECT_GT(after.coefficient, 0.9) << "after pause " << i;
    EXPECT_NEAR(after.lag, first.lag, 2 * kRate / 1000) << "after pause " << i;
  }
}

// A USB headset added at 2 s, made the input at 2.2 s and removed at 5 s.
testsupport::MeetingWorld headsetThatComesAndGoes() {
  const json headset = {{"uid", "Headset"},    {"name", "USB Headset"},
                        {"transport", "usb "}, {"nominal_rate", 48000},
                        {"input_channels", 1}, {"signal", {{"type", "noise"}, {"amplitude", 0.05}}}};
  testsupport::MeetingWorld w;
  w.echoDelayMs = 25;
  w.events = {{{"at_ms", 2000}, {"action", "add_device"}, {"device", headset}},
              {{"at_ms", 2200}, {"action", "set_default_input"}, {"device", "Headset"}},
              {{"at_ms", 5000}, {"action", "remove_device"}, {"device", "Headset"}}};
  return w;
}

TEST_F(TwoSourceSession, AHeadsetThatComesAndGoesLeavesTheMicAtItsOwnMoment) {
  // Added, made the input and removed within the cool-down after it came:
  // the engine is restarted in place on the built-in mic once the route has
  // settled, and the time it did not deliver must not pull what follows
  // forward.
  const testsupport::MeetingWorld w = headsetThatComesAndGoes();
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(14s);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  ASSERT_FALSE(s.eventsOfType("source_recovered").empty()) << s.joined();

  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // As long as the system audio, which played throughout: the clock starts
  // at the first frame captured, not when the helper started.
  const auto systemMs = static_cast<double>(testsupport::recordedMs(s.events(), "system"));
  EXPECT_NEAR(std::stod(testsupport::keyValues(r.err).at("duration_ms")), systemMs, 1000.0);

  // The last seconds come from the built-in mic again, with the speakers'
  // echo where the world puts it behind the system audio.
  const auto mic = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf"));
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system_timeline.caf"));
  ASSERT_GT(mic.size(), 13u * kRate);
  const auto residual = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10).residual;
  const auto echo = echoLag(residual, system, mic.size() - 3 * kRate, mic.size() - kRate / 4);
  EXPECT_GT(echo.coefficient, 0.9);
  EXPECT_NEAR(echo.lag, 25 * kRate / 1000, 100 * kRate / 1000);
}

// The longest stretch of digital silence in a timeline, in milliseconds:
// what the writer placed where the mic delivered nothing.
std::int64_t longestSilenceMs(const std::vector<std::int16_t>& timeline) {
  size_t longest = 0;
  size_t run = 0;
  for (const auto sample : timeline) {
    run = sample == 0 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return static_cast<std::int64_t>(longest * 1000 / kRate);
}

// A USB mic plugged in at 2.2 s and made the input at 2.5 s, then gone or
// left again; the built-in mic is there throughout.
struct InputThatComesAndGoes {
  const char* name;
  nlohmann::json events;  // after the USB mic is made the input
  // From the built-in mic's engine stopping, when the USB mic became the
  // input, until the mic can know what it may record next: then it must
  // record again within the settle delay (0.75 s) and half a second.
  std::int64_t unknownMs;
};

void PrintTo(const InputThatComesAndGoes& input, std::ostream* os) { *os << input.name; }

class TwoSourceSessionInputThatComesAndGoes : public TwoSourceSession,
                                              public ::testing::WithParamInterface<InputThatComesAndGoes> {};

TEST_P(TwoSourceSessionInputThatComesAndGoes, TheMicRecordsAgainWithinTheSettleDelayWithTheEchoWhereItWas) {
  const json usb = {{"uid", "USB-Mic-1"},
                    {"transport", "usb "},
                    {"nominal_rate", 44100},
                    {"input_channels", 1},
                    {"signal", {{"type", "tone"}, {"frequency", 211}, {"amplitude", 0.002}}}};
  testsupport::MeetingWorld w;
  w.echoDelayMs = 25;
  w.events = {{{"at_ms", 2200}, {"action", "add_device"}, {"device", usb}},
              {{"at_ms", 2500}, {"action", "set_default_input"}, {"device", "USB-Mic-1"}}};
  for (const auto& e : GetParam().events) w.events.push_back(e);
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(11s);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events());
  ASSERT_EQ(r.exitCode, 0) << r.err;

  // Each time the mic's engine stopped, it recorded again once the route
  // settled, whatever it had put off or held back before.
  const auto micTimeline = testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf");
  EXPECT_LE(longestSilenceMs(micTimeline), GetParam().unknownMs + 750 + 500) << s.joined();
  // Back on the built-in mic, whose echo lies where it did before.
  const auto mic = testsupport::toFloat(micTimeline);
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system_timeline.caf"));
  ASSERT_GT(mic.size(), 10u * kRate);
  const auto residual = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10).residual;
  const auto first = echoLag(residual, system, kRate / 2, 2 * kRate);
  EXPECT_GT(first.coefficient, 0.9);
  EXPECT_NEAR(first.lag, 25 * kRate / 1000, 2 * kRate / 1000);
  const auto last = echoLag(residual, system, mic.size() - 11 * kRate / 4, mic.size() - kRate / 4);
  EXPECT_GT(last.coefficient, 0.9);
  EXPECT_NEAR(last.lag, first.lag, 2 * kRate / 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Usb, TwoSourceSessionInputThatComesAndGoes,
    ::testing::Values(
        // Gone before the switch to it: the default is the built-in mic again.
        InputThatComesAndGoes{"removed_before_the_switch",
                              json::array({{{"at_ms", 2900}, {"action", "remove_device"}, {"device", "USB-Mic-1"}}}),
                              400},
        // Within the cool-down after the switch to it (at 3.25 s).
        InputThatComesAndGoes{"removed_a_second_after_the_switch",
                              json::array({{{"at_ms", 4250}, {"action", "remove_device"}, {"device", "USB-Mic-1"}}}),
                              0},
        InputThatComesAndGoes{
            "left_for_the_built_in_mic_after_3_5_s",
            json::array({{{"at_ms", 6750}, {"action", "set_default_input"}, {"device", testsupport::kMicUID}}}), 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct SpeakerClock {
  const char* name;
  nlohmann::json events;
  std::chrono::milliseconds length;
  double lagToleranceMs;
  double stampJitterMs = 0;
  // When set: every stretch of the recording has the echo within this of
  // where the room puts it, however the speakers' stamps jitter.
  double everyWindowMs = 0;
};

void PrintTo(const SpeakerClock& clock, std::ostream* os) { *os << clock.name; }

class TwoSourceSessionSpeakerClock : public TwoSourceSession, public ::testing::WithParamInterface<SpeakerClock> {};

// The speakers' clock runs fast, or their rate jumps under the tap: the
// system audio keeps its place beside the mic, so the echo stays where it
// was behind it.
TEST_P(TwoSourceSessionSpeakerClock, TheEchoStaysWhereItWasBehindTheSystemAudio) {
  testsupport::MeetingWorld w;
  w.echoDelayMs = 25;
  w.events = GetParam().events;
  w.speakerStampJitterMs = GetParam().stampJitterMs;
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(GetParam().length);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NEAR(std::stod(testsupport::keyValues(r.err).at("duration_ms")),
              static_cast<double>(testsupport::recordedMs(s.events(), "mic")), 500.0);

  const auto mic = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf"));
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system_timeline.caf"));
  const auto residual = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10).residual;
  // Short windows: a device clock off its rate stretches its audio a
  // little, which over seconds no longer lines up with the room's echo.
  const auto typical = [&](size_t from, size_t to) {
    std::vector<std::int64_t> lags;
    for (size_t at = from; at + kRate * 6 / 10 <= to; at += kRate * 3 / 10) {
      const auto a = echoLag(residual, system, at, at + kRate * 6 / 10);
      if (a.coefficient > 0.7) lags.push_back(a.lag);
    }
    EXPECT_GE(lags.size(), 3u);
    std::sort(lags.begin(), lags.end());
    return lags.empty() ? std::int64_t{0} : lags[lags.size() / 2];
  };
  const double firstToleranceMs = GetParam().everyWindowMs > 0 ? GetParam().everyWindowMs : 2;
  const auto first = typical(kRate / 2, 3 * kRate);
  EXPECT_NEAR(first, 25 * kRate / 1000, firstToleranceMs * kRate / 1000) << s.joined();
  const auto last = typical(mic.size() - 3 * kRate, mic.size() - kRate / 4);
  EXPECT_NEAR(last, first, GetParam().lagToleranceMs * kRate / 1000);
  if (GetParam().everyWindowMs > 0) {
    size_t judged = 0;
    for (size_t at = kRate / 2; at + kRate <= mic.size(); at += kRate / 2) {
      const auto a = echoLag(residual, system, at, at + kRate);
      if (a.coefficient < 0.7) continue;  // a pause in the speech
      ++judged;
      EXPECT_NEAR(a.lag, 25 * kRate / 1000, GetParam().everyWindowMs * kRate / 1000) << "at " << at / kRate << " s";
    }
    EXPECT_GE(judged, mic.size() / kRate);
  }
}

INSTANTIATE_TEST_SUITE_P(Speakers, TwoSourceSessionSpeakerClock,
                         ::testing::Values(SpeakerClock{"a_tenth_of_a_percent_fast",
                                                        json::array({{{"at_ms", 0},
                                                                      {"action", "set_actual_rate"},
                                                                      {"device", testsupport::kSpeakerUID},
                                                                      {"rate", 48048}}}),
                                                        30s, 10},
                                           SpeakerClock{"jumping_to_96_kHz",
                                                        json::array({{{"at_ms", 4000},
                                                                      {"action", "set_nominal_rate"},
                                                                      {"device", testsupport::kSpeakerUID},
                                                                      {"rate", 96000}}}),
                                                        12s, 2},
                                           SpeakerClock{"half_a_percent_fast_and_jittery",
                                                        json::array({{{"at_ms", 0},
                                                                      {"action", "set_actual_rate"},
                                                                      {"device", testsupport::kSpeakerUID},
                                                                      {"rate", 48240}}}),
                                                        40s, 5, 4, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

struct JitteryClocks {
  const char* name;
  double micRate;  // what the 48 kHz devices really deliver a second
  double speakerRate;
  double stampJitterMs;
};

void PrintTo(const JitteryClocks& clocks, std::ostream* os) { *os << clocks.name; }

class TwoSourceSessionJitteryClocks : public TwoSourceSession, public ::testing::WithParamInterface<JitteryClocks> {};

// Both devices stamp their buffers milliseconds off, as USB and Bluetooth
// devices do, and their clocks may run a little off their nominal rate:
// neither is cut or padded for it. A pure tone on each stays whole in the
// timelines, its phase and level continuous, with no silence placed after
// the start and nothing left out.
TEST_P(TwoSourceSessionJitteryClocks, APureToneOnEachSourceStaysContinuous) {
  const JitteryClocks clocks = GetParam();
  testsupport::MeetingWorld w;
  w.speakerSignal = {{"type", "tone"}, {"frequency", 1000}, {"amplitude", 0.3}};
  w.micToneHz = 700;
  w.micToneAmplitude = 0.2;
  w.echoGain = 0;
  w.micStampJitterMs = clocks.stampJitterMs;
  w.speakerStampJitterMs = clocks.stampJitterMs;
  w.events = json::array();
  for (const auto& [uid, rate] :
       {std::pair{testsupport::kMicUID, clocks.micRate}, std::pair{testsupport::kSpeakerUID, clocks.speakerRate}}) {
    if (rate != 48000)
      w.events.push_back({{"at_ms", 0}, {"action", "set_actual_rate"}, {"device", uid}, {"rate", rate}});
  }
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(40s);
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();
  for (const auto& warning : s.eventsOfType("warning")) {
    EXPECT_NE(warning["code"], "seg_overlap_dropped") << warning.dump();
    EXPECT_NE(warning["code"], "seg_duration_mismatch") << warning.dump();
  }
  const auto r = testsupport::finaliseAsTheHost(s.sessionDir(), s.events());
  ASSERT_EQ(r.exitCode, 0) << r.err;

  for (const auto& [source, hz] : {std::pair{"mic", 700.0}, std::pair{"system", 1000.0}}) {
    SCOPED_TRACE(source);
    const auto closed = ofSource(s.eventsOfType("segment_closed"), source);
    ASSERT_GE(closed.size(), 2u) << s.joined();
    // Only the start, before the later source's first frame, and the end,
    // after its last buffer up to the stop's instant, are silence.
    bool outage = false;
    for (size_t i = 0; i < closed.size(); ++i) {
      // A loaded machine may miss a quarter of a second of device cycles,
      // whose silence takes their place: no fault of the clock.
      const int64_t silence = closed[i]["silence_injected_ms"];
      outage = outage || silence >= 250;
      if (outage) continue;
      EXPECT_LE(silence, i == 0 || i + 1 == closed.size() ? 150 : 0) << closed[i].dump();
    }
    const auto timeline =
        testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / (std::string(source) + "_timeline.caf")));
    ASSERT_GT(timeline.size(), 38u * kRate);
    if (outage) continue;
    // From 2 s on, once the device's rate is measured, to the last buffer:
    // every 10 ms of the tone goes on from the last, at its level.
    const std::vector<float> recorded(timeline.begin(), timeline.end() - kRate / 2);
    const auto tone = testsupport::toneContinuity(recorded, hz, kRate, kRate / 100, 2 * kRate);
    EXPECT_GT(tone.blocks, 3500u);
    EXPECT_LT(tone.worstPhaseStepDegrees, 3.0);
    EXPECT_GT(tone.lowestLevel, 0.9);
    EXPECT_LT(tone.worstResidual, 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, TwoSourceSessionJitteryClocks,
                         ::testing::Values(JitteryClocks{"exact_rates_stamped_within_4_ms", 48000, 48000, 4},
                                           JitteryClocks{"mic_slow_and_speakers_fast_stamped_within_3_ms", 47856, 48240,
                                                         3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TwoSourceSession, AKilledRecordingIsFinalisedWithBothTracksAndEveryFrameOnDisk) {
  // A headset that comes and goes seals the mic's segments early: short
  // segments that are not the mic's last, and no manifest to say how long.
  const testsupport::MeetingWorld w = headsetThatComesAndGoes();
  CaptureSession s(kBothSources, testsupport::meetingScenario(speech_.played, w));
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(17s);
  s.child().sendSignal(SIGKILL);
  ASSERT_EQ(s.child().wait(10s, false).termSignal, SIGKILL);

  // Whole frames only in both, even when killed mid-write.
  std::map<std::string, std::vector<std::int16_t>> segments;
  for (const std::string source : {"mic", "system"}) {
    const fs::path segment = s.sessionDir() / source / "000001.caf";
    const auto bytes = fs::file_size(segment);
    ASSERT_GT(bytes, kCafHeaderBytes + 2u * kRate) << source;
    EXPECT_EQ((bytes - kCafHeaderBytes) % 2, 0u) << source;
    segments[source] = testsupport::cafSamples(segment);
  }

  // A crashed host left no manifest and no length: kelvaro goes by the files.
  const auto r = testsupport::runKelvaro(s.sessionDir());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto kv = testsupport::keyValues(r.err);
  const auto longest = std::max(segments["mic"].size(), segments["system"].size());
  EXPECT_NEAR(std::stod(kv.at("duration_ms")), static_cast<double>(longest) * 1000 / kRate, 500.0);
  for (const std::string source : {"mic", "system"}) {
    SCOPED_TRACE(source);
    const auto timeline = testsupport::cafSamples(s.sessionDir() / (source + "_timeline.caf"));
    const auto& segment = segments[source];
    ASSERT_GE(timeline.size(), segment.size());
    EXPECT_TRUE(std::equal(segment.begin(), segment.end(), timeline.begin()));
  }

  // Each segment that exists takes its own length on the session clock: the
  // upload is as long as the recording, and the echo stays where it was
  // behind the system audio after the short segments.
  size_t micSegments = 0;
  size_t micFrames = 0;
  for (const auto& entry : fs::directory_iterator(s.sessionDir() / "mic")) {
    if (entry.path().extension() != ".caf") continue;
    ++micSegments;
    micFrames += (fs::file_size(entry.path()) - kCafHeaderBytes) / 2;
  }
  ASSERT_GE(micSegments, 2u) << s.joined();
  const auto mic = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "mic_timeline.caf"));
  const auto system = testsupport::toFloat(testsupport::cafSamples(s.sessionDir() / "system_timeline.caf"));
  const double recordedMs = static_cast<double>(system.size()) * 1000 / kRate;
  EXPECT_NEAR(std::stod(kv.at("duration_ms")), recordedMs, 1500.0);
  EXPECT_LT(recordedMs, 19000.0);
  const auto residual = testsupport::fitTone(mic, w.micToneHz, kRate, kRate / 10).residual;
  const auto first = echoLag(residual, system, kRate / 2, 2 * kRate);
  EXPECT_GT(first.coefficient, 0.9);
  // Back on the built-in mic some seconds after the headset went: its last seconds on disk.
  ASSERT_GT(micFrames, 15u * kRate);
  const auto last = echoLag(residual, system, micFrames - 5 * kRate / 2, micFrames - kRate / 4);
  EXPECT_GT(last.coefficient, 0.9);
  EXPECT_NEAR(last.lag, first.lag, 2 * kRate / 1000);
}

}  // namespace
