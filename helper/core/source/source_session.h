#pragma once
// What a source (the mic or the system side) may ask of the capture session
// it records in: the configuration, the stop claim and the lifecycle lock
// that keeps its segment work apart from pauses, resumes and the stop, the
// route coordinator that groups route changes into epochs, and what the
// other side knows of the mic. The sources know the session only through
// this, so they can be built and tested on a fake of it.
//
// Every method may be called from any thread. None takes a lock of a
// source, so a source may call them holding its own (the order of the
// locks: docs/architecture.md, "Locks").
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "helper/core/entry/command_line.h"
#include "helper/core/source/lifecycle_lock.h"
#include "helper/routing/source_recovery_proof.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/source.h"
#include "helper/thread_annotations.h"

namespace helper {

// The mic as the system side's rate resolution sees it; empty without a mic.
struct MicRouteFacts {
  int64_t nativeRate = 0;
  std::string uid;
  std::string name;
  std::string routeKind = "unknown";
};

class SourceSession {
 public:
  virtual ~SourceSession() = default;

  virtual const CaptureConfig& config() const = 0;

  // The stop claim: once true, nothing may start a rebuild or touch a segment.
  virtual bool isStopClaimed() const = 0;

  // Recovery tokens, unique across both sources for the whole session.
  virtual uint64_t nextRecoveryToken() = 0;

  // The route coordinator: observations and the milestones of a source's
  // recovery, each written as a route trace. It decides nothing; its epoch
  // ID is stamped on recovery targets.
  virtual std::optional<uint64_t> currentRouteCoordinatorEpochID() const = 0;
  virtual void observeRouteCoordinatorInput(const std::string& uid, const std::string& route, int64_t sampleRate,
                                            const std::string& reason, bool shouldReconnect) = 0;
  virtual void observeRouteCoordinatorOutput(const std::string& uid, const std::string& transport, int64_t sampleRate,
                                             const std::string& reason, const std::string& trigger, bool shouldRebuild,
                                             bool force) = 0;
  virtual void markRouteCoordinatorSourcePending(const SourceRecoveryTarget& target) = 0;
  virtual void markRouteCoordinatorSourceGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                                      int64_t channels, std::optional<uint64_t> routeEpochID) = 0;
  virtual void markRouteCoordinatorSourceVerified(Source source, const SourceRecoveryFrameProof& proof,
                                                  std::optional<uint64_t> routeEpochID) = 0;
  virtual void failRouteCoordinatorSource(Source source, const std::string& reason,
                                          std::optional<uint64_t> routeEpochID) = 0;
  // The stop ends the epoch, whatever is pending.
  virtual void cancelRouteCoordinator(const std::string& reason) = 0;

  // The mic's device and native rate, for the system side's rate resolution.
  virtual MicRouteFacts micRouteFacts() const = 0;

 protected:
  // The lifecycle lock: held for a pause, a resume, a system graph rebuild
  // and the steps of a mic rebuild that seal or open segments or swap the
  // engine; the stop path takes it for good. Taken only in a LifecycleHold.
  friend class LifecycleHold;
  virtual std::mutex& lifecycleLock() = 0;
  // The lifecycle lock unless a stop is claimed (an empty lock then: the
  // stop holds it and seals everything itself).
  virtual std::unique_lock<std::mutex> lockLifecycleUnlessStopping() = 0;
};

// The session's lifecycle lock, held for a scope.
class VR_SCOPED_CAPABILITY LifecycleHold {
 public:
  // Waits for the lock unless a stop is claimed; then it holds nothing and
  // is false, and its holder does nothing under it but answer. The analysis
  // counts the lock held either way.
  explicit LifecycleHold(SourceSession& session) VR_ACQUIRE(sessionLifecycleLock)
      : lock_(session.lockLifecycleUnlessStopping()) {}
  // Waits for the lock even once a stop is claimed: only under the system
  // graph lock, which the stop takes first.
  struct EvenWhenStopping {};
  LifecycleHold(SourceSession& session, EvenWhenStopping) VR_ACQUIRE(sessionLifecycleLock)
      : lock_(session.lifecycleLock()) {}
  ~LifecycleHold() VR_RELEASE() {}
  LifecycleHold(const LifecycleHold&) = delete;
  LifecycleHold& operator=(const LifecycleHold&) = delete;

  explicit operator bool() const { return lock_.owns_lock(); }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace helper
