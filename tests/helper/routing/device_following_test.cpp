#include "helper/routing/device_following.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace helper {
namespace {

constexpr uint64_t kSec = 1'000'000'000ULL;
constexpr uint64_t kMs = 1'000'000ULL;

// A manual clock and the timers armed against it: firing happens only when
// the test moves the clock past a timer's deadline.
class ManualTime {
 public:
  uint64_t now() const { return now_.load(); }

  DeviceFollowingState::Scheduler scheduler() {
    return [this](const platform::dispatch::QueuePtr&, uint64_t delayNs, const platform::dispatch::WorkItemPtr& item) {
      std::lock_guard lock(mu_);
      timers_.emplace(now_.load() + delayNs, item);
    };
  }

  // Moves the clock on and performs every timer due by then, in order.
  void advance(uint64_t ns) {
    const uint64_t until = now_.load() + ns;
    for (;;) {
      platform::dispatch::WorkItemPtr due;
      {
        std::lock_guard lock(mu_);
        auto it = timers_.begin();
        if (it == timers_.end() || it->first > until) break;
        now_.store(it->first);
        due = it->second;
        timers_.erase(it);
      }
      due->perform();
    }
    now_.store(until);
  }

 private:
  std::atomic<uint64_t> now_{1000 * kSec};
  std::mutex mu_;
  std::multimap<uint64_t, platform::dispatch::WorkItemPtr> timers_;
};

class DeviceFollowingTest : public ::testing::Test {
 protected:
  std::shared_ptr<DeviceFollowingState> make(int maxEntries = 16) {
    return std::make_shared<DeviceFollowingState>(
        [this] { return time.now(); }, DeviceFollowingState::kDefaultDebounceWindowNs,
        DeviceFollowingState::kDefaultRecentlyDisconnectedWindowNs, maxEntries, time.scheduler());
  }
  ManualTime time;
};

TEST_F(DeviceFollowingTest, DefaultsOfANewState) {
  DeviceFollowingState plain;
  EXPECT_EQ(plain.debounceWindowNs(), 1'500'000'000ULL);
  EXPECT_EQ(plain.recentlyDisconnectedWindowNs(), 60'000'000'000ULL);
  EXPECT_EQ(plain.maxDisconnectedEntries(), 16);
  EXPECT_EQ(plain.currentUID(), "");
  EXPECT_EQ(plain.currentDeviceID(), 0u);
  EXPECT_EQ(plain.currentRouteKind(), "unknown");
  EXPECT_FALSE(plain.pendingDeviceID());
  EXPECT_FALSE(plain.shouldSuppressFollowback(""));
}

TEST_F(DeviceFollowingTest, AFollowBackIsSuppressedForSixtySeconds) {
  auto f = make();
  f->recordDisconnection("Headset");
  EXPECT_TRUE(f->shouldSuppressFollowback("Headset"));
  EXPECT_FALSE(f->shouldSuppressFollowback("Other"));
  time.advance(59 * kSec);
  EXPECT_TRUE(f->shouldSuppressFollowback("Headset"));
  time.advance(1 * kSec - 1);
  EXPECT_TRUE(f->shouldSuppressFollowback("Headset"));
  time.advance(1);  // exactly 60 s: allowed again
  EXPECT_FALSE(f->shouldSuppressFollowback("Headset"));
  time.advance(1 * kSec);
  EXPECT_FALSE(f->shouldSuppressFollowback("Headset"));
  // An empty UID is remembered like any other.
  f->recordDisconnection("");
  EXPECT_TRUE(f->shouldSuppressFollowback(""));
}

TEST_F(DeviceFollowingTest, AReconnectionAfterSixtyOneSecondsIsFollowed) {
  auto f = make();
  f->recordDisconnection("Headset");
  time.advance(61 * kSec);
  EXPECT_FALSE(f->shouldSuppressFollowback("Headset"));
}

TEST_F(DeviceFollowingTest, TheTableKeepsTheSixteenNewest) {
  auto f = make();
  for (int i = 0; i < 20; ++i) {
    f->recordDisconnection("uid-" + std::to_string(i));
    time.advance(1 * kSec);
  }
  const auto table = f->recentlyDisconnected();
  EXPECT_EQ(table.size(), 16u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(table.count("uid-" + std::to_string(i)), 0u) << i;
  for (int i = 4; i < 20; ++i) EXPECT_EQ(table.count("uid-" + std::to_string(i)), 1u) << i;
  EXPECT_FALSE(f->shouldSuppressFollowback("uid-0"));
  EXPECT_TRUE(f->shouldSuppressFollowback("uid-19"));
}

TEST_F(DeviceFollowingTest, EqualTimesLeaveInTheOrderTheyCame) {
  auto f = make(2);
  f->recordDisconnection("b");
  f->recordDisconnection("a");
  f->recordDisconnection("c");  // same instant: the first recorded goes
  const auto table = f->recentlyDisconnected();
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.count("b"), 0u);
  EXPECT_EQ(table.count("a"), 1u);
  EXPECT_EQ(table.count("c"), 1u);
}

TEST_F(DeviceFollowingTest, ExpiredEntriesGoAtTheNextRecording) {
  auto f = make();
  f->recordDisconnection("old");
  time.advance(30 * kSec);
  f->recordDisconnection("fresh");
  time.advance(31 * kSec);
  EXPECT_EQ(f->recentlyDisconnected().size(), 2u);  // nothing evicts between recordings
  f->recordDisconnection("another");
  const auto table = f->recentlyDisconnected();
  EXPECT_EQ(table.count("old"), 0u);
  EXPECT_EQ(table.count("fresh"), 1u);
  EXPECT_EQ(table.count("another"), 1u);
}

TEST_F(DeviceFollowingTest, ABurstLeadsToOneSwitchToTheLastDevice) {
  auto f = make();
  std::vector<uint32_t> switched;
  auto handler = [&](uint32_t id) { switched.push_back(id); };
  f->scheduleDebounce(41, nullptr, handler);
  time.advance(1000 * kMs);
  f->scheduleDebounce(42, nullptr, handler);
  EXPECT_EQ(f->pendingDeviceID(), 42u);
  time.advance(1499 * kMs);
  EXPECT_TRUE(switched.empty());  // 1.5 s counts from the second call
  time.advance(1 * kMs);
  EXPECT_EQ(switched, (std::vector<uint32_t>{42}));
  EXPECT_FALSE(f->pendingDeviceID());
  EXPECT_FALSE(f->hasPendingDebounce());
  time.advance(10 * kSec);
  EXPECT_EQ(switched.size(), 1u);
}

TEST_F(DeviceFollowingTest, RescheduleTheSameDeviceRestartsTheWindowAndFiresOnce) {
  auto f = make();
  int calls = 0;
  auto handler = [&](uint32_t) { ++calls; };
  f->scheduleDebounce(7, nullptr, handler);
  time.advance(1 * kSec);
  f->scheduleDebounce(7, nullptr, handler);
  time.advance(1 * kSec);
  EXPECT_EQ(calls, 0);
  time.advance(500 * kMs);
  EXPECT_EQ(calls, 1);
  time.advance(10 * kSec);
  EXPECT_EQ(calls, 1);
}

TEST_F(DeviceFollowingTest, ACancelledDebounceNeverFires) {
  auto f = make();
  int calls = 0;
  f->scheduleDebounce(7, nullptr, [&](uint32_t) { ++calls; });
  f->cancelPendingDebounce();
  EXPECT_FALSE(f->pendingDeviceID());
  time.advance(10 * kSec);
  EXPECT_EQ(calls, 0);
}

TEST_F(DeviceFollowingTest, TheHandlerMayUseTheStateAgain) {
  auto f = make();
  std::vector<uint32_t> switched;
  f->scheduleDebounce(1, nullptr, [&](uint32_t id) {
    switched.push_back(id);
    f->setCurrentDeviceID(id);  // would deadlock if called under the state's lock
    if (id == 1) f->scheduleDebounce(2, nullptr, [&](uint32_t next) { switched.push_back(next); });
  });
  time.advance(5 * kSec);
  EXPECT_EQ(switched, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(f->currentDeviceID(), 1u);
}

TEST_F(DeviceFollowingTest, AStateThatIsGoneIgnoresItsTimer) {
  int calls = 0;
  {
    auto f = make();
    f->scheduleDebounce(3, nullptr, [&](uint32_t) { ++calls; });
  }
  time.advance(5 * kSec);
  EXPECT_EQ(calls, 0);
}

// Listener callbacks, a test thread and the timers touch one state at once.
TEST_F(DeviceFollowingTest, ConcurrentUseIsSafe) {
  auto f = make();
  std::atomic<int> calls{0};
  std::thread recorder([&] {
    for (int i = 0; i < 2000; ++i) {
      f->recordDisconnection("uid-" + std::to_string(i % 40));
      f->shouldSuppressFollowback("uid-3");
    }
  });
  std::thread scheduler([&] {
    for (uint32_t i = 0; i < 2000; ++i) {
      f->scheduleDebounce(i, nullptr, [&](uint32_t) { calls.fetch_add(1); });
      f->setCurrentUID("u" + std::to_string(i));
    }
  });
  for (int i = 0; i < 200; ++i) time.advance(100 * kMs);
  recorder.join();
  scheduler.join();
  time.advance(5 * kSec);
  EXPECT_LE(f->recentlyDisconnected().size(), 16u);
  EXPECT_GE(calls.load(), 1);  // the last schedule always fires
  EXPECT_FALSE(f->hasPendingDebounce());
}

}  // namespace
}  // namespace helper
