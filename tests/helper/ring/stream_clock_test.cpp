// The capture times a consumer reads back from the stream clock.
#include "helper/ring/stream_clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace helper {
namespace {

constexpr double kRate = 48000;
constexpr uint64_t kFrames = 480;  // 10 ms
constexpr uint64_t kStartNs = 5'000'000'000;

TEST(StreamClock, AStallOfAnyLengthLeavesTheFirstBufferAfterItAtItsCaptureTime) {
  StreamClock clock;
  uint64_t t = kStartNs;
  for (int i = 0; i < 10; ++i, t += 10'000'000) {
    ASSERT_TRUE(clock.beginBuffer(t, kRate));
    clock.endBuffer(kFrames);
  }
  // The consumer stops reading; a minute of buffers is refused by the ring.
  for (int i = 0; i < 6000; ++i, t += 10'000'000) {
    clock.beginBuffer(t, kRate);
    clock.endBuffer(0);
  }
  ASSERT_TRUE(clock.beginBuffer(t, kRate));
  clock.endBuffer(kFrames);
  EXPECT_EQ(clock.captureTimeOf(0), kStartNs);
  EXPECT_EQ(clock.captureTimeOf(10 * kFrames), t);
}

TEST(StreamClock, ADeviceClockOffItsRateIsReadWithinAMillisecondOfItsCaptureTimes) {
  StreamClock clock;
  // 0.1 % fast: each 10 ms of frames comes 10 us early.
  const double bufferNs = 1e7 / 1.001;
  uint64_t worst = 0;
  for (uint64_t i = 0; i < 360'000; ++i) {
    const auto trueNs = kStartNs + static_cast<uint64_t>(static_cast<double>(i) * bufferNs);
    ASSERT_TRUE(clock.beginBuffer(trueNs, kRate));
    clock.endBuffer(kFrames);
    const uint64_t read = *clock.captureTimeOf(i * kFrames);
    worst = std::max(worst, read > trueNs ? read - trueNs : trueNs - read);
  }
  EXPECT_LE(worst, 1'000'000u);
}

}  // namespace
}  // namespace helper
