#pragma once
// Following the system's default input without bouncing: a burst of
// default-device notifications leads to one switch to the last device
// named (a one-shot debounce), and a device that has just disappeared does
// not pull the recording back the moment it reappears under the same UID
// (a short-lived table of recently disconnected UIDs).
//
// Any thread may call every method: one internal mutex guards the state,
// and the debounce handler is called with it released, so the handler may
// use this object again.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

class DeviceFollowingState : public std::enable_shared_from_this<DeviceFollowingState> {
 public:
  using Clock = std::function<uint64_t()>;
  using Handler = std::function<void(uint32_t deviceID)>;
  // Runs `item` on `queue` once `delayNs` have passed; a cancelled item
  // does nothing. platform::dispatch::asyncAfter unless a test supplies its own.
  using Scheduler = std::function<void(const platform::dispatch::QueuePtr& queue, uint64_t delayNs,
                                       const platform::dispatch::WorkItemPtr& item)>;

  static constexpr uint64_t kDefaultDebounceWindowNs = 1'500'000'000ULL;
  static constexpr uint64_t kDefaultRecentlyDisconnectedWindowNs = 60'000'000'000ULL;
  static constexpr int kDefaultMaxDisconnectedEntries = 16;

  // The clock is the helper's monotonic clock unless one is given.
  explicit DeviceFollowingState(Clock clock = {}, uint64_t debounceWindowNs = kDefaultDebounceWindowNs,
                                uint64_t recentlyDisconnectedWindowNs = kDefaultRecentlyDisconnectedWindowNs,
                                int maxDisconnectedEntries = kDefaultMaxDisconnectedEntries, Scheduler scheduler = {});
  DeviceFollowingState(const DeviceFollowingState&) = delete;
  DeviceFollowingState& operator=(const DeviceFollowingState&) = delete;

  uint64_t debounceWindowNs() const { return debounceWindowNs_; }
  uint64_t recentlyDisconnectedWindowNs() const { return recentlyDisconnectedWindowNs_; }
  int maxDisconnectedEntries() const { return maxDisconnectedEntries_; }

  // Remembers that `uid` disconnected now (an empty UID too), then evicts.
  void recordDisconnection(const std::string& uid);
  // True while `uid` disconnected less than the window ago.
  bool shouldSuppressFollowback(const std::string& uid) const;
  // Drops expired entries, then keeps only the newest entries up to the limit.
  void evictStale() VR_EXCLUDES(mu_);
  // Forgets the pending switch, if any; its handler is never called.
  void cancelPendingDebounce() VR_EXCLUDES(mu_);
  // (Re)starts the debounce: after the window, on `queue`, handler(newDeviceID)
  // unless a later schedule or a cancel came first. The last device wins.
  void scheduleDebounce(uint32_t newDeviceID, platform::dispatch::QueuePtr queue, Handler handler);

  std::map<std::string, uint64_t> recentlyDisconnected() const;
  std::optional<uint32_t> pendingDeviceID() const;
  bool hasPendingDebounce() const;

  // What the callers keep of the followed input device.
  std::string currentUID() const;
  void setCurrentUID(std::string uid);
  uint32_t currentDeviceID() const;
  void setCurrentDeviceID(uint32_t id);
  std::string currentRouteKind() const;
  void setCurrentRouteKind(std::string kind);

 private:
  // Called with mu_ held, as every ...Unlocked function is.
  void evictStaleUnlocked(uint64_t now) VR_REQUIRES(mu_);
  void cancelPendingDebounceUnlocked() VR_REQUIRES(mu_);

  const Clock clock_;
  const uint64_t debounceWindowNs_;
  const uint64_t recentlyDisconnectedWindowNs_;
  const int maxDisconnectedEntries_;
  const Scheduler scheduler_;

  mutable std::mutex mu_;
  std::map<std::string, uint64_t> recentlyDisconnected_ VR_GUARDED_BY(mu_);
  // Order of recording per UID, so entries with equal times keep their order.
  std::map<std::string, uint64_t> recordOrder_ VR_GUARDED_BY(mu_);
  uint64_t nextRecordOrder_ VR_GUARDED_BY(mu_) = 0;
  platform::dispatch::WorkItemPtr debounceTimer_ VR_GUARDED_BY(mu_);
  std::optional<uint32_t> pendingDeviceID_ VR_GUARDED_BY(mu_);
  uint64_t debounceToken_ VR_GUARDED_BY(mu_) = 0;
  std::string currentUID_ VR_GUARDED_BY(mu_);
  uint32_t currentDeviceID_ VR_GUARDED_BY(mu_) = 0;
  std::string currentRouteKind_ VR_GUARDED_BY(mu_) = "unknown";
};

}  // namespace helper
