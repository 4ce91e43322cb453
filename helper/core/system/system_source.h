#pragma once
// The system audio source of a capture session, under one owner: its
// writer and the tap graph that feeds it (SystemPipeline), its recovery,
// the output device the graph follows, the graph lock, and the single
// flight of its rebuilds (one scheduled or running at a time, the re-check
// left by a request dropped meanwhile, and the rebuild put off by a pause);
// and its part of the session's pause, resume and stop
// (system_source_lifecycle.cpp).
//
// Threads: the output device and the rebuild slot may be read and written
// from any thread (each under its own leaf lock); the graph is started,
// stopped and rebuilt only under graphLock(), which the stop path keeps
// (where it stands in the lock order: docs/architecture.md, "Locks").
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "helper/core/segments/segment_writer.h"
#include "helper/core/source/source_recovery.h"
#include "helper/core/source/source_session.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/routing/device_properties.h"
#include "helper/thread_annotations.h"

namespace helper {

class SystemSource : public std::enable_shared_from_this<SystemSource> {
 public:
  // The session outlives the source. `proofSink` receives the consumer's
  // frame proofs; the source's recovery unless a test supplies its own.
  static std::shared_ptr<SystemSource> make(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                                            SystemPipeline::FrameProofSink proofSink = {});
  ~SystemSource();
  SystemSource(const SystemSource&) = delete;
  SystemSource& operator=(const SystemSource&) = delete;

  SourceSession& session() const { return session_; }
  const CaptureConfig& config() const { return session_.config(); }
  const std::shared_ptr<SegmentWriter>& writer() const { return writer_; }
  SystemPipeline& pipeline() const { return *pipeline_; }
  SourceRecovery& recovery() const { return *recovery_; }
  std::mutex& graphLock() VR_RETURN_CAPABILITY(graphLock_) { return graphLock_; }

  // ---- What the session asks of the system source, in the order it asks
  // it. Pause and resume run on the main queue under the session's
  // lifecycle lock, the rest on the stop path. ----
  // Closes the tap, has the consumer write what the ring holds, pauses the
  // writer and seals its segment: the sealed index when it held frames.
  std::optional<int64_t> pause() VR_REQUIRES(sessionLifecycleLock);
  // Opens a segment and the tap; the cadence check starts afresh.
  void resume() VR_REQUIRES(sessionLifecycleLock);
  bool paused() const { return writer_->paused(); }
  // The stop path: the graph lock is kept until the process ends, so no
  // rebuild starts or finishes from then on.
  void holdGraphLockForGood() VR_ACQUIRE(graphLock_) { graphLock_.lock(); }
  void closeTap() { pipeline_->closeTap(); }
  // The tap, the aggregate device and the IO proc go before the process
  // does; the consumer then writes what the ring still holds (waited for,
  // bounded).
  void tearDownGraphAndAwaitConsumer();
  // Seals what is still recording; the index of the last segment closed.
  int64_t sealForStop() { return helper::sealForStop(*writer_); }
  SourceHealth health() const { return writer_->snapshotHealth(recovery_->failed()); }

  // The output device the graph follows (empty before the first start and
  // after a failed one).
  std::string outputUID() const;
  std::string outputName() const;
  std::optional<OutputDeviceClassification> outputClassification() const;
  void setOutputDevice(std::string uid, std::string name, OutputDeviceClassification classification);
  // A failed start forgets the device, so that its next notification rebuilds.
  void forgetOutputDevice();

  // ---- The rebuild's single flight ----
  // Claims the one rebuild slot; false when it is taken, leaving `reason`
  // to be re-checked once the rebuild in flight ends.
  bool claimRebuildSlot(const std::string& reason);
  // Frees the slot; the reason of a request dropped meanwhile, if any.
  std::optional<std::string> releaseRebuildSlot();
  bool rebuildScheduled() const;
  // A rebuild skipped because the writer was paused is re-checked at resume.
  void rememberRebuildSkippedWhilePaused(const std::string& reason);
  std::optional<std::string> takeRebuildSkippedWhilePaused();

 private:
  SystemSource(SourceSession& session, std::shared_ptr<SegmentWriter> writer, SystemPipeline::FrameProofSink proofSink);

  SourceSession& session_;
  const std::shared_ptr<SegmentWriter> writer_;
  const std::shared_ptr<SourceRecovery> recovery_;
  std::mutex graphLock_ VR_ACQUIRED_BEFORE(sessionLifecycleLock, outputLock_, rebuildLock_);

  mutable std::mutex outputLock_ VR_ACQUIRED_AFTER(sessionLifecycleLock);  // guards the output device
  std::string outputUID_ VR_GUARDED_BY(outputLock_);
  std::string outputName_ VR_GUARDED_BY(outputLock_);
  std::optional<OutputDeviceClassification> outputClassification_ VR_GUARDED_BY(outputLock_);

  mutable std::mutex rebuildLock_ VR_ACQUIRED_AFTER(sessionLifecycleLock);  // guards the single flight
  bool rebuildScheduled_ VR_GUARDED_BY(rebuildLock_) = false;
  std::optional<std::string> rebuildRecheckReason_ VR_GUARDED_BY(rebuildLock_);
  std::optional<std::string> rebuildSkippedWhilePausedReason_ VR_GUARDED_BY(rebuildLock_);

  // Last, so that it goes first: its consumer threads use the fields above
  // until its destructor has joined them.
  std::unique_ptr<SystemPipeline> pipeline_;
};

}  // namespace helper
