#include "helper/core/source/source_recovery.h"

#include <chrono>

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

class SourceRecovery::Effects {
 public:
  explicit Effects(SourceRecovery& r) : recovery_(r) {}
  ~Effects() { recovery_.finishEffects(); }
  Effects(const Effects&) = delete;
  Effects& operator=(const Effects&) = delete;

 private:
  SourceRecovery& recovery_;
};

std::shared_ptr<SourceRecovery> SourceRecovery::make(Source source, SourceSession& session) {
  return std::shared_ptr<SourceRecovery>(new SourceRecovery(source, session));
}

SourceRecovery::SourceRecovery(Source source, SourceSession& session) : source_(source), session_(session) {}

void SourceRecovery::setRetry(RetryRebuild retry) {
  std::lock_guard lock(lock_);
  retry_ = std::move(retry);
}

void SourceRecovery::setRouteKindReader(RouteKindReader reader) {
  std::lock_guard lock(lock_);
  routeKind_ = std::move(reader);
}

void SourceRecovery::setTimeoutScheduler(TimeoutScheduler scheduler) {
  std::lock_guard lock(lock_);
  timeoutScheduler_ = std::move(scheduler);
}

void SourceRecovery::setOutputs(EventSink events, TraceSink traces) {
  std::lock_guard lock(lock_);
  eventSink_ = std::move(events);
  traceSink_ = std::move(traces);
}

int64_t SourceRecovery::maxRetries() const {
  return source_ == Source::mic ? kMicRecoveryTimeoutMaxRetries : kSystemRecoveryTimeoutMaxRetries;
}

bool SourceRecovery::admitEffectsUnlocked() {
  if (stopped_) return false;
  ++effectsInFlight_;
  return true;
}

void SourceRecovery::finishEffects() {
  std::lock_guard lock(lock_);
  if (--effectsInFlight_ == 0) effectsDone_.notify_all();
}

void SourceRecovery::begin(const SourceRecoveryTarget& given) {
  // Read before lock_: it is never held while the session is called.
  const std::optional<uint64_t> epoch = session_.currentRouteCoordinatorEpochID();
  const uint64_t token = session_.nextRecoveryToken();
  RouteKindReader routeKind;
  {
    std::lock_guard lock(lock_);
    routeKind = routeKind_;
  }
  const int64_t timeoutSeconds = sourceRecoveryTimeoutSeconds(source_, routeKind ? routeKind() : std::string());

  SourceRecoveryTarget target = given;
  std::optional<SourceRecoveryTarget> superseded;
  std::optional<Effects> effects;
  {
    std::lock_guard lock(lock_);
    if (!admitEffectsUnlocked()) return;  // stopped: nothing begins any more
    effects.emplace(*this);
    target.source = source_;
    target.token = token;
    target.routeEpochID = epoch;
    superseded = verifier_.pending();
    // A retry's own begin keeps the budget it used; a mic begin never refreshes it.
    if (source_ == Source::system && target.reason != "system_recovery_timeout_retry") retriesUsed_.store(0);
    verifier_.begin(target);
  }
  if (superseded) {
    trace("source_recovery_superseded", {{"old_reason", superseded->reason},
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
  trace("source_recovery_pending", {{"reason", target.reason},
                                    {"target_uid", target.uid},
                                    {"target_rate", target.sampleRate},
                                    {"target_channels", target.channels},
                                    {"target_generation", generationField(target.generation)},
                                    {"route_epoch_id", epochField(target.routeEpochID)}});
  session_.markRouteCoordinatorSourcePending(target);
  scheduleTimeout(target.token, timeoutSeconds);
}

void SourceRecovery::scheduleTimeout(uint64_t token, int64_t timeoutSeconds) {
  TimeoutScheduler scheduler;
  {
    std::lock_guard lock(lock_);
    scheduler = timeoutScheduler_;
  }
  const auto delayNs = static_cast<uint64_t>(timeoutSeconds) * 1'000'000'000ULL;
  std::weak_ptr<SourceRecovery> weak = weak_from_this();
  auto fire = [weak, token, timeoutSeconds] {
    if (auto self = weak.lock()) self->timeout(token, "no_sustained_frames_after_graph_start", timeoutSeconds * 1000);
  };
  // Never cancelled: a superseded or finished recovery makes it stale.
  if (scheduler) {
    scheduler(delayNs, std::move(fire));
  } else {
    platform::dispatch::globalQueue(platform::dispatch::Qos::utility)->asyncAfter(delayNs, std::move(fire));
  }
}

void SourceRecovery::graphStarted(const std::string& uid, int64_t sampleRate, int64_t channels) {
  std::optional<uint64_t> epoch;
  std::optional<Effects> effects;
  {
    std::lock_guard lock(lock_);
    const auto outcome = verifier_.graphStarted(uid, sampleRate, channels);
    if (outcome.kind == SourceRecoveryVerifierOutcome::Kind::ignoredStale) return;
    epoch = verifier_.pending()->routeEpochID;
    if (!admitEffectsUnlocked()) return;
    effects.emplace(*this);
  }
  if (session_.isStopClaimed()) return;
  trace("source_recovery_graph_started",
        {{"uid", uid}, {"sample_rate", sampleRate}, {"channels", channels}, {"route_epoch_id", epochField(epoch)}});
  session_.markRouteCoordinatorSourceGraphStarted(source_, uid, sampleRate, channels, epoch);
}

void SourceRecovery::verifyFromFrames(const SourceRecoveryFrameProof& proof) {
  SourceRecoveryTarget verified;
  bool suppressed = false;
  std::optional<Effects> effects;
  {
    std::lock_guard lock(lock_);
    auto outcome = verifier_.firstFrames(proof);
    if (outcome.kind != SourceRecoveryVerifierOutcome::Kind::verified) return;
    verified = std::move(*outcome.target);
    retriesUsed_.store(0);
    suppressed = shouldSuppressDuplicateSourceRecovered(lastRecovered_, verified);
    lastRecovered_ = verified;
    if (!admitEffectsUnlocked()) return;
    effects.emplace(*this);
  }
  if (session_.isStopClaimed()) return;
  if (suppressed) {
    trace("source_recovery_duplicate_suppressed", proofFields(verified, proof));
    return;
  }
  trace("source_recovery_verified", proofFields(verified, proof));
  session_.markRouteCoordinatorSourceVerified(source_, proof, verified.routeEpochID);
  emit(Event{{"type", "source_recovered"},
             {"source", sourceName(source_)},
             {"sample_rate", proof.sampleRate},
             {"channels", proof.channels}});
}

void SourceRecovery::cancel(const std::string& reason) {
  std::optional<SourceRecoveryTarget> pending;
  {
    std::unique_lock lock(lock_);
    stopped_ = true;
    pending = verifier_.pending();
    verifier_.cancel(reason);
    // Effects decided before the stop go out before it goes on; the wait
    // releases the lock. Bounded, so a stuck emitter cannot hold the stop.
    effectsDone_.wait_for(lock, kStopWaitForRecoveryEffects,
                          [this]() VR_REQUIRES(lock_) { return effectsInFlight_ == 0; });
  }
  if (pending) {
    trace("source_recovery_cancelled", {{"reason", reason}, {"route_epoch_id", epochField(pending->routeEpochID)}});
  }
}

void SourceRecovery::fail(const std::string& reason) {
  std::optional<uint64_t> epoch;
  std::optional<Effects> effects;
  {
    std::lock_guard lock(lock_);
    if (!verifier_.pending()) return;
    epoch = verifier_.pending()->routeEpochID;
    verifier_.timeout(std::nullopt, reason);
    if (!admitEffectsUnlocked()) return;
    effects.emplace(*this);
  }
  if (session_.isStopClaimed()) return;
  trace("source_recovery_failed", {{"reason", reason}, {"route_epoch_id", epochField(epoch)}});
  session_.failRouteCoordinatorSource(source_, reason, epoch);
}

void SourceRecovery::timeout(uint64_t token, const std::string& reason, int64_t timeoutMs) {
  using Kind = SourceRecoveryTimeoutAction::Kind;
  std::optional<uint64_t> epoch;
  SourceRecoveryTimeoutAction action;
  int64_t attempt = 0;
  RetryRebuild retry;
  std::optional<Effects> effects;
  {
    std::lock_guard lock(lock_);
    const bool observed = verifier_.observedFrames();
    const auto& pending = verifier_.pending();
    if (!pending || pending->token != token) return;  // superseded or finished: stale
    epoch = pending->routeEpochID;
    verifier_.timeout(token, reason);
    action = classifySourceRecoveryTimeoutAction(source_, reason, observed, retriesUsed_.load(), maxRetries());
    if (action.kind != Kind::fail) {
      attempt = retriesUsed_.load() + 1;
      retriesUsed_.store(attempt);
    }
    retry = retry_;
    if (!admitEffectsUnlocked()) return;
    effects.emplace(*this);
  }
  if (session_.isStopClaimed()) return;
  if (action.kind == Kind::fail) {
    trace("source_recovery_timeout",
          {{"reason", reason}, {"timeout_ms", timeoutMs}, {"route_epoch_id", epochField(epoch)}});
    session_.failRouteCoordinatorSource(source_, reason, epoch);
    reportFailed(reason, true);
    return;
  }
  trace("source_recovery_retrying", {{"reason", reason},
                                     {"retry_reason", action.reason},
                                     {"retry_attempt", attempt},
                                     {"max_retries", maxRetries()},
                                     {"route_epoch_id", epochField(epoch)}});
  if (retry) retry(action.reason, attempt);
}

void SourceRecovery::reportFailed(const std::string& reason, bool recoverable) {
  failed_.store(true);
  emit(Event{
      {"type", "source_failed"}, {"source", sourceName(source_)}, {"reason", reason}, {"recoverable", recoverable}});
}

std::optional<SourceRecoveryTarget> SourceRecovery::pending() const {
  std::lock_guard lock(lock_);
  return verifier_.pending();
}

void SourceRecovery::emit(const Event& event) const {
  EventSink sink;
  {
    std::lock_guard lock(lock_);
    sink = eventSink_;
  }
  if (sink) {
    sink(event);
  } else {
    emitEvent(event);
  }
}

void SourceRecovery::trace(const std::string& stage, const nlohmann::json& fields) const {
  TraceSink sink;
  {
    std::lock_guard lock(lock_);
    sink = traceSink_;
  }
  if (sink) {
    sink(stage, source_, fields);
  } else {
    emitRouteTrace(stage, source_, fields);
  }
}

void cancelSourceRecoveries(SourceSession& session, SourceRecovery* mic, SourceRecovery* system,
                            const std::string& reason) {
  if (mic != nullptr) mic->cancel(reason);
  if (system != nullptr) system->cancel(reason);
  session.cancelRouteCoordinator(reason);
}

}  // namespace helper
