#include "helper/selftest/device_following_checks.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "helper/core/entry/clock.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr uint64_t kStartNs = 1'000'000'000'000ULL;  // 1000 s
constexpr uint64_t kSecondNs = 1'000'000'000ULL;
constexpr uint64_t kDebounceWindowNs = 1'500'000'000ULL;
constexpr uint64_t kRecentlyDisconnectedWindowNs = 60'000'000'000ULL;
constexpr int kMaxDisconnectedEntries = 16;

// A clock that moves only when the case moves it.
class ManualClock {
 public:
  ManualClock() : now_(std::make_shared<std::atomic<uint64_t>>(kStartNs)) {}
  DeviceFollowingState::Clock closure() const {
    return [now = now_] { return now->load(); };
  }
  void advance(uint64_t ns) const { now_->fetch_add(ns); }

 private:
  std::shared_ptr<std::atomic<uint64_t>> now_;
};

std::shared_ptr<DeviceFollowingState> makeStandard(const DeviceFollowingFactory& make,
                                                   DeviceFollowingState::Clock clock) {
  return make(std::move(clock), kDebounceWindowNs, kRecentlyDisconnectedWindowNs, kMaxDisconnectedEntries);
}

bool hasKey(const DeviceFollowingState& state, const std::string& uid) {
  return state.recentlyDisconnected().count(uid) > 0;
}

void checkFollowbackWindow(TestReport& report, const DeviceFollowingFactory& make) {
  const ManualClock clock;
  auto state = makeStandard(make, clock.closure());
  state->recordDisconnection("airpods-uid");
  report.checkQuiet("suppress within 60s", state->shouldSuppressFollowback("airpods-uid"));
  clock.advance(59 * kSecondNs);
  report.checkQuiet("still suppressed at 59s", state->shouldSuppressFollowback("airpods-uid"));
  clock.advance(2 * kSecondNs);
  report.checkQuiet("allowed after 61s", !state->shouldSuppressFollowback("airpods-uid"));
}

void checkUnknownUID(TestReport& report, const DeviceFollowingFactory& make) {
  auto state = makeStandard(make, [] { return kStartNs; });
  report.checkQuiet("unknown UID not suppressed", !state->shouldSuppressFollowback("never-seen"));
}

void checkCapacity(TestReport& report, const DeviceFollowingFactory& make) {
  const ManualClock clock;
  auto state = makeStandard(make, clock.closure());
  for (int i = 0; i < 20; ++i) {
    clock.advance(1'000'000);  // 1 ms apart: only the size limit evicts
    state->recordDisconnection("device-" + std::to_string(i));
  }
  report.checkQuiet("max 16 entries after 20 inserts", state->recentlyDisconnected().size() <= 16);
  report.checkQuiet("oldest evicted", !hasKey(*state, "device-0"));
  report.checkQuiet("newest kept", hasKey(*state, "device-19"));
}

void checkStaleEviction(TestReport& report, const DeviceFollowingFactory& make) {
  const ManualClock clock;
  auto state = makeStandard(make, clock.closure());
  state->recordDisconnection("old-device");
  clock.advance(61 * kSecondNs);
  state->recordDisconnection("new-device");
  report.checkQuiet("stale entry evicted", !hasKey(*state, "old-device"));
  report.checkQuiet("fresh entry kept", hasKey(*state, "new-device"));
}

// What the debounce handlers saw. Held by the handlers too, so a timer that
// fires after its case has ended writes nowhere it should not.
struct DebounceObservers {
  std::atomic<int64_t> fireCount{0};
  std::atomic<uint32_t> lastDeviceID{0};
};

// Returns once every handler already due on `queue` has finished.
void settle(const platform::dispatch::QueuePtr& queue, std::chrono::milliseconds wait) {
  std::this_thread::sleep_for(wait);
  queue->sync([] {});
}

void checkDebounceKeepsLast(TestReport& report, const DeviceFollowingFactory& make) {
  auto queue = platform::dispatch::makeSerialQueue("test-debounce");
  auto state = make(machAbsoluteTimeNs, 100'000'000, kRecentlyDisconnectedWindowNs, kMaxDisconnectedEntries);
  auto seen = std::make_shared<DebounceObservers>();
  for (uint32_t id : {100u, 200u, 300u}) {
    state->scheduleDebounce(id, queue, [seen](uint32_t deviceID) {
      seen->fireCount.fetch_add(1);
      seen->lastDeviceID.store(deviceID);
    });
  }
  settle(queue, std::chrono::milliseconds(200));
  report.checkQuiet("debounce fires once", seen->fireCount.load() == 1);
  report.checkQuiet("debounce keeps last device", seen->lastDeviceID.load() == 300);
}

void checkDebounceRestart(TestReport& report, const DeviceFollowingFactory& make) {
  auto queue = platform::dispatch::makeSerialQueue("test-debounce-reset");
  auto state = make(machAbsoluteTimeNs, 150'000'000, kRecentlyDisconnectedWindowNs, kMaxDisconnectedEntries);
  auto seen = std::make_shared<DebounceObservers>();
  const auto count = [seen](uint32_t) { seen->fireCount.fetch_add(1); };
  state->scheduleDebounce(100, queue, count);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  state->scheduleDebounce(200, queue, count);  // inside the window: starts it again
  settle(queue, std::chrono::milliseconds(200));
  report.checkQuiet("debounce reset fires once total", seen->fireCount.load() == 1);
}

}  // namespace

std::shared_ptr<DeviceFollowingState> makeDeviceFollowingState(DeviceFollowingState::Clock clock,
                                                               uint64_t debounceWindowNs,
                                                               uint64_t recentlyDisconnectedWindowNs,
                                                               int maxDisconnectedEntries) {
  return std::make_shared<DeviceFollowingState>(std::move(clock), debounceWindowNs, recentlyDisconnectedWindowNs,
                                                maxDisconnectedEntries);
}

void runDeviceFollowingChecks(TestReport& report, const DeviceFollowingFactory& make) {
  checkFollowbackWindow(report, make);
  checkUnknownUID(report, make);
  checkCapacity(report, make);
  checkStaleEviction(report, make);
  checkDebounceKeepsLast(report, make);
  checkDebounceRestart(report, make);
}

}  // namespace helper
