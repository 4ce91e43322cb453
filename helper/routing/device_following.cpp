#include "helper/routing/device_following.h"

#include <algorithm>
#include <vector>

#include "platform/clock/clock.h"

namespace helper {

DeviceFollowingState::DeviceFollowingState(Clock clock, uint64_t debounceWindowNs,
                                           uint64_t recentlyDisconnectedWindowNs, int maxDisconnectedEntries,
                                           Scheduler scheduler)
    : clock_(clock ? std::move(clock) : Clock(platform::clock::hostTimeNs)),
      debounceWindowNs_(debounceWindowNs),
      recentlyDisconnectedWindowNs_(recentlyDisconnectedWindowNs),
      maxDisconnectedEntries_(std::max(0, maxDisconnectedEntries)),
      scheduler_(scheduler ? std::move(scheduler)
                           : Scheduler([](const platform::dispatch::QueuePtr& queue, uint64_t delayNs,
                                          const platform::dispatch::WorkItemPtr& item) {
                               platform::dispatch::asyncAfter(queue, delayNs, item);
                             })) {}

void DeviceFollowingState::recordDisconnection(const std::string& uid) {
  std::lock_guard lock(mu_);
  const uint64_t now = clock_();
  recentlyDisconnected_[uid] = now;
  recordOrder_[uid] = nextRecordOrder_++;
  evictStaleUnlocked(now);
}

bool DeviceFollowingState::shouldSuppressFollowback(const std::string& uid) const {
  std::lock_guard lock(mu_);
  auto it = recentlyDisconnected_.find(uid);
  if (it == recentlyDisconnected_.end()) return false;
  const uint64_t now = clock_();
  // A clock behind the entry counts as no time elapsed.
  const uint64_t elapsed = now >= it->second ? now - it->second : 0;
  return elapsed < recentlyDisconnectedWindowNs_;
}

void DeviceFollowingState::evictStale() {
  std::lock_guard lock(mu_);
  evictStaleUnlocked(clock_());
}

void DeviceFollowingState::evictStaleUnlocked(uint64_t now) {
  for (auto it = recentlyDisconnected_.begin(); it != recentlyDisconnected_.end();) {
    const uint64_t elapsed = now >= it->second ? now - it->second : 0;
    if (elapsed < recentlyDisconnectedWindowNs_) {
      ++it;
    } else {
      recordOrder_.erase(it->first);
      it = recentlyDisconnected_.erase(it);
    }
  }
  const auto limit = static_cast<size_t>(maxDisconnectedEntries_);
  if (recentlyDisconnected_.size() <= limit) return;
  struct Entry {
    std::string uid;
    uint64_t time;
    uint64_t order;
  };
  std::vector<Entry> entries;
  entries.reserve(recentlyDisconnected_.size());
  for (const auto& [uid, time] : recentlyDisconnected_) entries.push_back({uid, time, recordOrder_[uid]});
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.time != b.time ? a.time < b.time : a.order < b.order; });
  for (size_t i = 0; i + limit < entries.size(); ++i) {
    recentlyDisconnected_.erase(entries[i].uid);
    recordOrder_.erase(entries[i].uid);
  }
}

void DeviceFollowingState::cancelPendingDebounce() {
  std::lock_guard lock(mu_);
  cancelPendingDebounceUnlocked();
}

void DeviceFollowingState::cancelPendingDebounceUnlocked() {
  if (debounceTimer_) debounceTimer_->cancel();
  debounceTimer_.reset();
  pendingDeviceID_.reset();
  ++debounceToken_;  // a timer already on its way finds itself stale
}

void DeviceFollowingState::scheduleDebounce(uint32_t newDeviceID, platform::dispatch::QueuePtr queue, Handler handler) {
  platform::dispatch::WorkItemPtr item;
  {
    std::lock_guard lock(mu_);
    cancelPendingDebounceUnlocked();
    pendingDeviceID_ = newDeviceID;
    const uint64_t token = debounceToken_;
    std::weak_ptr<DeviceFollowingState> weak = weak_from_this();
    item = std::make_shared<platform::dispatch::WorkItem>([weak, token, newDeviceID, handler = std::move(handler)] {
      auto self = weak.lock();
      if (!self) return;
      {
        std::lock_guard lock(self->mu_);
        if (self->debounceToken_ != token || self->pendingDeviceID_ != newDeviceID) return;
        self->pendingDeviceID_.reset();
        self->debounceTimer_.reset();
      }
      handler(newDeviceID);
    });
    debounceTimer_ = item;
  }
  scheduler_(queue, debounceWindowNs_, item);
}

std::map<std::string, uint64_t> DeviceFollowingState::recentlyDisconnected() const {
  std::lock_guard lock(mu_);
  return recentlyDisconnected_;
}

std::optional<uint32_t> DeviceFollowingState::pendingDeviceID() const {
  std::lock_guard lock(mu_);
  return pendingDeviceID_;
}

bool DeviceFollowingState::hasPendingDebounce() const {
  std::lock_guard lock(mu_);
  return debounceTimer_ != nullptr;
}

std::string DeviceFollowingState::currentUID() const {
  std::lock_guard lock(mu_);
  return currentUID_;
}

void DeviceFollowingState::setCurrentUID(std::string uid) {
  std::lock_guard lock(mu_);
  currentUID_ = std::move(uid);
}

uint32_t DeviceFollowingState::currentDeviceID() const {
  std::lock_guard lock(mu_);
  return currentDeviceID_;
}

void DeviceFollowingState::setCurrentDeviceID(uint32_t id) {
  std::lock_guard lock(mu_);
  currentDeviceID_ = id;
}

std::string DeviceFollowingState::currentRouteKind() const {
  std::lock_guard lock(mu_);
  return currentRouteKind_;
}

void DeviceFollowingState::setCurrentRouteKind(std::string kind) {
  std::lock_guard lock(mu_);
  currentRouteKind_ = std::move(kind);
}

}  // namespace helper
