#include "helper/core/capture/capture_state.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "platform/audio/engine/converter.h"
#include "platform/audio/engine/engine.h"

namespace helper {

namespace {
std::shared_ptr<SegmentWriter> makeWriter(bool included, const char* source, const CaptureConfig& c, int64_t channels,
                                          uint64_t startNs) {
  if (!included) return nullptr;
  return std::make_shared<SegmentWriter>(source, c.sessionDir, c.canonicalRate, channels, c.segmentSeconds, startNs);
}
}  // namespace

CaptureState::CaptureState(CaptureConfig config)
    : config_(std::move(config)),
      sessionStartNs_(machAbsoluteTimeNs()),
      micWriter_(makeWriter(config_.includeMic, "mic", config_, config_.canonicalMicChannels, sessionStartNs_)),
      sysWriter_(
          makeWriter(config_.includeSystem, "system", config_, config_.canonicalSystemChannels, sessionStartNs_)),
      micPipeline_(micWriter_ ? std::make_unique<MicPipeline>(micWriter_) : nullptr),
      systemPipeline_(sysWriter_ ? std::make_unique<SystemPipeline>(sysWriter_) : nullptr) {}

void CaptureState::startSessionClock() {
  onSessionClock_.store(true);
  beginSourceRuns(sessionStartNs_, true, true);
}

void CaptureState::beginSourceRuns(uint64_t atNs, bool mic, bool system) {
  if (!onSessionClock_.load()) return;
  if (mic && micWriter_) micWriter_->beginRun(atNs);
  if (system && sysWriter_) sysWriter_->beginRun(atNs);
}

void CaptureState::endSourceRuns(uint64_t atNs, bool mic, bool system) {
  if (!onSessionClock_.load()) return;
  if (mic && micWriter_) micWriter_->endRun(atNs);
  if (system && sysWriter_) sysWriter_->endRun(atNs);
}

CaptureState::~CaptureState() {
  // The tap block and the consumer reach into the pipeline and this state:
  // the render thread stops before either goes.
  systemPipeline_.reset();
  if (engine_) engine_->inputNode().removeTap(0);
  micPipeline_.reset();
}

#define VR_LOCKED_FIELD(Type, Getter, Setter, field) \
  Type CaptureState::Getter() const {                \
    std::lock_guard lock(fieldsLock_);               \
    return field;                                    \
  }                                                  \
  void CaptureState::Setter(Type v) {                \
    std::lock_guard lock(fieldsLock_);               \
    field = std::move(v);                            \
  }

VR_LOCKED_FIELD(CaptureState::EnginePtr, engine, setEngine, engine_)
VR_LOCKED_FIELD(std::shared_ptr<platform::audio::AudioConverter>, micConverter, setMicConverter, micConverter_)
VR_LOCKED_FIELD(std::shared_ptr<DeviceFollowingState>, deviceFollowing, setDeviceFollowing, deviceFollowing_)
VR_LOCKED_FIELD(std::string, micDeviceUID, setMicDeviceUID, micDeviceUID_)
VR_LOCKED_FIELD(std::string, micDeviceName, setMicDeviceName, micDeviceName_)
VR_LOCKED_FIELD(std::string, micRouteKind, setMicRouteKind, micRouteKind_)
VR_LOCKED_FIELD(std::string, sysOutputUID, setSysOutputUID, sysOutputUID_)
VR_LOCKED_FIELD(std::string, sysOutputName, setSysOutputName, sysOutputName_)
VR_LOCKED_FIELD(std::string, aecMode, setAecMode, aecMode_)
VR_LOCKED_FIELD(nlohmann::json, micVpFormat, setMicVpFormat, micVpFormat_)

#undef VR_LOCKED_FIELD

std::optional<OutputDeviceClassification> CaptureState::sysOutputClassification() const {
  std::lock_guard lock(fieldsLock_);
  return sysOutputClassification_;
}

void CaptureState::setSysOutputDevice(std::string uid, std::string name, OutputDeviceClassification classification) {
  std::lock_guard lock(fieldsLock_);
  sysOutputUID_ = std::move(uid);
  sysOutputName_ = std::move(name);
  sysOutputClassification_ = std::move(classification);
}

std::optional<uint64_t> CaptureState::configChangeObserver() const {
  std::lock_guard lock(fieldsLock_);
  return configChangeObserver_;
}

void CaptureState::setConfigChangeObserver(std::optional<uint64_t> token) {
  std::lock_guard lock(fieldsLock_);
  configChangeObserver_ = token;
}

std::optional<SourceRecoveryTarget> CaptureState::takeMicRecoveryOwedAtResume() {
  std::lock_guard lock(fieldsLock_);
  return std::exchange(micRecoveryOwed_, std::nullopt);
}

void CaptureState::setMicRecoveryOwedAtResume(std::optional<SourceRecoveryTarget> target) {
  std::lock_guard lock(fieldsLock_);
  micRecoveryOwed_ = std::move(target);
}

void CaptureState::followMicChangeAtResume(PausedMicChange kind, std::function<void()> follow) {
  std::lock_guard lock(fieldsLock_);
  micChangesAtResume_[static_cast<size_t>(kind)] = std::move(follow);
}

void CaptureState::followMicChangesPutOffWhilePaused() {
  std::array<std::function<void()>, 2> follows;
  {
    std::lock_guard lock(fieldsLock_);
    follows.swap(micChangesAtResume_);
  }
  if (!follows[0] && !follows[1]) return;
  // As if the notifications came now, once the resume has finished; a
  // pause that comes first puts them off again.
  platform::dispatch::mainQueue()->async([follows = std::move(follows)] {
    for (const auto& follow : follows) {
      if (follow) follow();
    }
  });
}

std::unique_lock<std::mutex> CaptureState::lockLifecycleUnlessStopping() {
  std::unique_lock lock(lifecycleLock_, std::defer_lock);
  // Polled, not blocking: once a stop is claimed it holds the lock until
  // the process ends.
  while (!lock.try_lock()) {
    if (isStopClaimed()) return lock;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (isStopClaimed()) lock.unlock();
  return lock;
}

bool CaptureState::hasPendingMicReconnect() const {
  std::lock_guard lock(reconnectLock_);
  return pendingMicReconnectWorkItem_ != nullptr;
}

void CaptureState::cancelPendingMicReconnect() {
  std::lock_guard lock(reconnectLock_);
  ++pendingMicReconnectToken_;  // wraps at 2^64
  if (pendingMicReconnectWorkItem_) pendingMicReconnectWorkItem_->cancel();
  pendingMicReconnectWorkItem_.reset();
}

void CaptureState::scheduleMicReconnectAfterRouteSettle(uint64_t delayNs, std::function<void()> handler) {
  cancelPendingMicReconnect();
  std::weak_ptr<CaptureState> weak = weak_from_this();
  platform::dispatch::WorkItemPtr item;
  {
    std::lock_guard lock(reconnectLock_);
    const uint64_t token = ++pendingMicReconnectToken_;
    item = std::make_shared<platform::dispatch::WorkItem>([weak, token, handler = std::move(handler)] {
      auto self = weak.lock();
      if (!self || self->isStopClaimed()) return;
      {
        std::lock_guard lock(self->reconnectLock_);
        if (self->pendingMicReconnectToken_ != token) return;
        self->pendingMicReconnectWorkItem_.reset();
      }
      handler();
    });
    pendingMicReconnectWorkItem_ = item;
  }
  const uint64_t delay = std::min<uint64_t>(delayNs, static_cast<uint64_t>(INT64_MAX));
  platform::dispatch::asyncAfter(platform::dispatch::mainQueue(), delay, item);
}

bool CaptureState::beginMicReconnectOrQueueReplay() {
  std::lock_guard lock(reconnectLock_);
  if (micReconnectInFlight_) {
    micReconnectReplayQueued_ = true;
    return false;
  }
  micReconnectInFlight_ = true;
  return true;
}

bool CaptureState::finishMicReconnectAndTakeQueuedReplay() {
  std::lock_guard lock(reconnectLock_);
  const bool replay = micReconnectReplayQueued_ && gIsRunning.load();
  micReconnectInFlight_ = false;
  micReconnectReplayQueued_ = false;
  return replay;
}

void CaptureState::markMicReconnectStarted(uint64_t nowNs) {
  std::lock_guard lock(reconnectLock_);
  lastMicReconnectStartedNs_ = nowNs;
}

uint64_t CaptureState::micReconnectCooldownDelayNs(uint64_t nowNs) const {
  std::lock_guard lock(reconnectLock_);
  if (lastMicReconnectStartedNs_ == 0) return 0;
  const uint64_t elapsed = nowNs >= lastMicReconnectStartedNs_ ? nowNs - lastMicReconnectStartedNs_ : 0;
  return elapsed >= kMicReconnectMinIntervalNs ? 0 : kMicReconnectMinIntervalNs - elapsed;
}

void CaptureState::markMicFreshEngineRebuildStarted(uint64_t nowNs) {
  std::lock_guard lock(reconnectLock_);
  lastMicFreshEngineRebuildStartedNs_ = nowNs;
}

bool CaptureState::shouldRestartExistingMicEngineDuringRouteStorm(uint64_t nowNs) const {
  std::lock_guard lock(reconnectLock_);
  if (lastMicFreshEngineRebuildStartedNs_ == 0) return false;
  const uint64_t elapsed =
      nowNs >= lastMicFreshEngineRebuildStartedNs_ ? nowNs - lastMicFreshEngineRebuildStartedNs_ : 0;
  return elapsed < kMicFreshEngineRebuildStormWindowNs;
}

void CaptureState::resetMicReconnectSerialization() {
  std::vector<EnginePtr> released;
  {
    std::lock_guard lock(reconnectLock_);
    micReconnectInFlight_ = false;
    micReconnectReplayQueued_ = false;
    lastMicReconnectStartedNs_ = 0;
    lastMicFreshEngineRebuildStartedNs_ = 0;
    released.swap(retiredMicEngines_);
  }
  std::lock_guard lock(micGenerationFormatLock_);
  micGenerationFormats_.clear();
}

void CaptureState::retainRetiredMicEngine(EnginePtr engine, const std::string& reason) {
  size_t count;
  {
    std::lock_guard lock(reconnectLock_);
    retiredMicEngines_.push_back(engine);
    if (retiredMicEngines_.size() > kMaxRetiredMicEngines) {
      retiredMicEngines_.erase(retiredMicEngines_.begin(),
                               retiredMicEngines_.end() - static_cast<std::ptrdiff_t>(kMaxRetiredMicEngines));
    }
    count = retiredMicEngines_.size();
  }
  emitRouteTrace("mic_reconnect_retire_engine", "mic", {{"reason", reason}, {"retained_count", count}});
  std::weak_ptr<CaptureState> weakState = weak_from_this();
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
      auto& list = self->retiredMicEngines_;
      list.erase(std::remove(list.begin(), list.end(), retired), list.end());
      remaining = list.size();
    }
    emitRouteTrace("mic_reconnect_release_retired_engine", "mic", {{"reason", reason}, {"retained_count", remaining}});
  });
}

size_t CaptureState::retiredMicEngineCount() const {
  std::lock_guard lock(reconnectLock_);
  return retiredMicEngines_.size();
}

void CaptureState::recordMicGenerationFormat(uint32_t generation, int64_t sampleRate, int64_t channels,
                                             const std::string& uid, const std::string& routeKind,
                                             const std::string& reason) {
  {
    std::lock_guard lock(micGenerationFormatLock_);
    micGenerationFormats_[generation] = MicGenerationFormat{generation, sampleRate, channels, uid, routeKind};
    // The map is ordered: the smallest generations go first.
    while (micGenerationFormats_.size() > kMaxMicGenerationFormats) {
      micGenerationFormats_.erase(micGenerationFormats_.begin());
    }
  }
  emitRouteTrace("mic_generation_format_recorded", "mic",
                 {{"generation", generation},
                  {"rate", sampleRate},
                  {"channels", channels},
                  {"uid", uid},
                  {"route", routeKind},
                  {"reason", reason}});
}

std::optional<MicGenerationFormat> CaptureState::micGenerationFormat(uint32_t generation) const {
  std::lock_guard lock(micGenerationFormatLock_);
  auto it = micGenerationFormats_.find(generation);
  if (it == micGenerationFormats_.end()) return std::nullopt;
  return it->second;
}

bool CaptureState::isStopClaimed() const {
  std::lock_guard lock(stopClaimLock_);
  return stopClaimed_;
}

}  // namespace helper
