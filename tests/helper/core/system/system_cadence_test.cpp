#include "helper/core/system/system_cadence.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

using C = SystemCadenceClassification;

C classify(uint64_t frames, double rate, uint64_t wallMs) {
  return classifySystemCadenceObservation(SystemCadenceObservation{frames, rate, wallMs});
}

TEST(SystemCadence, ClassificationRows) {
  EXPECT_EQ(classify(48000, 24000, 2000), C::normal);  // 2000 ms of frames, no drift
  EXPECT_EQ(classify(48000, 24000, 2500), C::normal);  // a drift of exactly 500 ms is normal
  EXPECT_EQ(classify(48000, 24000, 2501), C::staleRate);
  EXPECT_EQ(classify(48000, 24000, 2600), C::staleRate);
  EXPECT_EQ(classify(144000, 24000, 6550), C::warning);  // 550 ms, ratio 0.084
  EXPECT_EQ(classify(0, 24000, 2000), C::staleRate);
  EXPECT_EQ(classify(48000, 24000, 0), C::staleRate);
  EXPECT_EQ(classify(48000, 0, 2000), C::staleRate);
  // Frames ahead of the clock drift as much as frames behind it.
  EXPECT_EQ(classify(96000, 24000, 2000), C::staleRate);
}

TEST(SystemCadence, ThresholdsAreArguments) {
  const SystemCadenceObservation o{144000, 24000, 6550};
  EXPECT_EQ(classifySystemCadenceObservation(o, 600.0, 0.1), C::normal);
  EXPECT_EQ(classifySystemCadenceObservation(o, 500.0, 0.08), C::staleRate);
}

TEST(SystemCadence, DerivedValues) {
  const SystemCadenceObservation o{48000, 24000, 2501};
  EXPECT_DOUBLE_EQ(o.frameDurationMs(), 2000.0);
  EXPECT_DOUBLE_EQ(o.driftMs(), 501.0);
  EXPECT_NEAR(o.driftRatio(), 501.0 / 2501.0, 1e-12);
  EXPECT_EQ((SystemCadenceObservation{0, 24000, 0}).driftRatio(), 0.0);
  EXPECT_EQ((SystemCadenceObservation{100, 0, 10}).frameDurationMs(), 0.0);

  const SystemCadenceObservation steady{48000, 24000, 2000};
  EXPECT_EQ(steady.inferredProducerRate(48000), 48000.0);
  EXPECT_FALSE((SystemCadenceObservation{48000, 24000, 0}).inferredProducerRate(48000));
  EXPECT_FALSE(steady.inferredProducerRate(0));
  EXPECT_FALSE((SystemCadenceObservation{48000, 0, 2000}).inferredProducerRate(48000));
  // Half the frames in the same time: the producer ran at half the rate.
  EXPECT_EQ((SystemCadenceObservation{24000, 24000, 2000}).inferredProducerRate(48000), 24000.0);
}

}  // namespace
}  // namespace helper
