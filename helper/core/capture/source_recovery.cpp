#include "helper/core/capture/source_recovery.h"

#include <chrono>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/system/system_tap_rebuild.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/pcm.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

namespace {

// How long a stop waits for recovery effects decided just before it.
constexpr auto kStopWaitForRecoveryEffects = std::chrono::seconds(2);

int64_t epochField(const std::optional<uint64_t>& epoch) { return epoch ? static_cast<int64_t>(*epoch) : 0; }
int64_t generationField(const std::optional<uint32_t>& generation) {
  return generation ? static_cast<int64_t>(*generation) : -1;
}

nlohmann::json proofFields(const SourceRecoveryTarget& target, const SourceRecoveryFrameProof& proof) {
  return {{"reason", target.reason},
          {"uid", proof.uid},
          {"sample_rate", proof.sampleRate},
          {"channels", proof.channels},
          {"frames", proof.frames},
          {"generation", generationField(proof.generation)},
          {"route_epoch_id", epochField(target.routeEpochID)}};
}

}  // namespace

// Held while effects decided under sourceRecoveryLock_ are carried out
// without it, so that a stop cannot overtake them.
struct CaptureState::SourceRecoveryEffects {
  explicit SourceRecoveryEffects(CaptureState& s) : state(s) {}
  ~SourceRecoveryEffects() { state.finishSourceRecoveryEffects(); }
  SourceRecoveryEffects(const SourceRecoveryEffects&) = delete;
  SourceRecoveryEffects& operator=(const SourceRecoveryEffects&) = delete;
  CaptureState& state;
};

bool CaptureState::admitSourceRecoveryEffectsLocked() {
  if (sourceRecoveryStopped_) return false;
  ++sourceRecoveryEffectsInFlight_;
  return true;
}

void CaptureState::finishSourceRecoveryEffects() {
  std::lock_guard lock(sourceRecoveryLock_);
  if (--sourceRecoveryEffectsInFlight_ == 0) sourceRecoveryEffectsDone_.notify_all();
}

SourceRecoveryVerifier* CaptureState::recoveryVerifierLocked(Source source) {
  return source == Source::mic ? &micRecoveryVerifier_ : &systemRecoveryVerifier_;
}

int64_t* CaptureState::recoveryRetriesUsedLocked(Source source) {
  return source == Source::mic ? &micRecoveryTimeoutRetriesUsed_ : &systemRecoveryTimeoutRetriesUsed_;
}

void CaptureState::beginSourceRecovery(const SourceRecoveryTarget& given) {
  // Read before sourceRecoveryLock_: its locks are never nested.
  const std::optional<uint64_t> epoch = currentRouteCoordinatorEpochID();
  const std::string routeKind = given.source == Source::mic ? micRouteKind() : std::string();
  const int64_t timeoutSeconds = sourceRecoveryTimeoutSeconds(given.source, routeKind);

  SourceRecoveryTarget target = given;
  std::optional<SourceRecoveryTarget> superseded;
  std::optional<SourceRecoveryEffects> effects;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    if (!admitSourceRecoveryEffectsLocked()) return;  // stopped: nothing begins any more
    effects.emplace(*this);
    target.token = ++sourceRecoveryNextToken_;
    target.routeEpochID = epoch;
    if (auto* verifier = recoveryVerifierLocked(target.source)) {
      superseded = verifier->pending();
      // A retry's own begin keeps the budget it used; a mic begin never refreshes it.
      if (target.source == Source::system && target.reason != "system_recovery_timeout_retry") {
        systemRecoveryTimeoutRetriesUsed_ = 0;
      }
      verifier->begin(target);
    }
  }
  if (superseded) {
    traceSourceRecovery("source_recovery_superseded", target.source,
                        {{"old_reason", superseded->reason},
                         {"old_target_uid", superseded->uid},
                         {"old_target_rate", superseded->sampleRate},
                         {"old_target_channels", superseded->channels},
                         {"old_target_generation", generationField(superseded->generation)},
                         {"old_token", superseded->token},
                         {"new_reason", target.reason},
                         {"new_target_uid", target.uid},
                         {"new_target_rate", target.sampleRate},
                         {"new_target_channels", target.channels},
                         {"new_target_generation", generationField(target.generation)},
                         {"new_token", target.token},
                         {"route_epoch_id", epochField(target.routeEpochID)}});
  }
  traceSourceRecovery("source_recovery_pending", target.source,
                      {{"reason", target.reason},
                       {"target_uid", target.uid},
                       {"target_rate", target.sampleRate},
                       {"target_channels", target.channels},
                       {"target_generation", generationField(target.generation)},
                       {"route_epoch_id", epochField(target.routeEpochID)}});
  markRouteCoordinatorSourcePending(target);
  scheduleSourceRecoveryTimeout(target.source, target.token, timeoutSeconds);
}

void CaptureState::scheduleSourceRecoveryTimeout(Source source, uint64_t token, int64_t timeoutSeconds) {
  SourceRecoveryTimeoutScheduler scheduler;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    scheduler = sourceRecoveryTimeoutScheduler_;
  }
  const auto delayNs = static_cast<uint64_t>(timeoutSeconds) * 1'000'000'000ULL;
  std::weak_ptr<CaptureState> weak = weak_from_this();
  auto fire = [weak, source, token, timeoutSeconds] {
    if (auto self = weak.lock()) {
      self->timeoutPendingSourceRecovery(source, token, "no_sustained_frames_after_graph_start", timeoutSeconds * 1000);
    }
  };
  // Never cancelled: a superseded or finished recovery makes it stale.
  if (scheduler) {
    scheduler(delayNs, std::move(fire));
  } else {
    platform::dispatch::globalQueue(platform::dispatch::Qos::utility)->asyncAfter(delayNs, std::move(fire));
  }
}

void CaptureState::markSourceRecoveryGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                                  int64_t channels) {
  std::optional<uint64_t> epoch;
  std::optional<SourceRecoveryEffects> effects;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    auto* verifier = recoveryVerifierLocked(source);
    if (!verifier) return;
    const auto outcome = verifier->graphStarted(uid, sampleRate, channels);
    if (outcome.kind == SourceRecoveryVerifierOutcome::Kind::ignoredStale) return;
    epoch = verifier->pending()->routeEpochID;
    if (!admitSourceRecoveryEffectsLocked()) return;
    effects.emplace(*this);
  }
  if (isStopClaimed()) return;
  traceSourceRecovery(
      "source_recovery_graph_started", source,
      {{"uid", uid}, {"sample_rate", sampleRate}, {"channels", channels}, {"route_epoch_id", epochField(epoch)}});
  markRouteCoordinatorSourceGraphStarted(source, uid, sampleRate, channels, epoch);
}

void CaptureState::verifySourceRecoveryFromFrames(Source source, const SourceRecoveryFrameProof& proof) {
  SourceRecoveryTarget verified;
  bool suppressed = false;
  std::optional<SourceRecoveryEffects> effects;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    auto* verifier = recoveryVerifierLocked(source);
    if (!verifier) return;
    auto outcome = verifier->firstFrames(proof);
    if (outcome.kind != SourceRecoveryVerifierOutcome::Kind::verified) return;
    verified = std::move(*outcome.target);
    *recoveryRetriesUsedLocked(source) = 0;
    auto it = lastRecoveredTargetsBySource_.find(source);
    const std::optional<SourceRecoveryTarget> previous =
        it == lastRecoveredTargetsBySource_.end() ? std::nullopt : std::optional(it->second);
    suppressed = shouldSuppressDuplicateSourceRecovered(previous, verified);
    lastRecoveredTargetsBySource_[source] = verified;
    if (!admitSourceRecoveryEffectsLocked()) return;
    effects.emplace(*this);
  }
  if (isStopClaimed()) return;
  if (suppressed) {
    traceSourceRecovery("source_recovery_duplicate_suppressed", source, proofFields(verified, proof));
    return;
  }
  traceSourceRecovery("source_recovery_verified", source, proofFields(verified, proof));
  markRouteCoordinatorSourceVerified(source, proof, verified.routeEpochID);
  emitSourceRecoveryEvent(Event{{"type", "source_recovered"},
                                {"source", sourceName(source)},
                                {"sample_rate", proof.sampleRate},
                                {"channels", proof.channels}});
}

void CaptureState::cancelPendingSourceRecoveries(const std::string& reason) {
  std::optional<SourceRecoveryTarget> mic;
  std::optional<SourceRecoveryTarget> system;
  {
    std::unique_lock lock(sourceRecoveryLock_);
    sourceRecoveryStopped_ = true;
    mic = micRecoveryVerifier_.pending();
    system = systemRecoveryVerifier_.pending();
    micRecoveryVerifier_.cancel(reason);
    systemRecoveryVerifier_.cancel(reason);
    // Effects decided before the stop go out before it goes on; the wait
    // releases the lock. Bounded, so a stuck emitter cannot hold the stop.
    sourceRecoveryEffectsDone_.wait_for(lock, kStopWaitForRecoveryEffects,
                                        [this] { return sourceRecoveryEffectsInFlight_ == 0; });
  }
  for (const auto* target : {&mic, &system}) {
    if (!*target) continue;
    traceSourceRecovery("source_recovery_cancelled", (*target)->source,
                        {{"reason", reason}, {"route_epoch_id", epochField((*target)->routeEpochID)}});
  }
  cancelRouteCoordinator(reason);
}

void CaptureState::failPendingSourceRecovery(Source source, const std::string& reason) {
  std::optional<uint64_t> epoch;
  std::optional<SourceRecoveryEffects> effects;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    auto* verifier = recoveryVerifierLocked(source);
    if (!verifier || !verifier->pending()) return;
    epoch = verifier->pending()->routeEpochID;
    verifier->timeout(std::nullopt, reason);
    if (!admitSourceRecoveryEffectsLocked()) return;
    effects.emplace(*this);
  }
  if (isStopClaimed()) return;
  traceSourceRecovery("source_recovery_failed", source, {{"reason", reason}, {"route_epoch_id", epochField(epoch)}});
  failRouteCoordinatorSource(source, reason, epoch);
}

void CaptureState::timeoutPendingSourceRecovery(Source source, uint64_t token, const std::string& reason,
                                                int64_t timeoutMs) {
  using Kind = SourceRecoveryTimeoutAction::Kind;
  std::optional<uint64_t> epoch;
  SourceRecoveryTimeoutAction action;
  int64_t attempt = 0;
  std::optional<SourceRecoveryEffects> effects;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    auto* verifier = recoveryVerifierLocked(source);
    if (!verifier) return;
    const bool observed = verifier->observedFrames();
    const auto& pending = verifier->pending();
    if (!pending || pending->token != token) return;  // superseded or finished: stale
    epoch = pending->routeEpochID;
    verifier->timeout(token, reason);
    int64_t& retriesUsed = *recoveryRetriesUsedLocked(source);
    const int64_t maxRetries = source == Source::mic ? kMicRecoveryTimeoutMaxRetries : kSystemRecoveryTimeoutMaxRetries;
    action = classifySourceRecoveryTimeoutAction(source, reason, observed, retriesUsed, maxRetries);
    if (action.kind != Kind::fail) attempt = ++retriesUsed;
    if (!admitSourceRecoveryEffectsLocked()) return;
    effects.emplace(*this);
  }
  if (isStopClaimed()) return;
  if (action.kind == Kind::fail) {
    traceSourceRecovery("source_recovery_timeout", source,
                        {{"reason", reason}, {"timeout_ms", timeoutMs}, {"route_epoch_id", epochField(epoch)}});
    failRouteCoordinatorSource(source, reason, epoch);
    emitSourceFailed(source, reason, true);
    return;
  }
  traceSourceRecovery(
      "source_recovery_retrying", source,
      {{"reason", reason},
       {"retry_reason", action.reason},
       {"retry_attempt", attempt},
       {"max_retries", source == Source::mic ? kMicRecoveryTimeoutMaxRetries : kSystemRecoveryTimeoutMaxRetries},
       {"route_epoch_id", epochField(epoch)}});
  if (action.kind == Kind::retrySystemTapRebuild) {
    scheduleSystemTapRebuildForRecoveryRetry(*this, action.reason, attempt);
  } else {
    scheduleMicFreshRebuildForRecoveryRetry(*this, action.reason, attempt);
  }
}

void CaptureState::emitSourceFailed(Source source, const std::string& reason, bool recoverable) {
  {
    std::lock_guard lock(sourceFailureLock_);
    (source == Source::mic ? micSourceFailed_ : systemSourceFailed_) = true;
  }
  emitSourceRecoveryEvent(Event{
      {"type", "source_failed"}, {"source", sourceName(source)}, {"reason", reason}, {"recoverable", recoverable}});
}

std::pair<bool, bool> CaptureState::sourceFailedSnapshot() const {
  std::lock_guard lock(sourceFailureLock_);
  return {micSourceFailed_, systemSourceFailed_};
}

int64_t CaptureState::micRecoveryTimeoutRetriesUsed() const {
  std::lock_guard lock(sourceRecoveryLock_);
  return micRecoveryTimeoutRetriesUsed_;
}

void CaptureState::setMicRecoveryTimeoutRetriesUsed(int64_t retriesUsed) {
  std::lock_guard lock(sourceRecoveryLock_);
  micRecoveryTimeoutRetriesUsed_ = retriesUsed;
}

int64_t CaptureState::systemRecoveryTimeoutRetriesUsed() const {
  std::lock_guard lock(sourceRecoveryLock_);
  return systemRecoveryTimeoutRetriesUsed_;
}

std::optional<SourceRecoveryTarget> CaptureState::pendingSourceRecoveryTarget(Source source) const {
  std::lock_guard lock(sourceRecoveryLock_);
  return source == Source::mic ? micRecoveryVerifier_.pending() : systemRecoveryVerifier_.pending();
}

void CaptureState::setSourceRecoveryTimeoutScheduler(SourceRecoveryTimeoutScheduler scheduler) {
  std::lock_guard lock(sourceRecoveryLock_);
  sourceRecoveryTimeoutScheduler_ = std::move(scheduler);
}

void CaptureState::setSourceRecoveryOutputs(EventSink events, SourceRecoveryTraceSink traces) {
  std::lock_guard lock(sourceRecoveryLock_);
  sourceRecoveryEventSink_ = std::move(events);
  sourceRecoveryTraceSink_ = std::move(traces);
}

void CaptureState::emitSourceRecoveryEvent(const Event& event) const {
  EventSink sink;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    sink = sourceRecoveryEventSink_;
  }
  if (sink) {
    sink(event);
  } else {
    emitEvent(event);
  }
}

void CaptureState::traceSourceRecovery(const std::string& stage, Source source, const nlohmann::json& fields) const {
  SourceRecoveryTraceSink sink;
  {
    std::lock_guard lock(sourceRecoveryLock_);
    sink = sourceRecoveryTraceSink_;
  }
  if (sink) {
    sink(stage, source, fields);
  } else {
    emitRouteTrace(stage, sourceName(source), fields);
  }
}

namespace {

void runMicRecoveryRetryRebuild(const std::shared_ptr<CaptureState>& state, const std::string& reason, int64_t attempt,
                                const platform::audio::AudioFormat& canonical) {
  auto engine = state->engine();
  if (!engine) return failMicRecoveryRetry(*state, reason, "missing_mic_engine_for_recovery_retry");
  if (!state->micWriter()) return failMicRecoveryRetry(*state, reason, "missing_mic_writer_for_recovery_retry");
  const std::string route = state->micRouteKind();
  const float gain = state->config().micGain.value_or(route == kRouteBluetoothHfp ? kBluetoothHfpCaptureMicGain
                                                                                  : kDefaultCaptureMicGain);
  state->traceSourceRecovery("mic_recovery_retry", Source::mic,
                             {{"reason", reason},
                              {"trigger", "source_recovery_timeout"},
                              {"attempt", attempt},
                              {"max_retries", kMicRecoveryTimeoutMaxRetries},
                              {"current_uid", state->micDeviceUID()},
                              {"current_route", route},
                              {"force_fresh_rebuild", true}});
  handleMicDeviceChange(state, engine, canonical, gain, true, true, reason);
}

}  // namespace

void scheduleMicFreshRebuildForRecoveryRetry(CaptureState& state, const std::string& reason, int64_t attempt) {
  std::weak_ptr<CaptureState> weak = state.weak_from_this();
  platform::dispatch::mainQueue()->async([weak, reason, attempt] {
    auto self = weak.lock();
    if (!gIsRunning.load() || !self) return;
    const auto& config = self->config();
    std::optional<platform::audio::AudioFormat> canonical;
    if (config.canonicalMicChannels >= 1 && config.canonicalMicChannels <= UINT32_MAX) {
      canonical = platform::audio::AudioFormat::make(platform::audio::CommonFormat::pcmFloat32, config.canonicalRate,
                                                     static_cast<uint32_t>(config.canonicalMicChannels), true);
    }
    if (!canonical) return failMicRecoveryRetry(*self, reason, "invalid_canonical_mic_format_for_recovery_retry");
    const uint64_t delay = self->micReconnectCooldownDelayNs(machAbsoluteTimeNs());
    if (delay == 0) return runMicRecoveryRetryRebuild(self, reason, attempt, *canonical);
    self->traceSourceRecovery("mic_recovery_retry_deferred", Source::mic,
                              {{"reason", reason},
                               {"trigger", "source_recovery_timeout"},
                               {"attempt", attempt},
                               {"max_retries", kMicRecoveryTimeoutMaxRetries},
                               {"delay_ms", delay / 1'000'000}});
    self->scheduleMicReconnectAfterRouteSettle(delay, [weak, reason, attempt, format = *canonical] {
      auto s = weak.lock();
      if (!gIsRunning.load() || !s) return;
      runMicRecoveryRetryRebuild(s, reason, attempt, format);
    });
  });
}

void failMicRecoveryRetry(CaptureState& state, const std::string& reason, const std::string& detail) {
  state.emitSourceRecoveryEvent(
      Event{{"type", "warning"}, {"code", "mic_recovery_retry_unavailable"}, {"ctx", reason + ": " + detail}});
  state.traceSourceRecovery("mic_recovery_retry_unavailable", Source::mic,
                            {{"reason", reason}, {"detail", detail}, {"recoverable", true}});
  state.failRouteCoordinatorSource(Source::mic, detail, state.currentRouteCoordinatorEpochID());
  state.emitSourceFailed(Source::mic, detail, true);
}

}  // namespace helper
