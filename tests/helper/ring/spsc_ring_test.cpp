#include "helper/ring/spsc_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

struct TestRing {
  explicit TestRing(uint64_t capacity) : storage(capacity) {
    EXPECT_TRUE(spsc_ring_init(&ring, storage.data(), capacity));
  }
  std::vector<uint8_t> storage;
  SPSCRing ring;
};

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(SPSCRing, InitRefusesACapacityThatIsNotAPowerOfTwo) {
  std::vector<uint8_t> storage(24);
  SPSCRing ring;
  EXPECT_FALSE(spsc_ring_init(&ring, storage.data(), 24));
  EXPECT_FALSE(spsc_ring_init(&ring, storage.data(), 0));
  EXPECT_TRUE(spsc_ring_init(&ring, storage.data(), 16));
}

TEST(SPSCRing, PushIsWholeOrNothingAndCountsRefusedBytes) {
  TestRing t(16);
  const auto a = bytes(10, 1);
  EXPECT_TRUE(spsc_ring_push(&t.ring, a.data(), a.size()));
  EXPECT_FALSE(spsc_ring_push(&t.ring, a.data(), 7));  // 6 free
  EXPECT_EQ(t.ring.write_pos.load(), 10u);
  EXPECT_EQ(t.ring.dropped.load(), 7u);
  EXPECT_TRUE(spsc_ring_push(&t.ring, a.data(), 6));  // exactly full
  EXPECT_TRUE(spsc_ring_push(&t.ring, nullptr, 0));   // nothing to add always fits
  EXPECT_EQ(spsc_ring_readable(&t.ring), 16u);
  EXPECT_EQ(t.ring.dropped.load(), 7u);
}

TEST(SPSCRing, MessagesEndingAtTheStorageEndOrWrappingReadBackIdentical) {
  TestRing t(16);
  std::vector<uint8_t> out(16);
  const auto first = bytes(16, 1);  // ends exactly at the end of the storage
  ASSERT_TRUE(spsc_ring_push(&t.ring, first.data(), first.size()));
  ASSERT_EQ(spsc_ring_read(&t.ring, out.data(), 16), 16u);
  EXPECT_EQ(out, first);

  const auto pad = bytes(12, 100);
  ASSERT_TRUE(spsc_ring_push(&t.ring, pad.data(), pad.size()));
  ASSERT_EQ(spsc_ring_read(&t.ring, out.data(), 12), 12u);
  const auto wrapping = bytes(10, 50);  // 4 bytes at the end, 6 at the start
  ASSERT_TRUE(spsc_ring_push(&t.ring, wrapping.data(), wrapping.size()));
  out.assign(10, 0);
  ASSERT_EQ(spsc_ring_read(&t.ring, out.data(), 10), 10u);
  EXPECT_EQ(out, wrapping);
  EXPECT_EQ(spsc_ring_readable(&t.ring), 0u);
}

TEST(SPSCRing, ReadHandsOutOnlyWholeGranulesAcrossTheWrap) {
  // 12-byte frames in a 32-byte ring: the third frame straddles the end.
  TestRing t(32);
  std::vector<uint8_t> out(64);
  const auto f1 = bytes(12, 0), f2 = bytes(12, 12), f3 = bytes(12, 24);
  ASSERT_TRUE(spsc_ring_push(&t.ring, f1.data(), 12));
  ASSERT_TRUE(spsc_ring_push(&t.ring, f2.data(), 12));
  ASSERT_EQ(spsc_ring_read(&t.ring, out.data(), 64, 12), 24u);
  ASSERT_TRUE(spsc_ring_push(&t.ring, f3.data(), 12));  // bytes 24..31 and 0..3
  // Half a frame readable is not handed out.
  EXPECT_EQ(spsc_ring_read(&t.ring, out.data(), 6, 12), 0u);
  ASSERT_EQ(spsc_ring_read(&t.ring, out.data(), 64, 12), 12u);
  EXPECT_TRUE(std::equal(f3.begin(), f3.end(), out.begin()));
}

// One producer and one consumer hammer a small ring with frames whose size
// is no power of two, so frames keep straddling the wrap. Every frame
// arrives intact and in order, or its bytes are counted as dropped.
TEST(SPSCRingStress, ProducerAndConsumerThreadsLoseNothingUncounted) {
  constexpr uint64_t kFrameBytes = 12;
  TestRing t(256);
  std::atomic<bool> producerDone{false};
  uint64_t pushed = 0, refused = 0;

  std::thread producer([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    uint32_t frame[3];
    uint32_t n = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      // A burst of up to 6 frames, pushed as one unit.
      const uint32_t burst = 1 + n % 6;
      std::vector<uint32_t> words;
      for (uint32_t i = 0; i < burst; ++i) {
        frame[0] = n + i;
        frame[1] = ~(n + i);
        frame[2] = (n + i) * 2654435761u;
        words.insert(words.end(), frame, frame + 3);
      }
      if (spsc_ring_push(&t.ring, words.data(), burst * kFrameBytes)) {
        pushed += burst;
      } else {
        refused += burst;
      }
      n += burst;
    }
    producerDone.store(true, std::memory_order_release);
  });

  uint64_t received = 0, mismatches = 0;
  int64_t last = -1;
  std::vector<uint32_t> in(30);
  for (;;) {
    const bool done = producerDone.load(std::memory_order_acquire);
    const uint64_t got = spsc_ring_read(&t.ring, in.data(), in.size() * 4, kFrameBytes);
    for (uint64_t f = 0; f < got / kFrameBytes; ++f) {
      const uint32_t* w = &in[f * 3];
      if (w[1] != ~w[0] || w[2] != w[0] * 2654435761u || static_cast<int64_t>(w[0]) <= last) ++mismatches;
      last = w[0];
      ++received;
    }
    if (got == 0 && done && spsc_ring_readable(&t.ring) == 0) break;
  }
  producer.join();

  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(received, pushed);
  EXPECT_EQ(t.ring.dropped.load(), refused * kFrameBytes);
  EXPECT_GT(received, 0u);
}

}  // namespace
