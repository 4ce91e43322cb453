#pragma once
// One source's recovery after a rebuild: a rebuilt source counts as back
// only once its verifier has seen the new graph start and then sustained
// matching frames ("source_recovered"); otherwise its time-out asks the
// source for one more rebuild or reports it failed ("source_failed"). Each
// milestone is traced and handed to the session's route coordinator.
//
// Any thread. The recovery's lock is a leaf: it is never held while
// another lock is taken, an event or trace is emitted or the session is
// called. Effects decided under it are carried out after it is released,
// and a stop (cancel) waits for them, so that nothing decided before the
// stop is lost and nothing after it goes out.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/core/source/source_session.h"
#include "helper/routing/source_recovery_proof.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/source.h"
#include "helper/thread_annotations.h"

namespace helper {

class SourceRecovery : public std::enable_shared_from_this<SourceRecovery> {
 public:
  using TimeoutScheduler = std::function<void(uint64_t delayNs, std::function<void()> fire)>;
  using TraceSink = std::function<void(const std::string& stage, Source source, const nlohmann::json& fields)>;
  // A time-out after a graph start without a single matching frame asks the
  // source to rebuild once more, with the retry's reason and attempt.
  using RetryRebuild = std::function<void(const std::string& reason, int64_t attempt)>;
  // The route kind that sets a time-out's length (a Bluetooth hands-free
  // mic takes longer to come back).
  using RouteKindReader = std::function<std::string()>;

  // Time-outs hold the recovery weakly, so it is always shared.
  static std::shared_ptr<SourceRecovery> make(Source source, SourceSession& session);
  SourceRecovery(const SourceRecovery&) = delete;
  SourceRecovery& operator=(const SourceRecovery&) = delete;

  Source source() const { return source_; }

  // Set up before the first begin; the defaults: no retry, no route kind,
  // time-outs on the global utility queue, events to the event bus and
  // traces to it while route tracing is on. Tests supply their own.
  void setRetry(RetryRebuild retry);
  void setRouteKindReader(RouteKindReader reader);
  void setTimeoutScheduler(TimeoutScheduler scheduler);
  void setOutputs(EventSink events, TraceSink traces);

  void begin(const SourceRecoveryTarget& target);
  void graphStarted(const std::string& uid, int64_t sampleRate, int64_t channels);
  void verifyFromFrames(const SourceRecoveryFrameProof& proof);
  // Stop: drops what is pending; from then on nothing of a recovery reaches
  // the host, and it returns only once effects decided before it have been
  // emitted (bounded).
  // Not checked: it waits on a condition variable, with a std::unique_lock the analysis cannot follow.
  void cancel(const std::string& reason) VR_NO_THREAD_SAFETY_ANALYSIS;
  // The rebuild failed outright; the caller reports the source itself.
  void fail(const std::string& reason);
  void timeout(uint64_t token, const std::string& reason, int64_t timeoutMs);
  // "source_failed"; the failure is sticky for the run.
  void reportFailed(const std::string& reason, bool recoverable);

  bool failed() const { return failed_.load(); }
  int64_t retriesUsed() const { return retriesUsed_.load(); }
  // For the test modes, which start from a retry episode already under way.
  void setRetriesUsed(int64_t retriesUsed) { retriesUsed_.store(retriesUsed); }
  std::optional<SourceRecoveryTarget> pending() const;

  // Where the recovery's events and traces go, for the source's own
  // recovery messages too.
  void emit(const Event& event) const;
  void trace(const std::string& stage, const nlohmann::json& fields) const;

 private:
  SourceRecovery(Source source, SourceSession& session);
  // Held while effects decided under lock_ are carried out without it.
  class Effects;
  // Registers effects so that a stop waits for them; false once stopped.
  // Called with lock_ held, as every ...Unlocked function is.
  bool admitEffectsUnlocked() VR_REQUIRES(lock_);
  void finishEffects();
  void scheduleTimeout(uint64_t token, int64_t timeoutSeconds);
  int64_t maxRetries() const;

  const Source source_;
  SourceSession& session_;

  // Read without lock_; the recovery itself changes the budget only under it.
  std::atomic<int64_t> retriesUsed_{0};
  std::atomic<bool> failed_{false};

  mutable std::mutex lock_ VR_ACQUIRED_AFTER(sessionLifecycleLock);  // guards everything below
  std::condition_variable effectsDone_;
  SourceRecoveryVerifier verifier_ VR_GUARDED_BY(lock_);
  std::optional<SourceRecoveryTarget> lastRecovered_ VR_GUARDED_BY(lock_);
  bool stopped_ VR_GUARDED_BY(lock_) = false;
  int effectsInFlight_ VR_GUARDED_BY(lock_) = 0;
  RetryRebuild retry_ VR_GUARDED_BY(lock_);
  RouteKindReader routeKind_ VR_GUARDED_BY(lock_);
  TimeoutScheduler timeoutScheduler_ VR_GUARDED_BY(lock_);
  EventSink eventSink_ VR_GUARDED_BY(lock_);
  TraceSink traceSink_ VR_GUARDED_BY(lock_);
};

// The stop's end of the recoveries: each source's (the mic's first, either
// may be absent), then the route coordinator's epoch, even with nothing
// pending.
void cancelSourceRecoveries(SourceSession& session, SourceRecovery* mic, SourceRecovery* system,
                            const std::string& reason);

}  // namespace helper
