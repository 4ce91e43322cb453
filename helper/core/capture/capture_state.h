#pragma once
// The one object of a capture session: its writers, the mic engine, what is
// known of the devices, the mic reconnect serialisation, the per-generation
// mic formats, the source-failure flags and the claim that makes the stop
// path run once. Shared by the main queue, the standard-input reader, the
// consumer threads and the platform's callbacks, so every field is either
// constant, atomic or behind a lock; strings and shared objects are read
// through copy-out getters.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/command_line.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/routing/device_following.h"
#include "helper/routing/device_properties.h"
#include "helper/routing/route_coordinator.h"
#include "helper/routing/source_recovery_proof.h"
#include "helper/routing/source_recovery_verifier.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio {
class AudioEngine;
class AudioConverter;
}  // namespace platform::audio

namespace helper {

// The native input format of one mic engine generation.
struct MicGenerationFormat {
  uint32_t generation = 0;
  int64_t sampleRate = 0;
  int64_t channels = 0;
  std::string uid;
  std::string routeKind;
};

// Asks a consumer to drain its ring and waits for the answer; false on a
// time-out (the request is then withdrawn).
bool requestDrain(std::atomic<uint32_t>& requested, platform::dispatch::Semaphore& done, uint64_t timeoutNs);

class CaptureState : public std::enable_shared_from_this<CaptureState> {
 public:
  using EnginePtr = std::shared_ptr<platform::audio::AudioEngine>;

  static constexpr size_t kMaxMicGenerationFormats = 8;
  static constexpr size_t kMaxRetiredMicEngines = 4;
  static constexpr uint64_t kRetiredEngineReleaseDelayNs = 2'000'000'000ULL;

  explicit CaptureState(CaptureConfig config);
  virtual ~CaptureState();
  CaptureState(const CaptureState&) = delete;
  CaptureState& operator=(const CaptureState&) = delete;

  const CaptureConfig& config() const { return config_; }
  uint64_t sessionStartNs() const { return sessionStartNs_; }
  // Main thread, once at start-up before any audio flows: both sources
  // keep their place on one session clock from sessionStartNs on, and each
  // pause, resume and the stop moves them together (SegmentWriter::beginRun).
  void startSessionClock();
  const std::shared_ptr<SegmentWriter>& micWriter() const { return micWriter_; }
  const std::shared_ptr<SegmentWriter>& sysWriter() const { return sysWriter_; }
  // The mic path (ring, gate, generation, drain, consumer); null exactly
  // when there is no mic writer.
  MicPipeline* micPipeline() const { return micPipeline_.get(); }
  // The system path (tap graph, ring, gate, drain, consumer); null exactly
  // when there is no system writer.
  SystemPipeline* systemPipeline() const { return systemPipeline_.get(); }

  EnginePtr engine() const;
  void setEngine(EnginePtr engine);
  std::shared_ptr<platform::audio::AudioConverter> micConverter() const;
  void setMicConverter(std::shared_ptr<platform::audio::AudioConverter> converter);

  std::string micDeviceUID() const;
  void setMicDeviceUID(std::string v);
  std::string micDeviceName() const;
  void setMicDeviceName(std::string v);
  std::string micRouteKind() const;
  void setMicRouteKind(std::string v);
  std::string sysOutputUID() const;
  void setSysOutputUID(std::string v);
  std::string sysOutputName() const;
  void setSysOutputName(std::string v);
  std::optional<OutputDeviceClassification> sysOutputClassification() const;
  // The output device the system graph follows, all three at once.
  void setSysOutputDevice(std::string uid, std::string name, OutputDeviceClassification classification);
  // The device-following state of the mic side; null without an active mic.
  std::shared_ptr<DeviceFollowingState> deviceFollowing() const;
  void setDeviceFollowing(std::shared_ptr<DeviceFollowingState> v);
  std::string aecMode() const;
  void setAecMode(std::string v);
  nlohmann::json micVpFormat() const;
  void setMicVpFormat(nlohmann::json v);

  bool agcDisabled() const { return agcDisabled_.load(); }
  void setAgcDisabled(bool v) { agcDisabled_.store(v); }
  bool isRevertingDevice() const { return isRevertingDevice_.load(); }
  void setIsRevertingDevice(bool v) { isRevertingDevice_.store(v); }
  uint32_t previousMicDeviceID() const { return previousMicDeviceID_.load(); }
  void setPreviousMicDeviceID(uint32_t v) { previousMicDeviceID_.store(v); }
  uint64_t reconnectSuppressUntilNs() const { return reconnectSuppressUntilNs_.load(); }
  void setReconnectSuppressUntilNs(uint64_t v) { reconnectSuppressUntilNs_.store(v); }
  // Set once the mic consumer thread runs, so the stop path waits only for
  // a consumer that exists.
  bool micConsumerStarted() const { return micConsumerStarted_.load(); }
  void setMicConsumerStarted(bool v) { micConsumerStarted_.store(v); }
  // Whether the mic engine in `engine()` has its input tap, so a restart
  // in place would record.
  bool micTapInstalled() const { return micTapInstalled_.load(); }
  void setMicTapInstalled(bool v) { micTapInstalled_.store(v); }
  // The configuration-change observer on `engine()`, to remove when the
  // engine is replaced.
  std::optional<uint64_t> configChangeObserver() const;
  void setConfigChangeObserver(std::optional<uint64_t> token);
  // A mic rebuilt while paused has no segment and no recovery yet: resume
  // opens the one and begins the other with this target.
  std::optional<SourceRecoveryTarget> takeMicRecoveryOwedAtResume();
  void setMicRecoveryOwedAtResume(std::optional<SourceRecoveryTarget> target);
  // A mic input change noticed while the mic writer is paused is put off
  // to the resume: the engine runs on while paused, so nothing else would
  // look at it again. The latest of each kind is kept; resume runs them on
  // the main queue, the default input's first. Any thread.
  enum class PausedMicChange : size_t { defaultInput = 0, engineConfiguration = 1 };
  void followMicChangeAtResume(PausedMicChange kind, std::function<void()> follow);
  // The mic was torn down for want of any input device: the next device to
  // appear brings it back, even the very one it recorded before.
  bool micAwaitingInputDevice() const { return micAwaitingInputDevice_.load(); }
  void setMicAwaitingInputDevice(bool v) { micAwaitingInputDevice_.store(v); }

  // Mic reconnect serialisation (all times machAbsoluteTimeNs, 0 = never).
  bool hasPendingMicReconnect() const;
  void cancelPendingMicReconnect();
  // Runs `handler` on the main queue after delayNs unless cancelled or
  // superseded by a later schedule, or a stop has been claimed.
  void scheduleMicReconnectAfterRouteSettle(uint64_t delayNs, std::function<void()> handler);
  bool beginMicReconnectOrQueueReplay();
  bool finishMicReconnectAndTakeQueuedReplay();
  void markMicReconnectStarted(uint64_t nowNs);
  uint64_t micReconnectCooldownDelayNs(uint64_t nowNs) const;
  void markMicFreshEngineRebuildStarted(uint64_t nowNs);
  bool shouldRestartExistingMicEngineDuringRouteStorm(uint64_t nowNs) const;
  void resetMicReconnectSerialization();
  void retainRetiredMicEngine(EnginePtr engine, const std::string& reason);
  size_t retiredMicEngineCount() const;

  // Per-generation native mic formats (at most 8, the smallest generations go first).
  void recordMicGenerationFormat(uint32_t generation, int64_t sampleRate, int64_t channels, const std::string& uid,
                                 const std::string& routeKind, const std::string& reason);
  std::optional<MicGenerationFormat> micGenerationFormat(uint32_t generation) const;

  // ---- Source recovery (source_recovery.cpp) ----
  // A rebuilt source counts as back only once its verifier has seen the new
  // graph start and then sustained matching frames; otherwise its time-out
  // retries the rebuild once or reports the source failed. Any thread.
  // sourceRecoveryLock_ and sourceFailureLock_ are leaves: neither is held
  // while another lock is taken, an event or trace is emitted or the route
  // coordinator is called.
  using SourceRecoveryTimeoutScheduler = std::function<void(uint64_t delayNs, std::function<void()> fire)>;

  virtual void beginSourceRecovery(const SourceRecoveryTarget& target);
  virtual void markSourceRecoveryGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                              int64_t channels);
  virtual void verifySourceRecoveryFromFrames(Source source, const SourceRecoveryFrameProof& proof);
  // Stop: drops both pending recoveries; from then on nothing of a recovery
  // reaches the host, and it returns only once effects decided before it
  // have been emitted.
  virtual void cancelPendingSourceRecoveries(const std::string& reason);
  // The rebuild failed outright; the caller reports the source itself.
  virtual void failPendingSourceRecovery(Source source, const std::string& reason);
  virtual void timeoutPendingSourceRecovery(Source source, uint64_t token, const std::string& reason,
                                            int64_t timeoutMs);
  virtual void emitSourceFailed(Source source, const std::string& reason, bool recoverable);
  // (mic, system): sticky for the run.
  std::pair<bool, bool> sourceFailedSnapshot() const;
  int64_t micRecoveryTimeoutRetriesUsed() const;
  // For the test modes, which start from a retry episode already under way.
  void setMicRecoveryTimeoutRetriesUsed(int64_t retriesUsed);
  int64_t systemRecoveryTimeoutRetriesUsed() const;
  std::optional<SourceRecoveryTarget> pendingSourceRecoveryTarget(Source source) const;
  // Where time-outs are scheduled: the global utility queue unless a test
  // supplies its own.
  void setSourceRecoveryTimeoutScheduler(SourceRecoveryTimeoutScheduler scheduler);
  // Where the recovery's events and route traces go: the event bus (traces
  // only while route tracing is on) unless a test supplies its own.
  using SourceRecoveryTraceSink =
      std::function<void(const std::string& stage, Source source, const nlohmann::json& fields)>;
  void setSourceRecoveryOutputs(EventSink events, SourceRecoveryTraceSink traces);
  void emitSourceRecoveryEvent(const Event& event) const;
  void traceSourceRecovery(const std::string& stage, Source source, const nlohmann::json& fields) const;
  // ---- end of source recovery ----

  // Host commands (pause and resume on the main queue; heartbeat, stop and
  // shutdown on the reader thread).
  void handleCommand(const nlohmann::json& message);
  // The one stop path; never returns.
  [[noreturn]] void performStop(bool clean, const std::optional<std::string>& reason,
                                const std::optional<std::string>& requestId);
  bool isStopClaimed() const;

  // --- Route coordinator bridge -------------------------------------------
  // Each route observation and recovery milestone of a source updates the
  // route coordinator shadow and is written as a route trace. The bridge
  // decides nothing; callers get only the current epoch ID, which recovery
  // targets carry. The shadow's lock is a leaf: it is held around the one
  // call into the shadow only, never while another lock is taken or a trace
  // is emitted. Callable from any thread.
  virtual std::optional<uint64_t> currentRouteCoordinatorEpochID() const;
  virtual void observeRouteCoordinatorInput(const std::string& uid, const std::string& route, int64_t sampleRate,
                                            const std::string& reason, bool shouldReconnect);
  virtual void observeRouteCoordinatorOutput(const std::string& uid, const std::string& transport, int64_t sampleRate,
                                             const std::string& reason, const std::string& trigger, bool shouldRebuild,
                                             bool force);
  virtual void markRouteCoordinatorSourcePending(const SourceRecoveryTarget& target);
  virtual void markRouteCoordinatorSourceGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                                      int64_t channels, std::optional<uint64_t> routeEpochID);
  virtual void markRouteCoordinatorSourceVerified(Source source, const SourceRecoveryFrameProof& proof,
                                                  std::optional<uint64_t> routeEpochID);
  virtual void failRouteCoordinatorSource(Source source, const std::string& reason,
                                          std::optional<uint64_t> routeEpochID);
  virtual void cancelRouteCoordinator(const std::string& reason);
  // --- end of route coordinator bridge ------------------------------------

  // Held for the whole of a pause, a resume or a system graph rebuild, and
  // for the steps of a mic rebuild that seal or open segments or swap the
  // engine; taken for good by the stop path, so a stop never interleaves
  // with them.
  std::mutex& lifecycleLock() { return lifecycleLock_; }
  // The lifecycle lock for a step that must not interleave with the stop
  // path, taken only while no stop is claimed: an empty lock means a stop
  // has been claimed (and keeps the lock for good), so the step must not run.
  std::unique_lock<std::mutex> lockLifecycleUnlessStopping();
  // Serialises starting, stopping and rebuilding the system tap graph; the
  // stop path keeps it.
  std::mutex& systemGraphLock() { return systemGraphLock_; }

 private:
  void handlePause(const nlohmann::json& message, const std::string& requestId);
  void handleResume(const nlohmann::json& message, const std::string& requestId);
  // Posts the mic changes put off while paused to the main queue.
  void followMicChangesPutOffWhilePaused();
  // Ends or begins the named sources' runs at one instant, when on the
  // session clock.
  void endSourceRuns(uint64_t atNs, bool mic, bool system);
  void beginSourceRuns(uint64_t atNs, bool mic, bool system);
  // Takes the rest of the ring's audio into the writer and seals it.
  std::optional<int64_t> pauseSource(const std::shared_ptr<SegmentWriter>& writer, CallbackGate& gate,
                                     std::atomic<uint32_t>& drainRequested, platform::dispatch::Semaphore& drainDone,
                                     const char* drainTimeoutText);

  const CaptureConfig config_;
  const uint64_t sessionStartNs_;
  std::atomic<bool> onSessionClock_{false};
  const std::shared_ptr<SegmentWriter> micWriter_;
  const std::shared_ptr<SegmentWriter> sysWriter_;

  mutable std::mutex fieldsLock_;  // guards the strings and shared objects below
  EnginePtr engine_;
  std::shared_ptr<platform::audio::AudioConverter> micConverter_;
  std::shared_ptr<DeviceFollowingState> deviceFollowing_;
  std::string micDeviceUID_;
  std::string micDeviceName_;
  std::string micRouteKind_ = "unknown";
  std::string sysOutputUID_;
  std::string sysOutputName_;
  std::optional<OutputDeviceClassification> sysOutputClassification_;
  std::string aecMode_ = "passthrough";
  nlohmann::json micVpFormat_ = nlohmann::json::object();

  std::atomic<bool> agcDisabled_{false};
  std::atomic<bool> isRevertingDevice_{false};
  std::atomic<uint32_t> previousMicDeviceID_{0};
  std::atomic<uint64_t> reconnectSuppressUntilNs_{0};
  std::atomic<bool> micConsumerStarted_{false};
  std::atomic<bool> micTapInstalled_{false};
  std::atomic<bool> micAwaitingInputDevice_{false};
  std::optional<uint64_t> configChangeObserver_;         // under fieldsLock_
  std::optional<SourceRecoveryTarget> micRecoveryOwed_;  // under fieldsLock_
  // Under fieldsLock_, indexed by PausedMicChange.
  std::array<std::function<void()>, 2> micChangesAtResume_;

  mutable std::mutex reconnectLock_;  // guards the reconnect serialisation
  platform::dispatch::WorkItemPtr pendingMicReconnectWorkItem_;
  uint64_t pendingMicReconnectToken_ = 0;
  bool micReconnectInFlight_ = false;
  bool micReconnectReplayQueued_ = false;
  uint64_t lastMicReconnectStartedNs_ = 0;
  uint64_t lastMicFreshEngineRebuildStartedNs_ = 0;
  std::vector<EnginePtr> retiredMicEngines_;

  mutable std::mutex micGenerationFormatLock_;
  std::map<uint32_t, MicGenerationFormat> micGenerationFormats_;

  // Route coordinator bridge state, touched only by route_bridge.cpp.
  mutable std::mutex routeCoordinatorLock_;
  RouteCoordinatorShadow routeCoordinatorShadow_;

  // ---- source recovery state ----
  struct SourceRecoveryEffects;
  SourceRecoveryVerifier* recoveryVerifierLocked(Source source);
  int64_t* recoveryRetriesUsedLocked(Source source);
  // Registers effects decided under sourceRecoveryLock_ so that a stop
  // waits for them; false once stopped.
  bool admitSourceRecoveryEffectsLocked();
  void finishSourceRecoveryEffects();
  void scheduleSourceRecoveryTimeout(Source source, uint64_t token, int64_t timeoutSeconds);

  mutable std::mutex sourceRecoveryLock_;
  std::condition_variable sourceRecoveryEffectsDone_;
  SourceRecoveryVerifier micRecoveryVerifier_;
  SourceRecoveryVerifier systemRecoveryVerifier_;
  std::map<Source, SourceRecoveryTarget> lastRecoveredTargetsBySource_;
  uint64_t sourceRecoveryNextToken_ = 0;
  int64_t micRecoveryTimeoutRetriesUsed_ = 0;
  int64_t systemRecoveryTimeoutRetriesUsed_ = 0;
  bool sourceRecoveryStopped_ = false;
  int sourceRecoveryEffectsInFlight_ = 0;
  SourceRecoveryTimeoutScheduler sourceRecoveryTimeoutScheduler_;
  EventSink sourceRecoveryEventSink_;
  SourceRecoveryTraceSink sourceRecoveryTraceSink_;
  // ---- end of source recovery state ----

  mutable std::mutex sourceFailureLock_;
  bool micSourceFailed_ = false;
  bool systemSourceFailed_ = false;

  std::mutex systemGraphLock_;
  std::mutex lifecycleLock_;
  mutable std::mutex stopClaimLock_;
  bool stopClaimed_ = false;

  // Last, so that they go first: their consumer threads use the fields
  // above until the pipelines' destructors have joined them.
  std::unique_ptr<MicPipeline> micPipeline_;
  std::unique_ptr<SystemPipeline> systemPipeline_;
};

}  // namespace helper
