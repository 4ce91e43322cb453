#pragma once
// The capture session: its configuration and clock, the lifecycle lock and
// the stop claim, the route coordinator that groups route changes into
// epochs, and the two sources it records (each present exactly when it is
// included). Host commands and the one stop path run here and call the
// sources' verbs (pause, resume, the stop's steps) in the stop's order; the
// sources reach the session only through SourceSession.
//
// Shared by the main queue, the standard-input reader, the consumer threads
// and the platform's callbacks: every field is constant, atomic or behind
// a lock.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/entry/command_line.h"
#include "helper/core/source/source_session.h"
#include "helper/routing/route_coordinator.h"
#include "helper/thread_annotations.h"

namespace helper {

class MicSource;
class SegmentWriter;
class SessionOrigin;
class SystemSource;

class CaptureState : public SourceSession, public std::enable_shared_from_this<CaptureState> {
 public:
  explicit CaptureState(CaptureConfig config);
  ~CaptureState() override;
  CaptureState(const CaptureState&) = delete;
  CaptureState& operator=(const CaptureState&) = delete;

  const CaptureConfig& config() const override { return config_; }
  uint64_t sessionStartNs() const { return sessionStartNs_; }
  // Main thread, once at start-up before any audio flows: both sources
  // keep their place on one session clock from the first frame either
  // delivers (SessionOrigin), and each pause, resume and the stop moves
  // them together (SegmentWriter::beginRun).
  void startSessionClock();

  // Main thread, at start-up: a source whose permission was refused is
  // never opened, not even by a resume.
  void refuseSources(bool mic, bool system) {
    micRefused_.store(mic);
    systemRefused_.store(system);
  }

  // The sources; null when not included.
  const std::shared_ptr<MicSource>& mic() const { return mic_; }
  const std::shared_ptr<SystemSource>& system() const { return system_; }

  // Host commands (pause and resume on the main queue; heartbeat, stop and
  // shutdown on the reader thread).
  void handleCommand(const nlohmann::json& message);
  // The one stop path; never returns.
  // Not checked: it takes the graph lock only when there is a system source, and holds both locks to the end.
  [[noreturn]] void performStop(bool clean, const std::optional<std::string>& reason,
                                const std::optional<std::string>& requestId) VR_NO_THREAD_SAFETY_ANALYSIS;
  // Stop: ends both sources' recoveries (nothing of them reaches the host
  // any more), then the route coordinator's epoch.
  void cancelSourceRecoveries(const std::string& reason);

  // ---- SourceSession ----
  bool isStopClaimed() const override;
  uint64_t nextRecoveryToken() override { return ++recoveryTokens_; }
  MicRouteFacts micRouteFacts() const override;

  // The route coordinator bridge (route_bridge.cpp): each call updates the
  // coordinator under its leaf lock, copies the result out and writes the
  // route trace after the lock is released. It decides nothing.
  std::optional<uint64_t> currentRouteCoordinatorEpochID() const override;
  void observeRouteCoordinatorInput(const std::string& uid, const std::string& route, int64_t sampleRate,
                                    const std::string& reason, bool shouldReconnect) override;
  void observeRouteCoordinatorOutput(const std::string& uid, const std::string& transport, int64_t sampleRate,
                                     const std::string& reason, const std::string& trigger, bool shouldRebuild,
                                     bool force) override;
  void markRouteCoordinatorSourcePending(const SourceRecoveryTarget& target) override;
  void markRouteCoordinatorSourceGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                              int64_t channels, std::optional<uint64_t> routeEpochID) override;
  void markRouteCoordinatorSourceVerified(Source source, const SourceRecoveryFrameProof& proof,
                                          std::optional<uint64_t> routeEpochID) override;
  void failRouteCoordinatorSource(Source source, const std::string& reason,
                                  std::optional<uint64_t> routeEpochID) override;
  void cancelRouteCoordinator(const std::string& reason) override;

 private:
  std::mutex& lifecycleLock() override { return lifecycleLock_; }
  std::unique_lock<std::mutex> lockLifecycleUnlessStopping() override;

  void handlePause(const nlohmann::json& message, const std::string& requestId);
  void handleResume(const nlohmann::json& message, const std::string& requestId);
  // Ends or begins the named sources' runs at one instant, when on the
  // session clock.
  void endSourceRuns(uint64_t atNs, bool mic, bool system);
  void beginSourceRuns(uint64_t atNs, bool mic, bool system);
  // The writers of the named sources that exist.
  std::vector<SegmentWriter*> writersOf(bool mic, bool system) const;
  // The stop path's parts: the claim (a later caller waits for the first
  // to end the process) and the last event.
  void claimStopOrWaitForTheFirst();
  // `endNs`: the instant the stop ended the sources' runs.
  void emitSessionEnd(bool clean, const std::optional<std::string>& reason, int64_t micSeq, int64_t sysSeq,
                      uint64_t endNs);

  const CaptureConfig config_;
  const uint64_t sessionStartNs_;
  // Where the session clock starts: the first frame either source captured.
  const std::shared_ptr<SessionOrigin> sessionOrigin_;
  std::atomic<bool> onSessionClock_{false};
  std::atomic<bool> micRefused_{false};
  std::atomic<bool> systemRefused_{false};
  std::atomic<uint64_t> recoveryTokens_{0};

  std::mutex lifecycleLock_ VR_ACQUIRED_BEFORE(stopClaimLock_, routeCoordinatorLock_);
  mutable std::mutex stopClaimLock_;
  bool stopClaimed_ VR_GUARDED_BY(stopClaimLock_) = false;

  mutable std::mutex routeCoordinatorLock_;  // a leaf: guards the shadow alone
  RouteCoordinatorShadow routeCoordinatorShadow_ VR_GUARDED_BY(routeCoordinatorLock_);

  // Last, so that they go first: their threads and callbacks use the
  // fields above until the sources' destructors have stopped them.
  std::shared_ptr<MicSource> mic_;
  std::shared_ptr<SystemSource> system_;
};

}  // namespace helper
