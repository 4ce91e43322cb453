// The serialisation of the mic's reconnects: one in flight at a time (a
// request that finds the slot taken is replayed once), one deferred
// reconnect pending, the cool-down and route-storm windows, and the engines
// a reconnect replaced.
#include <algorithm>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_source.h"
#include "platform/audio/engine/engine.h"

namespace helper {

bool MicSource::hasPendingReconnect() const {
  std::lock_guard lock(reconnectLock_);
  return pendingReconnectWorkItem_ != nullptr;
}

void MicSource::cancelPendingReconnect() {
  std::lock_guard lock(reconnectLock_);
  ++pendingReconnectToken_;  // wraps at 2^64
  if (pendingReconnectWorkItem_) pendingReconnectWorkItem_->cancel();
  pendingReconnectWorkItem_.reset();
  pendingReconnectHandler_ = nullptr;
}

void MicSource::scheduleReconnectAfterRouteSettle(uint64_t delayNs, std::function<void()> handler) {
  scheduleReconnectAfterRouteSettle(delayNs, delayNs, std::move(handler));
}

void MicSource::scheduleReconnectAfterRouteSettle(uint64_t delayNs, uint64_t settleNs, std::function<void()> handler) {
  cancelPendingReconnect();
  const uint64_t delay = std::min<uint64_t>(delayNs, static_cast<uint64_t>(INT64_MAX));
  std::weak_ptr<MicSource> weak = weak_from_this();
  platform::dispatch::WorkItemPtr item;
  {
    std::lock_guard lock(reconnectLock_);
    const uint64_t token = ++pendingReconnectToken_;
    const uint64_t now = machAbsoluteTimeNs();
    pendingReconnectDueNs_ = now + delay;
    pendingReconnectSettledNs_ = now + std::min(delay, settleNs);
    pendingReconnectHandler_ = handler;
    item = std::make_shared<platform::dispatch::WorkItem>([weak, token, handler = std::move(handler)] {
      auto self = weak.lock();
      if (!self || self->session_.isStopClaimed()) return;
      {
        std::lock_guard lock(self->reconnectLock_);
        if (self->pendingReconnectToken_ != token) return;
        self->pendingReconnectWorkItem_.reset();
        self->pendingReconnectHandler_ = nullptr;
      }
      handler();
    });
    pendingReconnectWorkItem_ = item;
  }
  platform::dispatch::asyncAfter(platform::dispatch::mainQueue(), delay, item);
}

bool MicSource::dropPendingReconnectCooldown() {
  std::function<void()> handler;
  uint64_t settleNs = 0;
  {
    std::lock_guard lock(reconnectLock_);
    if (!pendingReconnectWorkItem_ || pendingReconnectDueNs_ <= pendingReconnectSettledNs_) return false;
    const uint64_t now = machAbsoluteTimeNs();
    settleNs = pendingReconnectSettledNs_ > now ? pendingReconnectSettledNs_ - now : 0;
    handler = pendingReconnectHandler_;
  }
  scheduleReconnectAfterRouteSettle(settleNs, std::move(handler));
  return true;
}

bool MicSource::beginReconnectOrQueueReplay() {
  std::lock_guard lock(reconnectLock_);
  if (reconnectInFlight_) {
    reconnectReplayQueued_ = true;
    return false;
  }
  reconnectInFlight_ = true;
  return true;
}

bool MicSource::finishReconnectAndTakeQueuedReplay() {
  // Asked before the lock: the reconnect lock is a leaf.
  const bool stopping = session_.isStopClaimed();
  std::lock_guard lock(reconnectLock_);
  const bool replay = reconnectReplayQueued_ && !stopping;
  reconnectInFlight_ = false;
  reconnectReplayQueued_ = false;
  return replay;
}

void MicSource::markReconnectStarted(uint64_t nowNs) {
  std::lock_guard lock(reconnectLock_);
  lastReconnectStartedNs_ = nowNs;
}

uint64_t MicSource::reconnectCooldownDelayNs(uint64_t nowNs) const {
  std::lock_guard lock(reconnectLock_);
  if (lastReconnectStartedNs_ == 0) return 0;
  const uint64_t elapsed = nowNs >= lastReconnectStartedNs_ ? nowNs - lastReconnectStartedNs_ : 0;
  return elapsed >= kMicReconnectMinIntervalNs ? 0 : kMicReconnectMinIntervalNs - elapsed;
}

void MicSource::markFreshEngineRebuildStarted(uint64_t nowNs) {
  std::lock_guard lock(reconnectLock_);
  lastFreshEngineRebuildStartedNs_ = nowNs;
}

bool MicSource::shouldRestartExistingEngineDuringRouteStorm(uint64_t nowNs) const {
  std::lock_guard lock(reconnectLock_);
  if (lastFreshEngineRebuildStartedNs_ == 0) return false;
  const uint64_t elapsed = nowNs >= lastFreshEngineRebuildStartedNs_ ? nowNs - lastFreshEngineRebuildStartedNs_ : 0;
  return elapsed < kMicFreshEngineRebuildStormWindowNs;
}

void MicSource::resetReconnectSerialization() {
  std::vector<EnginePtr> released;
  {
    std::lock_guard lock(reconnectLock_);
    reconnectInFlight_ = false;
    reconnectReplayQueued_ = false;
    lastReconnectStartedNs_ = 0;
    lastFreshEngineRebuildStartedNs_ = 0;
    released.swap(retiredEngines_);
  }
  generationFormats_.clear();
}

void MicSource::retainRetiredEngine(EnginePtr engine, const std::string& reason) {
  size_t count;
  {
    std::lock_guard lock(reconnectLock_);
    retiredEngines_.push_back(engine);
    if (retiredEngines_.size() > kMaxRetiredEngines) {
      retiredEngines_.erase(retiredEngines_.begin(),
                            retiredEngines_.end() - static_cast<std::ptrdiff_t>(kMaxRetiredEngines));
    }
    count = retiredEngines_.size();
  }
  emitRouteTrace("mic_reconnect_retire_engine", Source::mic, {{"reason", reason}, {"retained_count", count}});
  std::weak_ptr<MicSource> weakState = weak_from_this();
  std::weak_ptr<platform::audio::AudioEngine> weakEngine = engine;
  engine.reset();
  platform::dispatch::mainQueue()->asyncAfter(kRetiredEngineReleaseDelayNs, [weakState, weakEngine, reason] {
    auto self = weakState.lock();
    auto retired = weakEngine.lock();
    if (!self || !retired) return;
    size_t remaining;
    EnginePtr last;  // released after the lock
    {
      std::lock_guard lock(self->reconnectLock_);
      auto& list = self->retiredEngines_;
      list.erase(std::remove(list.begin(), list.end(), retired), list.end());
      remaining = list.size();
    }
    emitRouteTrace("mic_reconnect_release_retired_engine", Source::mic,
                   {{"reason", reason}, {"retained_count", remaining}});
  });
}

size_t MicSource::retiredEngineCount() const {
  std::lock_guard lock(reconnectLock_);
  return retiredEngines_.size();
}

}  // namespace helper
