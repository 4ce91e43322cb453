// Echo cancellation whatever the echo's delay: the lag is estimated on a
// 10 ms grid, and an echo between two grid points is removed as well as one
// on a point, and so is one that falls between two samples.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"
#include "tests/support/audio_analysis.h"
#include "tests/support/speech_world.h"

namespace kelvarotest {
namespace {

constexpr std::size_t kRate = 24000;
// The speech is made at four times the timelines' rate, so that a delay at
// this rate may lie between two of their samples.
constexpr std::size_t kFineStep = 4;
constexpr std::size_t kFineRate = kFineStep * kRate;
constexpr int kFinePerMs = static_cast<int>(kFineRate / 1000);
constexpr std::size_t kFrames = 10 * kRate;
constexpr double kToneHz = 1000;

class KelvaroEchoDelay : public ::testing::TestWithParam<int> {};

TEST_P(KelvaroEchoDelay, TheEchoLosesTwentyDecibels) {
  testsupport::TempDir speechDir;
  const auto speech = testsupport::makeSpeech(speechDir.path(), kFineRate, 11);
  ASSERT_GE(speech.canonical.size(), kFineStep * kFrames);
  // The speakers' speech, and a mic that hears it GetParam() samples at
  // kFineRate late over a quiet tone of its own.
  const auto delay = static_cast<std::size_t>(GetParam());
  Samples system(kFrames), mic(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) {
    system[i] = static_cast<std::int16_t>(std::lround(0.4 * 32767 * speech.canonical[kFineStep * i]));
    const double echo = kFineStep * i >= delay ? 0.48 * 32767 * speech.canonical[kFineStep * i - delay] : 0.0;
    const double tone = 0.008 * 32767 * std::sin(2 * M_PI * kToneHz * static_cast<double>(i) / kRate);
    mic[i] = static_cast<std::int16_t>(std::lround(echo + tone));
  }
  Session s("s-echo-delay");
  s.segment("mic", 1, mic);
  s.segment("system", 1, system);
  s.echo_risk();
  const auto r = run_kelvaro({s.dir().string(), "10000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(s.report().at("aec").at("applied"), true) << s.report().dump();

  // What the mix holds beside the system timeline is the cleaned mic.
  const auto mixed = caf_samples(s.final_dir() / "mixed.caf");
  const auto systemTimeline = caf_samples(s.dir() / "system_timeline.caf");
  ASSERT_EQ(mixed.size(), kFrames);
  Samples cleaned(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) cleaned[i] = static_cast<std::int16_t>(mixed[i] - systemTimeline[i]);
  const auto before = testsupport::fitTone(testsupport::toFloat(mic), kToneHz, kRate, kRate / 10);
  const auto after = testsupport::fitTone(testsupport::toFloat(cleaned), kToneHz, kRate, kRate / 10);
  const double reduction = testsupport::decibels(testsupport::meanSquare(before.residual, kFrames / 2, kFrames) /
                                                 testsupport::meanSquare(after.residual, kFrames / 2, kFrames));
  EXPECT_GE(reduction, 20.0) << s.report().dump();
  EXPECT_NEAR(20 * std::log10(after.amplitude / before.amplitude), 0.0, 3.0);
}

// On the grid, 3 ms to either side of it, and 26 ms and three quarters of a
// sample.
INSTANTIATE_TEST_SUITE_P(Delays, KelvaroEchoDelay,
                         ::testing::Values(40 * kFinePerMs, 47 * kFinePerMs, 53 * kFinePerMs, 57 * kFinePerMs,
                                           26 * kFinePerMs + 3),
                         [](const auto& info) {
                           const std::string ms = std::to_string(info.param / kFinePerMs) + "ms";
                           return info.param % kFinePerMs == 0 ? ms : ms + "_and_three_quarters_of_a_sample";
                         });

}  // namespace
}  // namespace kelvarotest
