// How buffers land on the session clock when a device's clock runs off its
// nominal rate, its stamps jitter, it stalls, or it delivers faster than
// it is read.
#include "helper/core/segments/session_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace helper {
namespace {

constexpr double kRate = 24000;
constexpr uint64_t kAnchorNs = 1'000'000'000;
constexpr int64_t kBuffer = 240;  // 10 ms

struct Device {
  double speed;     // frames delivered per nominal frame of real time
  double jitterMs;  // of each stamp, uniform either way
};

class SessionClockDrift : public ::testing::TestWithParam<Device> {};

// An hour of 10 ms buffers: every buffer lands within 10 ms of where it
// was captured, and no correction moves the audio by more than 2 ms.
TEST_P(SessionClockDrift, ASourceStaysWithinTenMillisecondsOfItsCaptureTimeInSmallSteps) {
  const Device device = GetParam();
  const SessionRun run{kAnchorNs, 0, kRate, std::nullopt};
  SessionClockFollower follower;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-device.jitterMs, device.jitterMs);
  int64_t placed = 0;
  double worstMs = 0;
  int64_t largestStep = 0;
  for (int64_t i = 0; i < 360'000; ++i) {
    // Captured at this real time: the device's frames come `speed` times
    // as fast as its nominal rate says.
    const double trueNs = static_cast<double>(i * kBuffer) / kRate / device.speed * 1e9;
    const auto stampNs = static_cast<uint64_t>(static_cast<double>(kAnchorNs) + trueNs + jitter(random) * 1e6);
    const SessionPlacement p = placeOnSessionClock(run, placed, i > 0, kBuffer, stampNs, follower);
    if (i > 0) largestStep = std::max({largestStep, p.fill, p.skip});
    placed += p.fill;
    const double landedNs = static_cast<double>(placed) / kRate * 1e9;
    worstMs = std::max(worstMs, std::fabs(landedNs - (trueNs + p.skip / kRate * 1e9)) / 1e6);
    placed += p.keep;
  }
  EXPECT_LE(worstMs, 10.0);
  EXPECT_LE(largestStep, static_cast<int64_t>(kRate * 0.002));
}

INSTANTIATE_TEST_SUITE_P(Devices, SessionClockDrift,
                         ::testing::Values(Device{1.005, 0}, Device{0.995, 0}, Device{1.001, 0}, Device{1.0, 4},
                                           Device{1.005, 4}, Device{0.995, 4}));

TEST(SessionClock, AnOutageIsSilenceAndAnOverlapIsLeftOutAtOnce) {
  const SessionRun run{kAnchorNs, 0, kRate, std::nullopt};
  SessionClockFollower follower;
  const auto at = [](int64_t frames) { return kAnchorNs + static_cast<uint64_t>(frames * 1e9 / kRate); };
  EXPECT_EQ(placeOnSessionClock(run, 0, false, kBuffer, at(0), follower).keep, kBuffer);
  // 50 ms that never came: silence in their place.
  auto p = placeOnSessionClock(run, kBuffer, true, kBuffer, at(kBuffer + 1200), follower);
  EXPECT_EQ(p.fill, 1200);
  EXPECT_EQ(p.keep, kBuffer);
  // A buffer captured 30 ms before where the source has got to: its first
  // 30 ms are already on the clock.
  p = placeOnSessionClock(run, 2 * kBuffer + 1200, true, kBuffer, at(2 * kBuffer + 1200 - 720), follower);
  EXPECT_EQ(p.fill, 0);
  EXPECT_EQ(p.skip, kBuffer);
  EXPECT_EQ(p.overlap, kBuffer);
  p = placeOnSessionClock(run, 2 * kBuffer + 1200, true, 1000, at(2 * kBuffer + 1200 - 720), follower);
  EXPECT_EQ(p.overlap, 720);
  EXPECT_EQ(p.keep, 280);
}

}  // namespace
}  // namespace helper
