// The gate a real-time callback passes: a closer waits for the callbacks
// already inside it, and no longer than it was told.
#include "helper/ring/callback_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace helper {
namespace {

TEST(CallbackGate, ACloserWaitsForTheCallbackThatPassedTheOpenGate) {
  CallbackGate gate;
  gate.enabled().store(1);
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> pushed{false};
  std::thread callback([&] {
    const CallbackGate::Pass pass(gate);
    if (!pass.open()) return;
    inside.store(true);
    while (!release.load()) std::this_thread::yield();
    pushed.store(true);  // the push that a drain must see
  });
  while (!inside.load()) std::this_thread::yield();
  // Still inside: the bounded wait gives up.
  EXPECT_FALSE(gate.closeAndWait(5'000'000));
  EXPECT_EQ(gate.enabled().load(), 0u);
  release.store(true);
  EXPECT_TRUE(gate.waitForCallbacks(5'000'000'000ULL));
  EXPECT_TRUE(pushed.load());
  callback.join();
  EXPECT_EQ(gate.inFlight(), 0u);
}

TEST(CallbackGate, ACallbackAfterTheCloseDoesNotPass) {
  CallbackGate gate;
  gate.enabled().store(1);
  EXPECT_TRUE(gate.closeAndWait(1'000'000));
  const CallbackGate::Pass pass(gate);
  EXPECT_FALSE(pass.open());
  EXPECT_EQ(gate.inFlight(), 1u);
}

}  // namespace
}  // namespace helper
