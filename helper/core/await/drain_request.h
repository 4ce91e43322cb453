#pragma once
// The drain handshake between a ring's consumer thread and a thread that
// needs every frame the ring holds written before it goes on, and the wait
// before it for the audio captured up to an instant to reach the ring.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/dispatch/dispatch.h"

namespace helper {

// How long a pause waits for a drain, and the stop for a consumer to end.
inline constexpr uint64_t kDrainWaitNs = 3'000'000'000ULL;
inline constexpr uint64_t kConsumerJoinWaitNs = 3'000'000'000ULL;

// How long a pause or the stop waits, past its instant, for a source's
// audio captured before it: a device hands its audio over a buffer at a
// time, and one that has not handed over the instant's buffer by then is
// not delivering.
inline constexpr uint64_t kCaptureCatchUpWaitNs = 500'000'000ULL;
inline constexpr uint64_t kCaptureCatchUpPollNs = 1'000'000ULL;

enum class DrainOutcome { answered, timedOut, abandoned };

// Asks the consumer to drain and waits for its answer, at most timeoutNs,
// in slices of pollNs after each of which `abandon` (when given) may end
// the wait. The request is withdrawn unless answered.
inline DrainOutcome requestDrainUntil(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done,
                                      uint64_t timeoutNs, uint64_t pollNs, const std::function<bool()>& abandon) {
  // A late answer to an earlier, timed-out drain must not satisfy this one.
  done.drain();
  requested.store(1);
  for (uint64_t waited = 0; waited < timeoutNs; waited += pollNs) {
    if (done.waitForNs(pollNs < timeoutNs - waited ? pollNs : timeoutNs - waited)) return DrainOutcome::answered;
    if (abandon && abandon()) {
      requested.store(0);
      return DrainOutcome::abandoned;
    }
  }
  requested.store(0);
  return DrainOutcome::timedOut;
}

// False on a time-out, when the request is withdrawn.
inline bool requestDrain(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done, uint64_t timeoutNs) {
  return requestDrainUntil(requested, done, timeoutNs, timeoutNs, {}) == DrainOutcome::answered;
}

// Before a drain at an instant: waits until the audio captured up to
// `instantNs` has been handed to the ring (`capturedThroughNs`, the host
// time up to which the producer has pushed, reaches it), at most timeoutNs,
// and only while `delivering` holds. True when it got there.
inline bool awaitCaptureThrough(const std::atomic<uint64_t>& capturedThroughNs, uint64_t instantNs, uint64_t timeoutNs,
                                const std::function<bool()>& delivering) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs);
  while (capturedThroughNs.load(std::memory_order_acquire) < instantNs) {
    if (!delivering() || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::nanoseconds(kCaptureCatchUpPollNs));
  }
  return true;
}

// Consumer side, once everything it took from the ring is written: answers
// a drain asked for. True when there was one.
inline bool answerDrainRequest(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done) {
  if (requested.load() == 0) return false;
  requested.store(0);
  done.signal();
  return true;
}

}  // namespace helper
