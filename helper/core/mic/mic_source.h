#pragma once
// The microphone source of a capture session, under one owner: its writer
// and the pipeline that feeds it (ring, gate, generation, drain, consumer),
// its recovery, the engine and its configuration observer, the device it
// records and the device following, the canonical format, the
// per-generation formats, and the serialisation of its reconnects; and its
// part of the session's pause, resume and stop (mic_source_lifecycle.cpp).
//
// Threads: the engine, the device, the following and the flags are read
// from any thread and written on the main queue (or at start-up); the
// reconnect serialisation and the changes put off while paused may be
// called from any thread. Strings and shared objects are read through
// copy-out getters under one lock; flags are atomics.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/mic/mic_generation_formats.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/source/source_recovery.h"
#include "helper/core/source/source_session.h"
#include "helper/routing/device_following.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/thread_annotations.h"
#include "platform/audio/engine/pcm.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio {
class AudioEngine;
class AudioConverter;
}  // namespace platform::audio

namespace helper {

class MicSource : public std::enable_shared_from_this<MicSource> {
 public:
  using EnginePtr = std::shared_ptr<platform::audio::AudioEngine>;

  static constexpr size_t kMaxRetiredEngines = 4;
  static constexpr uint64_t kRetiredEngineReleaseDelayNs = 2'000'000'000ULL;

  // The session outlives the source. `proofSink` receives the consumer's
  // frame proofs; the source's recovery unless a test supplies its own.
  static std::shared_ptr<MicSource> make(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                                         MicPipeline::FrameProofSink proofSink = {});
  ~MicSource();
  MicSource(const MicSource&) = delete;
  MicSource& operator=(const MicSource&) = delete;

  SourceSession& session() const { return session_; }
  const CaptureConfig& config() const { return session_.config(); }
  const std::shared_ptr<SegmentWriter>& writer() const { return writer_; }
  MicPipeline& pipeline() const { return *pipeline_; }
  SourceRecovery& recovery() const { return *recovery_; }
  MicGenerationFormats& generationFormats() { return generationFormats_; }

  // ---- What the session asks of the mic, in the order it asks it. Each
  // runs under the session's lifecycle lock (pause and resume on the main
  // queue, the rest on the stop path). ----
  // Closes the tap, has the consumer write what the ring holds, pauses the
  // writer and seals its segment: the sealed index when it held frames.
  std::optional<int64_t> pause() VR_REQUIRES(sessionLifecycleLock);
  // Opens a segment and the tap; a recovery owed since a rebuild while
  // paused begins now.
  void resume() VR_REQUIRES(sessionLifecycleLock);
  bool paused() const { return writer_->paused(); }
  // A pause or the stop at instantNs, before the tap closes: what the
  // engine captured before the instant is still on its way (a tap buffer
  // at a time) and is waited for, bounded, while the engine records.
  void awaitCaptureThrough(uint64_t instantNs);
  // The stop path. Before the lifecycle lock: no reconnect, replay or
  // debounced switch outlives the stop.
  void cancelPendingChanges();
  void closeTap() { pipeline_->closeTap(); }
  void removeTap();
  void stopEngine();
  // The consumer writes what the ring still holds and ends (waited for,
  // bounded, when it runs).
  void closeRingAndAwaitConsumer();
  // Seals what is still recording; the index of the last segment closed.
  int64_t sealForStop() { return helper::sealForStop(*writer_); }
  SourceHealth health() const { return writer_->snapshotHealth(recovery_->failed()); }

  // What every conversion produces; set once at start-up, before any
  // reconnect can run. (The gain each tap multiplies by travels with the
  // tap's settings.)
  std::optional<platform::audio::AudioFormat> canonicalFormat() const;
  void setCanonicalFormat(platform::audio::AudioFormat format);

  EnginePtr engine() const;
  void setEngine(EnginePtr engine);
  // The configuration-change observer on `engine()`, to remove when the
  // engine is replaced.
  std::optional<uint64_t> configChangeObserver() const;
  void setConfigChangeObserver(std::optional<uint64_t> token);
  std::shared_ptr<DeviceFollowingState> deviceFollowing() const;
  void setDeviceFollowing(std::shared_ptr<DeviceFollowingState> following);

  // The device the mic records.
  std::string deviceUID() const;
  void setDeviceUID(std::string v);
  std::string deviceName() const;
  void setDeviceName(std::string v);
  std::string routeKind() const;
  void setRouteKind(std::string v);
  // The input tap's format as events describe it.
  nlohmann::json vpFormat() const;
  void setVpFormat(nlohmann::json v);
  std::string aecMode() const;
  void setAecMode(std::string v);
  bool agcDisabled() const { return agcDisabled_.load(); }
  void setAgcDisabled(bool v) { agcDisabled_.store(v); }

  bool isRevertingDevice() const { return isRevertingDevice_.load(); }
  void setIsRevertingDevice(bool v) { isRevertingDevice_.store(v); }
  uint32_t previousDeviceID() const { return previousDeviceID_.load(); }
  void setPreviousDeviceID(uint32_t v) { previousDeviceID_.store(v); }
  uint64_t reconnectSuppressUntilNs() const { return reconnectSuppressUntilNs_.load(); }
  void setReconnectSuppressUntilNs(uint64_t v) { reconnectSuppressUntilNs_.store(v); }
  // Set once the consumer thread runs, so the stop path waits only for a
  // consumer that exists.
  bool consumerStarted() const { return consumerStarted_.load(); }
  void setConsumerStarted(bool v) { consumerStarted_.store(v); }
  // Whether `engine()` has its input tap, so a restart in place would record.
  bool tapInstalled() const { return tapInstalled_.load(); }
  void setTapInstalled(bool v) { tapInstalled_.store(v); }
  // `engine()` runs with its tap: its buffers reach the pipeline. When not,
  // nothing records the mic until a reconnect brings it back.
  bool engineDelivering() const;
  // Torn down for want of any input device: the next device to appear
  // brings the mic back, even the very one it recorded before.
  bool awaitingInputDevice() const { return awaitingInputDevice_.load(); }
  void setAwaitingInputDevice(bool v) { awaitingInputDevice_.store(v); }

  // A mic rebuilt while paused has no segment and no recovery yet: resume
  // opens the one and begins the other with this target.
  std::optional<SourceRecoveryTarget> takeRecoveryOwedAtResume();
  void setRecoveryOwedAtResume(std::optional<SourceRecoveryTarget> target);
  // An input change noticed while the writer is paused is put off to the
  // resume: the engine runs on while paused, so nothing else would look at
  // it again. The latest of each kind is kept; followChangesPutOffWhilePaused
  // posts them to the main queue, the default input's first.
  enum class PausedChange : size_t { defaultInput = 0, engineConfiguration = 1 };
  void followChangeAtResume(PausedChange kind, std::function<void()> follow);
  void followChangesPutOffWhilePaused();

  // ---- Reconnect serialisation (mic_reconnect_serialization.cpp; all
  // times machAbsoluteTimeNs, 0 = never) ----
  bool hasPendingReconnect() const;
  void cancelPendingReconnect();
  // Runs `handler` on the main queue after delayNs unless cancelled,
  // superseded by a later schedule, or a stop has been claimed.
  void scheduleReconnectAfterRouteSettle(uint64_t delayNs, std::function<void()> handler);
  // The same, when only the first settleNs of the delay let the route
  // settle and the rest waits out the cool-down between reconnects.
  void scheduleReconnectAfterRouteSettle(uint64_t delayNs, uint64_t settleNs, std::function<void()> handler);
  // The pending reconnect, when it waits out the cool-down, runs as soon as
  // its route has settled instead: the engine the cool-down spared no
  // longer records. True when one was brought forward. Main queue.
  bool dropPendingReconnectCooldown();
  bool beginReconnectOrQueueReplay();
  bool finishReconnectAndTakeQueuedReplay();
  void markReconnectStarted(uint64_t nowNs);
  uint64_t reconnectCooldownDelayNs(uint64_t nowNs) const;
  void markFreshEngineRebuildStarted(uint64_t nowNs);
  bool shouldRestartExistingEngineDuringRouteStorm(uint64_t nowNs) const;
  // The stop path: no reconnect state survives, and the generation formats go.
  void resetReconnectSerialization();
  // A replaced engine is kept for a while (the platform may still call it).
  void retainRetiredEngine(EnginePtr engine, const std::string& reason);
  size_t retiredEngineCount() const;

 private:
  MicSource(SourceSession& session, std::shared_ptr<SegmentWriter> writer, MicPipeline::FrameProofSink proofSink);

  SourceSession& session_;
  const std::shared_ptr<SegmentWriter> writer_;
  const std::shared_ptr<SourceRecovery> recovery_;
  MicGenerationFormats generationFormats_;

  mutable std::mutex fieldsLock_
      VR_ACQUIRED_AFTER(sessionLifecycleLock);  // guards the strings and shared objects below
  std::optional<platform::audio::AudioFormat> canonicalFormat_ VR_GUARDED_BY(fieldsLock_);
  EnginePtr engine_ VR_GUARDED_BY(fieldsLock_);
  std::optional<uint64_t> configChangeObserver_ VR_GUARDED_BY(fieldsLock_);
  std::shared_ptr<DeviceFollowingState> deviceFollowing_ VR_GUARDED_BY(fieldsLock_);
  std::string deviceUID_ VR_GUARDED_BY(fieldsLock_);
  std::string deviceName_ VR_GUARDED_BY(fieldsLock_);
  std::string routeKind_ VR_GUARDED_BY(fieldsLock_) = "unknown";
  nlohmann::json vpFormat_ VR_GUARDED_BY(fieldsLock_) = nlohmann::json::object();
  std::string aecMode_ VR_GUARDED_BY(fieldsLock_) = "passthrough";
  std::optional<SourceRecoveryTarget> recoveryOwed_ VR_GUARDED_BY(fieldsLock_);
  std::array<std::function<void()>, 2> changesAtResume_ VR_GUARDED_BY(fieldsLock_);  // indexed by PausedChange

  std::atomic<bool> agcDisabled_{false};
  std::atomic<bool> isRevertingDevice_{false};
  std::atomic<uint32_t> previousDeviceID_{0};
  std::atomic<uint64_t> reconnectSuppressUntilNs_{0};
  std::atomic<bool> consumerStarted_{false};
  std::atomic<bool> tapInstalled_{false};
  std::atomic<bool> awaitingInputDevice_{false};

  mutable std::mutex reconnectLock_;  // guards the reconnect serialisation
  platform::dispatch::WorkItemPtr pendingReconnectWorkItem_ VR_GUARDED_BY(reconnectLock_);
  uint64_t pendingReconnectToken_ VR_GUARDED_BY(reconnectLock_) = 0;
  // When the pending reconnect is due and when its route has settled, and
  // its handler (to bring it forward).
  uint64_t pendingReconnectDueNs_ VR_GUARDED_BY(reconnectLock_) = 0;
  uint64_t pendingReconnectSettledNs_ VR_GUARDED_BY(reconnectLock_) = 0;
  std::function<void()> pendingReconnectHandler_ VR_GUARDED_BY(reconnectLock_);
  bool reconnectInFlight_ VR_GUARDED_BY(reconnectLock_) = false;
  bool reconnectReplayQueued_ VR_GUARDED_BY(reconnectLock_) = false;
  uint64_t lastReconnectStartedNs_ VR_GUARDED_BY(reconnectLock_) = 0;
  uint64_t lastFreshEngineRebuildStartedNs_ VR_GUARDED_BY(reconnectLock_) = 0;
  std::vector<EnginePtr> retiredEngines_ VR_GUARDED_BY(reconnectLock_);

  // Last, so that it goes first: its consumer thread uses the fields above
  // until the pipeline's destructor has joined it.
  std::unique_ptr<MicPipeline> pipeline_;
};

}  // namespace helper
