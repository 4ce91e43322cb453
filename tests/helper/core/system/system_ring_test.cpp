// The system ring's two ends: whole frames in from the IO proc, whole
// frames out into the consumer's native buffer, across the storage's end.
#include "helper/core/system/system_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "helper/core/system/system_tap_format.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

struct Ring {
  explicit Ring(uint64_t capacity) : storage(capacity) { spsc_ring_init(&ring, storage.data(), capacity); }
  std::vector<uint8_t> storage;
  SPSCRing ring;
};

// One IO proc input: `frames` frames of `channels` interleaved floats,
// sample value = running index, plus `extraBytes` of a partial frame.
struct Input {
  Input(uint32_t frames, uint32_t channels, float first, uint32_t extraBytes = 0)
      : samples(static_cast<size_t>(frames) * channels + 1) {
    std::iota(samples.begin(), samples.end(), first);
    buffer.numberChannels = channels;
    buffer.dataByteSize = frames * channels * 4 + extraBytes;
    buffer.data = samples.data();
    list.numberBuffers = 1;
    list.buffers = &buffer;
  }
  std::vector<float> samples;
  hal::AudioBuffer buffer;
  hal::AudioBufferList list;
};

std::unique_ptr<PCMBuffer> nativeBuffer(uint32_t channels, bool interleaved, uint32_t capacity) {
  return PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmFloat32, 48000, channels, interleaved), capacity);
}

TEST(SystemRing, TheIOProcPushesOnlyWholeFrames) {
  Ring r(1024);
  Input in(10, 3, 0, 7);  // 10 frames of 12 bytes and 7 bytes of an eleventh
  EXPECT_EQ(pushSystemIOProcBuffer(&r.ring, &in.list, 12), 120u);
  EXPECT_EQ(spsc_ring_readable(&r.ring), 120u);

  Input tiny(0, 3, 0, 11);  // less than one frame: nothing
  EXPECT_EQ(pushSystemIOProcBuffer(&r.ring, &tiny.list, 12), 0u);
  EXPECT_EQ(spsc_ring_readable(&r.ring), 120u);

  hal::AudioBufferList empty;
  EXPECT_EQ(pushSystemIOProcBuffer(&r.ring, &empty, 12), 0u);
  EXPECT_EQ(pushSystemIOProcBuffer(nullptr, &in.list, 12), 0u);
  EXPECT_EQ(pushSystemIOProcBuffer(&r.ring, &in.list, 0), 0u);
}

TEST(SystemRing, AFullRingDropsTheWholeBuffer) {
  Ring r(256);
  Input in(20, 2, 0);  // 160 bytes
  pushSystemIOProcBuffer(&r.ring, &in.list, 8);
  pushSystemIOProcBuffer(&r.ring, &in.list, 8);
  EXPECT_EQ(spsc_ring_readable(&r.ring), 160u);
  EXPECT_EQ(r.ring.dropped.load(), 160u);
}

// Frames of 12 bytes do not divide a ring of 256: some straddle its end.
// Every one comes out whole and in order.
TEST(SystemRing, FramesAcrossTheStorageEndStayAligned) {
  Ring r(256);
  auto buffer = nativeBuffer(3, true, 64);
  float next = 0;
  float expected = 0;
  for (int round = 0; round < 50; ++round) {
    Input in(7, 3, next);  // 84 bytes a call
    ASSERT_EQ(pushSystemIOProcBuffer(&r.ring, &in.list, 12), 84u);
    next += 21;
    const uint32_t got = takeSystemRingFrames(&r.ring, *buffer, 12, 5);  // fewer than pushed: a backlog builds
    ASSERT_EQ(got, 5u);
    ASSERT_EQ(buffer->frameLength(), 5u);
    const float* s = buffer->floatChannelData()[0];
    for (uint32_t i = 0; i < got * 3; ++i) ASSERT_EQ(s[i], expected++) << "round " << round << " sample " << i;
    while (spsc_ring_readable(&r.ring) > 120) {
      const uint32_t n = takeSystemRingFrames(&r.ring, *buffer, 12, 64);
      for (uint32_t i = 0; i < n * 3; ++i) ASSERT_EQ(buffer->floatChannelData()[0][i], expected++);
    }
  }
  EXPECT_EQ(r.ring.dropped.load(), 0u);
}

TEST(SystemRing, ANonInterleavedBufferGetsEveryChannel) {
  Ring r(1024);
  Input in(16, 1, 100);  // the first channel's buffer alone
  ASSERT_EQ(pushSystemIOProcBuffer(&r.ring, &in.list, systemRingFrameBytes(4, false)), 64u);
  auto buffer = nativeBuffer(4, false, 32);
  // Garbage where nothing would be written otherwise.
  for (uint32_t c = 0; c < 4; ++c) std::fill_n(buffer->floatChannelData()[c], 32, -7.0f);
  EXPECT_EQ(takeSystemRingFrames(&r.ring, *buffer, 4, 32), 16u);
  EXPECT_EQ(buffer->format().channelCount(), 4u);
  for (uint32_t c = 0; c < 4; ++c) {
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(buffer->floatChannelData()[c][i], 100.0f + i) << "channel " << c;
  }
  EXPECT_EQ(spsc_ring_readable(&r.ring), 0u);
}

TEST(SystemRing, TakesNoMoreThanTheBufferHoldsOrAFrameSizeThatFitsIt) {
  Ring r(1024);
  Input in(40, 2, 0);
  pushSystemIOProcBuffer(&r.ring, &in.list, 8);
  auto buffer = nativeBuffer(2, true, 16);
  EXPECT_EQ(takeSystemRingFrames(&r.ring, *buffer, 8, 1000), 16u);
  // A frame size other than the buffer's would write past it.
  EXPECT_EQ(takeSystemRingFrames(&r.ring, *buffer, 12, 16), 0u);
  EXPECT_EQ(buffer->frameLength(), 0u);
  EXPECT_EQ(spsc_ring_readable(&r.ring), 24u * 8);
}

TEST(SystemTapFormat, RefusesWhatTheConsumerCannotRead) {
  hal::AudioStreamBasicDescription f;
  f.sampleRate = 48000;
  f.formatID = hal::kAudioFormatLinearPCM;
  f.formatFlags = hal::kAudioFormatFlagIsFloat | hal::kAudioFormatFlagIsPacked;
  f.channelsPerFrame = 2;
  f.bitsPerChannel = 32;
  EXPECT_FALSE(unsupportedTapFormatReason(f));
  EXPECT_FALSE(isNonInterleavedTapFormat(f));

  auto reason = [](hal::AudioStreamBasicDescription g) { return unsupportedTapFormatReason(g).value_or("accepted"); };
  auto g = f;
  g.sampleRate = 0;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=0 channels=2");
  g.sampleRate = -44100;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=-44100 channels=2");
  g.sampleRate = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(reason(g), "unsupported tap format: rate=nan channels=2");
  g.sampleRate = std::numeric_limits<double>::infinity();
  EXPECT_EQ(reason(g), "unsupported tap format: rate=inf channels=2");
  g = f;
  g.channelsPerFrame = 0;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=48000 channels=0");
  g.channelsPerFrame = 0xFFFFFFFF;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=48000 channels=4294967295");
  g = f;
  g.formatFlags = hal::kAudioFormatFlagIsPacked;  // integer samples
  g.bitsPerChannel = 16;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=48000 channels=2");
  g = f;
  g.bitsPerChannel = 64;
  EXPECT_EQ(reason(g), "unsupported tap format: rate=48000 channels=2");
  g = f;
  g.formatID = hal::fourCharCode("aac ");
  EXPECT_EQ(reason(g), "unsupported tap format: rate=48000 channels=2");
  g = f;
  g.sampleRate = 44100.5;
  g.formatFlags |= hal::kAudioFormatFlagIsNonInterleaved;
  EXPECT_EQ(reason(g), "accepted");
  EXPECT_TRUE(isNonInterleavedTapFormat(g));

  EXPECT_EQ(systemRingFrameBytes(2, true), 8u);
  EXPECT_EQ(systemRingFrameBytes(3, true), 12u);
  EXPECT_EQ(systemRingFrameBytes(6, false), 4u);
}

}  // namespace
}  // namespace helper
