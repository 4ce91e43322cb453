// Self-test groups 11-13: the SPSC ring (round trip, overflow, capacity,
// no overflow without a consumer, drain acknowledgement), the atomic
// cells, and a consumer discarding a late generation across ring resets.
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/segments/source_health.h"
#include "helper/selftest/self_test_suite.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

bool near(float got, float expected) { return std::fabs(got - expected) <= 0.001f; }

void checkRoundTrip(const SelfTestContext& ctx) {
  OwnedRing ring(65536);
  const auto message = micRingMessageBytes(42, 256, 0.5f);
  ctx.check("ring_msg_push_succeeds", ring.push(message));
  const uint64_t readable = ring.readable();
  ctx.check("ring_msg_readable_size", readable == 1032, "expected 1032 got " + std::to_string(readable));
  const auto bytes = ring.peek(readable);
  const uint32_t generation = readU32(bytes, 0);
  const uint32_t frames = readU32(bytes, 4);
  const float first = readF32(bytes, 8);
  ctx.check("ring_msg_generation_roundtrip", generation == 42, "expected 42 got " + std::to_string(generation));
  ctx.check("ring_msg_framecount_roundtrip", frames == 256, "expected 256 got " + std::to_string(frames));
  ctx.check("ring_msg_payload_roundtrip", bytes.size() > 8 && std::fabs(first - 0.5f) < 0.001f,
            "expected 0.5 got " + formatFloatShortest(first));
}

void checkOverflow(const SelfTestContext& ctx) {
  OwnedRing ring(256);
  const std::vector<uint8_t> tooBig(512, 0);
  const bool pushed = ring.push(tooBig);
  const bool positionsKept = ring.ring().write_pos.load() == 0 && ring.ring().read_pos.load() == 0;
  ctx.check("ring_overflow_push_returns_0", !pushed && positionsKept);
  const uint64_t once = ring.ring().dropped.load();
  ctx.check("ring_overflow_bytes_accumulated", once == 512, "expected 512, got " + std::to_string(once));
  ring.push(tooBig);
  const uint64_t twice = ring.ring().dropped.load();
  ctx.check("ring_overflow_bytes_accumulated_twice", twice == 1024, "expected 1024, got " + std::to_string(twice));
}

// Two seconds of mono float callbacks of 20 ms each (100 messages).
void checkTwoSecondCapacity(const SelfTestContext& ctx, uint32_t rate, const std::string& name) {
  const auto message = micRingMessageSize(rate / 50);
  const int64_t bytes = message ? *message * 100 : -1;
  ctx.check(name, bytes >= 0 && static_cast<uint64_t>(bytes) < kMicRingCapacity,
            std::to_string(rate / 1000) + "kHz 2s needs " + std::to_string(bytes) + " bytes, ring is " +
                std::to_string(kMicRingCapacity));
}

void checkNoOverflowWithoutConsumer(const SelfTestContext& ctx, const std::string& window, int ms) {
  OwnedRing ring(kMicRingCapacity);
  const auto message = micRingMessageBytes(1, 960, 0.0f);
  const int callbacks = ms * 50 / 1000;
  int pushes = 0;
  bool allPushed = true;
  while (allPushed && pushes < callbacks) {
    allPushed = ring.push(message);
    ++pushes;
  }
  ctx.check("ring_no_overflow_48k_" + window, allPushed,
            "overflowed at 48kHz after " + std::to_string(pushes) + " callbacks");
}

// What the drain-acknowledgement consumer shares with the suite. Held by
// both, so a consumer that outlives a timed-out wait still touches live
// memory.
struct DrainHandshake {
  OwnedRing ring{kMicRingCapacity};
  AtomicU32 drainRequested{0};
  AtomicU32 drained{0};
  platform::dispatch::Semaphore done{0};
};

void runDrainConsumer(const std::shared_ptr<DrainHandshake>& h) {
  for (;;) {
    if (h->ring.readable() > 0) {
      h->ring.drainAll();
      continue;
    }
    if (h->drainRequested.load() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    h->drained.store(1);
    h->drainRequested.store(0);
    h->done.signal();
    return;
  }
}

void checkDrainAcknowledgement(const SelfTestContext& ctx) {
  auto handshake = std::make_shared<DrainHandshake>();
  handshake->ring.push(micRingMessageBytes(1, {0.0f, 0.0f}));
  platform::dispatch::globalQueue(platform::dispatch::Qos::userInitiated)->async([handshake] {
    runDrainConsumer(handshake);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  handshake->drainRequested.store(1);
  const bool signalled = handshake->done.waitForNs(2'000'000'000ULL);
  const bool drained = handshake->drained.load() != 0;
  ctx.check("drain_ack_fires_after_ring_empty", signalled && drained, signalled ? "not acked" : "timed out");
}

// Reads whole messages in order from the ring and hands each to `onMessage`
// with its generation and first sample; a message it cannot parse ends the
// pass.
void consumeWholeMessages(OwnedRing& ring, std::vector<uint8_t>& staging,
                          const std::function<void(uint32_t, float)>& onMessage) {
  micRingTakeAvailable(ring.get(), staging);
  for (;;) {
    const auto result = micRingConsumeNextStagedMessage(staging);
    if (result.kind == MicRingStagingResult::Kind::needMoreData) return;
    if (result.kind == MicRingStagingResult::Kind::malformedHeader) continue;
    std::vector<float> payload(result.message.frameCount);
    copyMicRingPayload(staging, result.message, payload.data());
    staging.erase(staging.begin(), staging.begin() + result.message.messageSize);
    onMessage(result.message.generation, payload.empty() ? 0.0f : payload[0]);
  }
}

void checkLateGenerationDiscard(const SelfTestContext& ctx) {
  OwnedRing ring(kMicRingCapacity);
  std::vector<uint8_t> staging;
  uint32_t current = 1;
  bool gen1Processed = false;
  ring.push(micRingMessageBytes(1, 128, 0.1f));
  consumeWholeMessages(ring, staging, [&](uint32_t generation, float) { gen1Processed = generation == 1; });

  current = 2;
  bool gen2Processed = false;
  bool staleIdentified = true;
  ring.push(micRingMessageBytes(1, 128, 0.9f));
  ring.push(micRingMessageBytes(2, 128, 0.5f));
  consumeWholeMessages(ring, staging, [&](uint32_t generation, float marker) {
    if (generation < current) {
      staleIdentified = staleIdentified && near(marker, 0.9f);
    } else if (generation == current) {
      ctx.check("late_gen_discard_gen2_marker", near(marker, 0.5f),
                "gen 2 marker should be 0.5, got " + formatFloatShortest(marker));
      gen2Processed = true;
    }
  });
  ctx.check("late_gen_discard_gen1_processed", gen1Processed);
  ctx.check("late_gen_discard_gen2_processed", gen2Processed);
  ctx.check("late_gen_discard_stale_identified", staleIdentified);
}

bool drainResetCycle(OwnedRing& ring, uint32_t k) {
  const auto message = micRingMessageBytes(k, 256, static_cast<float>(k) * 0.1f);
  bool ok = true;
  for (int i = 0; i < 5; ++i) ok = ring.push(message) && ok;
  std::vector<uint8_t> staging;
  const uint64_t drained = micRingTakeAvailable(ring.get(), staging);
  ok = ok && drained == 5 * message.size() && ring.readable() == 0 && ring.ring().dropped.load() == 0;
  ring.reset();
  return ok;
}

}  // namespace

void runSpscRingGroup(const SelfTestContext& ctx) {
  checkRoundTrip(ctx);
  checkOverflow(ctx);
  checkTwoSecondCapacity(ctx, 96000, "ring_capacity_holds_2s_96k_mono");
  checkTwoSecondCapacity(ctx, 48000, "ring_capacity_holds_2s_48k_mono");
  checkNoOverflowWithoutConsumer(ctx, "250ms", 250);
  checkNoOverflowWithoutConsumer(ctx, "1s", 1000);
  checkNoOverflowWithoutConsumer(ctx, "2s", 2000);
  checkDrainAcknowledgement(ctx);
}

void runAtomicsGroup(const SelfTestContext& ctx) {
  AtomicU32 flag;
  ctx.check("atomic_u32_init_zero", flag.load() == 0);
  flag.store(0xC0FFEEu);
  ctx.check("atomic_u32_store_load", flag.load() == 0xC0FFEEu);
  AtomicU64 counter;
  ctx.check("atomic_u64_init_zero", counter.load() == 0);
  const uint64_t old = counter.fetch_add(100);
  ctx.check("atomic_u64_fetch_add_returns_old", old == 0);
  ctx.check("atomic_u64_fetch_add_stores_sum", counter.load() == 100);
  counter.fetch_add(50);
  ctx.check("atomic_u64_fetch_add_accumulates", counter.load() == 150);
}

void runLateGenerationGroup(const SelfTestContext& ctx) {
  checkLateGenerationDiscard(ctx);
  OwnedRing ring(kMicRingCapacity);
  bool allCycles = true;
  for (uint32_t k = 1; k <= 10; ++k) allCycles = drainResetCycle(ring, k) && allCycles;
  ctx.check("ring_drain_reset_restart_10x", allCycles);
}

}  // namespace helper
