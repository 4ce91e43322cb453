#pragma once
// The drain handshake between a ring's consumer thread and a thread that
// needs every frame the ring holds written before it goes on.
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/dispatch/dispatch.h"

namespace helper {

// How long a pause waits for a drain, and the stop for a consumer to end.
inline constexpr uint64_t kDrainWaitNs = 3'000'000'000ULL;
inline constexpr uint64_t kConsumerJoinWaitNs = 3'000'000'000ULL;

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

// Consumer side, once everything it took from the ring is written: answers
// a drain asked for. True when there was one.
inline bool answerDrainRequest(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done) {
  if (requested.load() == 0) return false;
  requested.store(0);
  done.signal();
  return true;
}

}  // namespace helper
