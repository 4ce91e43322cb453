// How buffers land on the session clock when a device's clock runs off its
// nominal rate, its stamps jitter, it stalls, or it delivers faster than
// it is read.
#include "helper/core/segments/session_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "helper/core/segments/source_clock.h"

namespace helper {
namespace {

constexpr double kRate = 24000;
constexpr double kNativeRate = 48000;
constexpr uint64_t kAnchorNs = 1'000'000'000;
constexpr int64_t kBuffer = 240;         // 10 ms
constexpr uint64_t kNativeBuffer = 480;  // 10 ms at the device's nominal rate

struct Device {
  double speed;     // frames delivered per nominal frame of real time
  double jitterMs;  // of each stamp, uniform either way
  double boundMs;   // how far from its capture time a buffer may land
};

void PrintTo(const Device& d, std::ostream* os) { *os << d.speed << "x within " << d.jitterMs << " ms"; }

// What a source's consumer does with an hour of 10 ms buffers: each
// stamp goes through the source's clock, the buffer is converted at the
// ratio it says and placed, and the placement's offset pulls the ratio.
struct HourOfBuffers {
  int64_t corrections = 0;  // silence placed or audio left out after the first buffer
  double worstMs = 0;       // after the first second
  double deviceRatio = 0;
};

HourOfBuffers driveAnHour(const Device& device) {
  const SessionRun run{kAnchorNs, 0, kRate, std::nullopt};
  SourceClockFollower clock(kNativeRate);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-device.jitterMs, device.jitterMs);
  HourOfBuffers out;
  int64_t placed = 0;
  double converted = 0;  // canonical frames the converter has made, with its fraction
  for (uint64_t i = 0; i < 360'000; ++i) {
    const uint64_t frame = i * kNativeBuffer;
    // Captured at this real time: the device's frames come `speed` times
    // as fast as its nominal rate says.
    const double trueNs = static_cast<double>(frame) / kNativeRate / device.speed * 1e9;
    const auto stampNs = static_cast<uint64_t>(static_cast<double>(kAnchorNs) + trueNs + jitter(random) * 1e6);
    const std::optional<uint64_t> captureNs = clock.captureTimeOf(frame, stampNs);
    const double before = converted;
    converted += static_cast<double>(kNativeBuffer) * kRate / (kNativeRate * clock.conversionRatio());
    const auto frames = static_cast<int64_t>(std::floor(converted) - std::floor(before));
    const SessionPlacement p = placeOnSessionClock(run, placed, i > 0, frames, captureNs);
    if (i > 0 && (p.fill != 0 || p.skip != 0)) ++out.corrections;
    placed += p.fill;
    if (trueNs > 1e9) {
      const double landedNs = static_cast<double>(placed) / kRate * 1e9;
      out.worstMs = std::max(out.worstMs, std::fabs(landedNs - trueNs) / 1e6);
    }
    placed += p.keep;
    std::optional<double> offsetSeconds;
    if (p.offset) offsetSeconds = static_cast<double>(*p.offset) / kRate;
    clock.correct(offsetSeconds, static_cast<double>(kNativeBuffer) / kNativeRate);
  }
  out.deviceRatio = clock.deviceRatio();
  return out;
}

class SessionClockDrift : public ::testing::TestWithParam<Device> {};

// Jitter alone never cuts or pads the audio, and a clock off its rate is
// taken up by the converter's ratio: no silence, no audio left out, and
// every buffer after the first second within its bound of where it was
// captured.
TEST_P(SessionClockDrift, AnHourOfJitteryStampsIsPlacedWithoutACutNearItsCaptureTime) {
  const Device device = GetParam();
  const HourOfBuffers hour = driveAnHour(device);
  EXPECT_EQ(hour.corrections, 0);
  EXPECT_LE(hour.worstMs, device.boundMs);
  EXPECT_NEAR(hour.deviceRatio, device.speed, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Devices, SessionClockDrift,
                         ::testing::Values(Device{1.0, 1, 2}, Device{1.0, 5, 2}, Device{1.005, 1, 5},
                                           Device{1.005, 5, 5}, Device{0.995, 1, 5}, Device{0.995, 5, 5},
                                           Device{1.005, 0, 5}),
                         [](const auto& info) {
                           const Device& d = info.param;
                           const std::string clock = d.speed > 1 ? "fast" : d.speed < 1 ? "slow" : "exact";
                           return clock + "_within_" + std::to_string(static_cast<int>(d.jitterMs)) + "_ms";
                         });

TEST(SessionClock, AnOutageIsSilenceAndAnOverlapIsLeftOutAtOnce) {
  const SessionRun run{kAnchorNs, 0, kRate, std::nullopt};
  const auto at = [](int64_t frames) { return kAnchorNs + static_cast<uint64_t>(frames * 1e9 / kRate); };
  EXPECT_EQ(placeOnSessionClock(run, 0, false, kBuffer, at(0)).keep, kBuffer);
  // 50 ms that never came: silence in their place.
  auto p = placeOnSessionClock(run, kBuffer, true, kBuffer, at(kBuffer + 1200));
  EXPECT_EQ(p.fill, 1200);
  EXPECT_EQ(p.keep, kBuffer);
  EXPECT_FALSE(p.offset);
  // A buffer captured 30 ms before where the source has got to: its first
  // 30 ms are already on the clock.
  p = placeOnSessionClock(run, 2 * kBuffer + 1200, true, kBuffer, at(2 * kBuffer + 1200 - 720));
  EXPECT_EQ(p.fill, 0);
  EXPECT_EQ(p.skip, kBuffer);
  EXPECT_EQ(p.overlap, kBuffer);
  p = placeOnSessionClock(run, 2 * kBuffer + 1200, true, 1000, at(2 * kBuffer + 1200 - 720));
  EXPECT_EQ(p.overlap, 720);
  EXPECT_EQ(p.keep, 280);
  // 4 ms late: it follows on, and says how far off it is.
  p = placeOnSessionClock(run, 2 * kBuffer, true, kBuffer, at(2 * kBuffer + 96));
  EXPECT_EQ(p.fill, 0);
  EXPECT_EQ(p.skip, 0);
  EXPECT_EQ(p.keep, kBuffer);
  EXPECT_EQ(p.offset, 96);
}

TEST(SessionClock, ABufferStraddlingTheRunsStartKeepsOnlyWhatCameAfterIt) {
  // A run that has placed frames, and a buffer of 120 whose stamp lies 80
  // frames before the run's start: those 80 are left out, once, the 40
  // after them follow on, and nothing is counted as an overlap.
  const SessionRun run{kAnchorNs, 1000, kRate, std::nullopt};
  const uint64_t stampNs = kAnchorNs - static_cast<uint64_t>(80 * 1e9 / kRate);
  const SessionPlacement p = placeOnSessionClock(run, 1000 + 2, true, 120, stampNs);
  EXPECT_EQ(p.skip, 80);
  EXPECT_EQ(p.overlap, 0);
  EXPECT_EQ(p.fill, 0);
  EXPECT_EQ(p.keep, 40);
}

TEST(SourceClock, AStallIsOneDiscontinuityAndTheRateIsKeptThroughIt) {
  SourceClockFollower clock(kNativeRate);
  std::mt19937 random(3);
  std::uniform_real_distribution<double> jitter(-4, 4);
  const double speed = 1.003;
  int discontinuities = 0;
  uint64_t frame = 0;
  double trueNs = 0;
  for (int i = 0; i < 3000; ++i) {
    if (i == 2000) trueNs += 300e6;  // 300 ms in which the device delivered nothing
    const auto stampNs = static_cast<uint64_t>(static_cast<double>(kAnchorNs) + trueNs + jitter(random) * 1e6);
    const auto captureNs = clock.captureTimeOf(frame, stampNs);
    ASSERT_TRUE(captureNs);
    if (clock.lastWasDiscontinuity()) {
      ++discontinuities;
      EXPECT_EQ(i, 2000);
      EXPECT_EQ(*captureNs, stampNs);  // placed by its own stamp, at once
    } else if (i > 2000 && i <= 2100) {
      // A new stretch: the stamps of its first second say where it lies.
      EXPECT_NEAR(static_cast<double>(*captureNs), static_cast<double>(kAnchorNs) + trueNs, 5e6) << i;
    } else if (i > 100 && (i < 2000 || i > 2100)) {
      EXPECT_NEAR(static_cast<double>(*captureNs), static_cast<double>(kAnchorNs) + trueNs, 2e6) << i;
    }
    frame += kNativeBuffer;
    trueNs += static_cast<double>(kNativeBuffer) / kNativeRate / speed * 1e9;
  }
  EXPECT_EQ(discontinuities, 1);
  EXPECT_NEAR(clock.deviceRatio(), speed, 2e-4);
}

}  // namespace
}  // namespace helper
