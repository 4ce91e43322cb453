#include "helper/core/mic/mic_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "helper/core/entry/globals.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

std::unique_ptr<PCMBuffer> floatBuffer(uint32_t frames, uint32_t channels, bool interleaved) {
  auto b = PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmFloat32, 48000, channels, interleaved), frames);
  b->setFrameLength(frames);
  return b;
}

struct TestRing {
  explicit TestRing(uint64_t capacity = kMicRingCapacity) : storage(capacity) {
    spsc_ring_init(&ring, storage.data(), capacity);
  }
  std::vector<uint8_t> storage;
  SPSCRing ring;
};

// The next message from the ring, read the way the mic consumer reads it.
struct ReadMessage {
  uint32_t generation = 0;
  std::vector<float> samples;
};
std::optional<ReadMessage> takeOne(SPSCRing& ring) {
  std::vector<uint8_t> staging;
  micRingTakeAvailable(&ring, staging);
  auto r = micRingConsumeNextStagedMessage(staging);
  if (r.kind != MicRingStagingResult::Kind::message) return std::nullopt;
  ReadMessage m;
  m.generation = r.message.generation;
  m.samples.resize(r.message.frameCount);
  copyMicRingPayload(staging, r.message, m.samples.data());
  return m;
}

class MicRingPush : public ::testing::Test {
 protected:
  MicOverflowCounters overflow;
};

TEST(MicRingSizes, MessageSizeAndTapFrameCounts) {
  EXPECT_EQ(micRingMessageSize(0), 8);
  EXPECT_EQ(micRingMessageSize(262142), 1048576);
  EXPECT_EQ(micRingMessageSize(262143), std::nullopt);
  EXPECT_EQ(micTapRequestFrames(48000), 4800);
  EXPECT_EQ(micTapRequestFrames(44100), 4410);
  EXPECT_EQ(micTapRequestFrames(16000), 1600);
  EXPECT_EQ(micTapRequestFrames(5.0), 1);
  EXPECT_EQ(micTapRequestFrames(std::nan("")), 1);
  EXPECT_EQ(micTapScratchMaxFrames(48000, 512), 19712);
  EXPECT_EQ(micTapScratchMaxFrames(48000, 4096), 23296);
  EXPECT_EQ(micTapScratchMaxFrames(48000, 0), 19201);
  // A device faster than the ring's largest message still fits one.
  EXPECT_EQ(micTapScratchMaxFrames(768000, 512), kMicRingMaxFrames);
  EXPECT_EQ(micTapScratchMaxFrames(1e12, 4096), kMicRingMaxFrames);
}

TEST(MicTapScratch, LayoutIsHeaderThenAlignedFloats) {
  MicTapScratch s(100);
  EXPECT_EQ(s.maxFrames(), 100);
  EXPECT_EQ(s.capacityBytes(), 8 + 400);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s.raw()) % 16, 0u);
  s.writeHeader(7, 3);
  uint32_t words[2];
  std::memcpy(words, s.messageBytes(), 8);
  EXPECT_EQ(words[0], 7u);
  EXPECT_EQ(words[1], 3u);
  int64_t seen = -1;
  s.withPayloadFloats(1000, [&](float* p, int64_t capacity) {
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p), s.messageBytes() + 8);
    seen = capacity;
  });
  EXPECT_EQ(seen, 100);  // never more than the scratch holds
}

TEST_F(MicRingPush, ExactScratchSizedBufferFitsWithGainApplied) {
  TestRing t;
  MicTapScratch scratch(19712);
  auto b = floatBuffer(19200, 1, false);
  for (uint32_t i = 0; i < 19200; ++i) b->floatChannelData()[0][i] = 0.2f;
  const auto r = pushMicTapBufferToRing(*b, &t.ring, scratch, 19712, 2.0f, 5, overflow);
  EXPECT_EQ(r.rawFrames, 19200);
  EXPECT_EQ(r.frames, 19200);
  EXPECT_EQ(r.messageBytes, 8 + 4 * 19200);
  EXPECT_EQ(r.tailOverflowBytes, 0u);
  EXPECT_TRUE(r.payloadWritten);
  EXPECT_TRUE(r.pushed);
  EXPECT_EQ(overflow.bytes.load(), 0u);
  auto m = takeOne(t.ring);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->generation, 5u);
  ASSERT_EQ(m->samples.size(), 19200u);
  for (float x : m->samples) ASSERT_FLOAT_EQ(x, 0.4f);
}

TEST_F(MicRingPush, InterleavedStereoCarriesChannelZeroOnlyScaledAndClipped) {
  TestRing t;
  MicTapScratch scratch(64);
  auto b = floatBuffer(4, 2, true);
  const float in[] = {0.1f, 9.0f, -0.3f, 9.0f, 0.9f, 9.0f, -0.8f, 9.0f};
  std::memcpy(b->block(0).data, in, sizeof in);
  const auto r = pushMicTapBufferToRing(*b, &t.ring, scratch, 64, 2.0f, 1, overflow);
  EXPECT_EQ(r.messageBytes, 8 + 16);
  auto m = takeOne(t.ring);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->samples, (std::vector<float>{0.2f, -0.6f, 1.0f, -1.0f}));
}

TEST_F(MicRingPush, OutOfRangeAndNaNSamplesAreClipped) {
  TestRing t;
  MicTapScratch scratch(8);
  auto b = floatBuffer(5, 1, false);
  const float in[] = {2.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      0.5f};
  std::memcpy(b->floatChannelData()[0], in, sizeof in);
  pushMicTapBufferToRing(*b, &t.ring, scratch, 8, 1.0f, 1, overflow);
  auto m = takeOne(t.ring);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->samples, (std::vector<float>{1.0f, -1.0f, 0.0f, 1.0f, 0.5f}));
}

TEST_F(MicRingPush, OversizedBufferKeepsTheHeadAndCountsTheTail) {
  TestRing t;
  MicTapScratch scratch(100);
  auto b = floatBuffer(117, 1, false);
  for (uint32_t i = 0; i < 117; ++i) b->floatChannelData()[0][i] = static_cast<float>(i) / 1000.0f;
  const auto r = pushMicTapBufferToRing(*b, &t.ring, scratch, 100, 1.0f, 1, overflow);
  EXPECT_EQ(r.frames, 100);
  EXPECT_EQ(r.tailOverflowBytes, 68u);
  EXPECT_TRUE(r.pushed);
  EXPECT_EQ(overflow.bytes.load(), 68u);
  EXPECT_EQ(overflow.events.load(), 0u);
  auto m = takeOne(t.ring);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->samples.size(), 100u);
  EXPECT_FLOAT_EQ(m->samples.back(), 0.099f);
}

TEST_F(MicRingPush, ACapBeyondTheScratchIsHeldToTheScratch) {
  TestRing t;
  MicTapScratch scratch(10);
  auto b = floatBuffer(50, 1, false);
  const auto r = pushMicTapBufferToRing(*b, &t.ring, scratch, 1000, 1.0f, 1, overflow);
  EXPECT_EQ(r.frames, 10);
  EXPECT_EQ(r.tailOverflowBytes, 160u);
}

TEST_F(MicRingPush, AMessageThatDoesNotFitIsRefusedWholeAndCountedThreeTimes) {
  TestRing t(64);
  MicTapScratch scratch(32);
  auto b = floatBuffer(10, 1, false);  // 48-byte messages
  ASSERT_TRUE(pushMicTapBufferToRing(*b, &t.ring, scratch, 32, 1.0f, 1, overflow).pushed);
  const auto r = pushMicTapBufferToRing(*b, &t.ring, scratch, 32, 1.0f, 1, overflow);
  EXPECT_TRUE(r.payloadWritten);
  EXPECT_FALSE(r.pushed);
  EXPECT_EQ(t.ring.write_pos.load(), 48u);
  EXPECT_EQ(t.ring.dropped.load(), 48u);
  EXPECT_EQ(overflow.bytes.load(), 48u);
  EXPECT_EQ(overflow.events.load(), 1u);
}

TEST_F(MicRingPush, EmptyOrUnreachableBuffersPushNothing) {
  TestRing t;
  MicTapScratch scratch(32);
  auto empty = floatBuffer(16, 1, false);
  empty->setFrameLength(0);
  const auto r0 = pushMicTapBufferToRing(*empty, &t.ring, scratch, 32, 1.0f, 1, overflow);
  EXPECT_EQ(r0.rawFrames, 0);
  EXPECT_EQ(r0.frames, 0);
  EXPECT_EQ(r0.messageBytes, 0);
  EXPECT_FALSE(r0.payloadWritten);
  EXPECT_FALSE(r0.pushed);

  // Int16 samples offer no float pointer: nothing is pushed, a cut tail stays counted.
  auto ints = PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmInt16, 48000, 1, true), 40);
  ints->setFrameLength(40);
  const auto r1 = pushMicTapBufferToRing(*ints, &t.ring, scratch, 32, 1.0f, 1, overflow);
  EXPECT_EQ(r1.rawFrames, 40);
  EXPECT_EQ(r1.frames, 32);
  EXPECT_EQ(r1.tailOverflowBytes, 32u);
  EXPECT_EQ(r1.messageBytes, 0);
  EXPECT_FALSE(r1.payloadWritten);
  EXPECT_FALSE(r1.pushed);
  EXPECT_EQ(t.ring.write_pos.load(), 0u);
  EXPECT_EQ(overflow.bytes.load(), 32u);
  EXPECT_EQ(overflow.events.load(), 0u);
}

TEST(MicRingStaging, MalformedHeaderIsSkippedAndParsingResumesBehindIt) {
  std::vector<uint8_t> staging(11, 0);
  const uint32_t header[2] = {1, 262143};
  std::memcpy(staging.data(), header, 8);
  staging[8] = 0xAA;
  staging[9] = 0xBB;
  staging[10] = 0xCC;
  const auto r = micRingConsumeNextStagedMessage(staging);
  EXPECT_EQ(r.kind, MicRingStagingResult::Kind::malformedHeader);
  EXPECT_EQ(r.malformedFrameCount, 262143u);
  EXPECT_EQ(staging, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(micRingConsumeNextStagedMessage(staging).kind, MicRingStagingResult::Kind::needMoreData);
}

TEST(MicRingStaging, DropHeaderNeedsEightBytes) {
  std::vector<uint8_t> seven(7, 1);
  EXPECT_FALSE(dropMalformedMicRingHeader(seven));
  EXPECT_EQ(seven.size(), 7u);
  std::vector<uint8_t> ten(10, 1);
  EXPECT_TRUE(dropMalformedMicRingHeader(ten));
  EXPECT_EQ(ten.size(), 2u);
}

TEST(MicRingStaging, AMessageSplitAcrossReadsIsParsedOnlyWhenComplete) {
  std::vector<uint8_t> whole(8 + 12);
  const uint32_t header[2] = {9, 3};
  const float samples[3] = {0.1f, 0.2f, 0.3f};
  std::memcpy(whole.data(), header, 8);
  std::memcpy(whole.data() + 8, samples, 12);

  std::vector<uint8_t> staging(whole.begin(), whole.begin() + 5);
  EXPECT_EQ(micRingConsumeNextStagedMessage(staging).kind, MicRingStagingResult::Kind::needMoreData);
  staging.insert(staging.end(), whole.begin() + 5, whole.end() - 1);
  EXPECT_EQ(micRingConsumeNextStagedMessage(staging).kind, MicRingStagingResult::Kind::needMoreData);
  staging.push_back(whole.back());
  const auto r = micRingConsumeNextStagedMessage(staging);
  ASSERT_EQ(r.kind, MicRingStagingResult::Kind::message);
  EXPECT_EQ(r.message.generation, 9u);
  EXPECT_EQ(r.message.frameCount, 3u);
  EXPECT_EQ(r.message.payloadSize, 12);
  EXPECT_EQ(r.message.messageSize, 20);
  EXPECT_EQ(staging.size(), 20u);  // left in place for the caller to remove
}

// The tap push on one thread and a consumer on another, through a ring
// small enough to wrap constantly and to refuse messages: every message
// arrives intact and in order, or is counted as dropped.
TEST(MicRingThreads, EveryMessageArrivesIntactOrIsCountedAsDropped) {
  MicOverflowCounters overflow;
  TestRing t(4096);
  constexpr int kMessages = 20000;
  std::atomic<bool> producerDone{false};
  int64_t pushedMessages = 0;
  uint64_t refusedBytes = 0;

  std::thread producer([&] {
    MicTapScratch scratch(200);
    std::vector<std::unique_ptr<PCMBuffer>> buffers;
    for (uint32_t len = 1; len <= 97; ++len) buffers.push_back(floatBuffer(len, 1, false));
    for (int i = 0; i < kMessages; ++i) {
      PCMBuffer& b = *buffers[static_cast<size_t>(i) % buffers.size()];
      // Sample k of message i is (i mod 1000 + k) / 10000: within [-1, 1], so gain 1 leaves it exact.
      for (uint32_t k = 0; k < b.frameLength(); ++k) {
        b.floatChannelData()[0][k] = static_cast<float>(i % 1000 + static_cast<int>(k)) / 10000.0f;
      }
      const auto r = pushMicTapBufferToRing(b, &t.ring, scratch, 200, 1.0f, static_cast<uint32_t>(i), overflow);
      if (r.pushed) {
        ++pushedMessages;
      } else {
        refusedBytes += static_cast<uint64_t>(r.messageBytes);
      }
    }
    producerDone.store(true, std::memory_order_release);
  });

  int64_t received = 0, corrupt = 0;
  int64_t lastGeneration = -1;
  std::vector<uint8_t> staging;
  for (;;) {
    const bool done = producerDone.load(std::memory_order_acquire);
    micRingTakeAvailable(&t.ring, staging);
    for (;;) {
      const auto r = micRingConsumeNextStagedMessage(staging);
      if (r.kind != MicRingStagingResult::Kind::message) {
        if (r.kind == MicRingStagingResult::Kind::malformedHeader) ++corrupt;
        if (r.kind == MicRingStagingResult::Kind::needMoreData) break;
        continue;
      }
      const auto i = static_cast<int>(r.message.generation);
      std::vector<float> samples(r.message.frameCount);
      copyMicRingPayload(staging, r.message, samples.data());
      bool ok = i > lastGeneration && r.message.frameCount == static_cast<uint32_t>(i % 97 + 1);
      for (uint32_t k = 0; ok && k < samples.size(); ++k) {
        ok = samples[k] == static_cast<float>(i % 1000 + static_cast<int>(k)) / 10000.0f;
      }
      if (!ok) ++corrupt;
      lastGeneration = i;
      ++received;
      staging.erase(staging.begin(), staging.begin() + r.message.messageSize);
    }
    if (done && spsc_ring_readable(&t.ring) == 0) break;
  }
  producer.join();

  EXPECT_EQ(corrupt, 0);
  EXPECT_TRUE(staging.empty());
  EXPECT_EQ(received, pushedMessages);
  EXPECT_EQ(pushedMessages + static_cast<int64_t>(overflow.events.load()), kMessages);
  EXPECT_EQ(overflow.bytes.load(), refusedBytes);
  EXPECT_EQ(t.ring.dropped.load(), refusedBytes);
}

}  // namespace
}  // namespace helper
