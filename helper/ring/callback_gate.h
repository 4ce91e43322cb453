#pragma once
// The gate between a real-time callback and the ring it fills, with a count
// of callbacks inside it. A callback that read the gate open just before it
// closed may still push; closers wait (bounded) for the count to reach zero
// so that a drain that follows sees every frame such a callback pushed.
//
// Threads: `Pass` on the callback thread only (two atomic operations, no
// lock, no system call); close/open and waitForCallbacks on any other.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace helper {

class CallbackGate {
 public:
  // Callback thread: counts the callback in for its lifetime; open() says
  // whether it may push.
  class Pass {
   public:
    explicit Pass(CallbackGate& gate) : gate_(gate) { gate_.inFlight_.fetch_add(1, std::memory_order_seq_cst); }
    ~Pass() { gate_.inFlight_.fetch_sub(1, std::memory_order_seq_cst); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool open() const { return gate_.enabled_.load(std::memory_order_seq_cst) != 0; }

   private:
    CallbackGate& gate_;
  };

  // The 0/1 flag itself (closed = 0), for the gate's owner.
  std::atomic<uint32_t>& enabled() { return enabled_; }
  bool isOpen() const { return enabled_.load(std::memory_order_seq_cst) != 0; }
  uint32_t inFlight() const { return inFlight_.load(std::memory_order_seq_cst); }

  // Closes the gate and waits up to timeoutNs for the callbacks already past
  // it; false when one was still inside.
  bool closeAndWait(uint64_t timeoutNs) {
    enabled_.store(0, std::memory_order_seq_cst);
    return waitForCallbacks(timeoutNs);
  }

  bool waitForCallbacks(uint64_t timeoutNs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs);
    while (inFlight() != 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

 private:
  std::atomic<uint32_t> enabled_{0};
  std::atomic<uint32_t> inFlight_{0};
};

// How long a closer waits for callbacks inside the gate: far longer than
// any one callback takes.
inline constexpr uint64_t kCallbackGateWaitNs = 100'000'000ULL;

}  // namespace helper
