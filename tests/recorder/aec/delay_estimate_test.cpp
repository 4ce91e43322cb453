#include "recorder/aec/delay_estimate.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/recorder/aec/aec_fixtures.h"

namespace recorder::aec {
namespace {

using testing::kRate;
using testing::speech_like;
using testing::to_pcm;

// `signal` arriving `delay` samples later.
std::vector<std::int16_t> delayed(const std::vector<std::int16_t>& signal, std::size_t delay) {
  std::vector<std::int16_t> out(signal.size(), 0);
  for (std::size_t i = delay; i < signal.size(); ++i) out[i] = signal[i - delay];
  return out;
}

TEST(DelayEstimate, FindsTheLagOfADelayedCopy) {
  // Blocks are 10 ms at any rate.
  const auto system = to_pcm(speech_like(3 * 8000, 10000, 12));
  const DelayEstimate e = estimate_mic_delay(delayed(system, 8 * 250), system, 8000);
  EXPECT_EQ(e.delay_ms, 250U);
  EXPECT_TRUE(e.trusted);
  EXPECT_GT(e.correlation, 0.9);
  // Refined to 2000 samples; the reference goes 2 ms (16 samples) ahead of them.
  EXPECT_EQ(e.delay_samples, 2000U);
  EXPECT_EQ(reference_delay_bytes(e, 8000), (2000U - 16) * 2);
}

TEST(DelayEstimate, ALagBetweenTheBlocksIsRefinedToTheSample) {
  // 47 and 53 ms: the nearest blocks lie 3 ms past and short of the echo.
  const auto system = to_pcm(speech_like(4 * kRate, 10000, 18));
  for (const std::size_t delay : {std::size_t{47 * 24}, std::size_t{53 * 24}, std::size_t{53 * 24 + 7}}) {
    SCOPED_TRACE(delay);
    const DelayEstimate e = estimate_mic_delay(delayed(system, delay), system, kRate);
    EXPECT_TRUE(e.trusted);
    EXPECT_LE(e.delay_ms > delay / 24 ? e.delay_ms - delay / 24 : delay / 24 - e.delay_ms, 10U);
    EXPECT_EQ(e.delay_samples, delay);
    EXPECT_EQ(reference_delay_bytes(e, kRate), (delay - 48) * 2);
  }
  // An echo of opposite polarity lines up the same way.
  std::vector<std::int16_t> inverted = delayed(system, 1130);
  for (auto& v : inverted) v = static_cast<std::int16_t>(-std::max<int>(v, -32767));
  EXPECT_EQ(estimate_mic_delay(inverted, system, kRate).delay_samples, 1130U);
}

TEST(DelayEstimate, NeedsOneSecondOfBothRuns) {
  const auto system = to_pcm(speech_like(3 * kRate, 10000, 13));
  const auto mic = delayed(system, 2400);
  // 99 blocks of the shorter run: no estimate.
  const std::span<const std::int16_t> short_mic(mic.data(), 100 * 240 - 1);
  EXPECT_EQ(estimate_mic_delay(short_mic, system, kRate), DelayEstimate{});
  EXPECT_EQ(estimate_mic_delay(mic, std::span(system.data(), 99 * 240), kRate), DelayEstimate{});
  // Exactly 100 blocks are enough; the lag then stays within 50 blocks.
  const DelayEstimate e = estimate_mic_delay(std::span(mic.data(), 100 * 240), system, kRate);
  EXPECT_EQ(e.delay_ms, 100U);
  EXPECT_TRUE(e.trusted);
  // Nothing to compare at all.
  EXPECT_EQ(estimate_mic_delay({}, {}, kRate), DelayEstimate{});
}

TEST(DelayEstimate, RatesBelowOneSamplePerBlockGiveNoEstimate) {
  const std::vector<std::int16_t> run(10000, 1000);
  EXPECT_EQ(estimate_mic_delay(run, run, 99), DelayEstimate{});
  EXPECT_EQ(estimate_mic_delay(run, run, 0), DelayEstimate{});
  EXPECT_EQ(estimate_mic_delay(run, run, 100).delay_ms, 0U);
}

TEST(DelayEstimate, TheFirstOfEqualCorrelationsWins) {
  // A steady level correlates perfectly at every lag.
  const std::vector<std::int16_t> steady(2 * kRate, 1000);
  const DelayEstimate e = estimate_mic_delay(steady, steady, kRate);
  EXPECT_EQ(e.delay_ms, 0U);
  EXPECT_TRUE(e.trusted);
  EXPECT_NEAR(e.correlation, 1.0, 1e-12);
  EXPECT_EQ(reference_delay_bytes(e, kRate), 0U);
}

TEST(DelayEstimate, ReferenceDelayIsWholeSamplesAndSaturates) {
  // A block lag leads by a block, a refined one by 2 ms; neither below 0.
  EXPECT_EQ(reference_delay_bytes({130, 0.9, true, std::nullopt}, 44100), (5733U - 441) * 2);
  EXPECT_EQ(reference_delay_bytes({10, 0.9, true, std::nullopt}, kRate), 0U);
  EXPECT_EQ(reference_delay_bytes({10, 0.9, true, 241}, kRate), (241U - 48) * 2);
  EXPECT_EQ(reference_delay_bytes({0, 0.9, true, 48}, kRate), 0U);
  EXPECT_EQ(reference_delay_bytes({130, 0.3, false, std::nullopt}, 44100), 0U);
  EXPECT_EQ(reference_delay_bytes({130, 0.9, true, std::nullopt}, 0), 0U);
  const std::uint64_t huge = reference_delay_bytes({UINT64_MAX / 1000, 0.9, true, std::nullopt}, 384000);
  EXPECT_EQ(huge % 2, 0U);
  EXPECT_GT(huge, UINT64_MAX / 2);
}

TEST(DelayEstimate, LongRunsAreComparedOverAtMostSixtySeconds) {
  // Past 60 s the mic is unrelated noise; only the first minute decides.
  const std::size_t minute = 60 * 8000;
  auto system = to_pcm(speech_like(minute + 8000 * 30, 10000, 16));
  auto mic = delayed(system, 8 * 70);
  const auto other = to_pcm(speech_like(8000 * 30, 10000, 17));
  std::copy(other.begin(), other.end(), mic.begin() + minute);
  const DelayEstimate e = estimate_mic_delay(mic, system, 8000);
  EXPECT_EQ(e.delay_ms, 70U);
  EXPECT_GT(e.correlation, 0.99);
}

}  // namespace
}  // namespace recorder::aec
