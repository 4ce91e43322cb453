#pragma once
// Asks a consumer thread to drain its ring and waits for the answer.
#include <atomic>
#include <cstdint>

#include "platform/dispatch/dispatch.h"

namespace helper {

// False on a time-out, when the request is withdrawn.
inline bool requestDrain(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done, uint64_t timeoutNs) {
  // A late answer to an earlier, timed-out drain must not satisfy this one.
  done.drain();
  requested.store(1);
  if (done.waitForNs(timeoutNs)) return true;
  requested.store(0);
  return false;
}

}  // namespace helper
