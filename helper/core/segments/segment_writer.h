#pragma once
// One source's durable recording: 32-bit float buffers at the canonical
// rate become numbered 16-bit mono CAF segments with checkpoint sidecars,
// cut every segment_format::kFramesPerSegment frames (or, as a backstop, segmentSeconds + 30 s after
// the open). Also tracks the level figures, the "level" and
// "capture_started" events and the source's health.
//
// Every public operation takes the writer's lock, works, releases it and
// only then enqueues its events, so the event bus's lock is never taken
// inside the writer's.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "helper/core/segments/session_clock.h"
#include "helper/core/segments/source_health.h"
#include "helper/core/source/lifecycle_lock.h"
#include "helper/thread_annotations.h"
#include "platform/audio/engine/pcm.h"

namespace helper {

// The instant the session clock starts from: the capture time of the first
// frame any source delivers, so that the start-up's latency becomes audio
// of no source, and a source that starts later has silence up to its own
// first frame. Shared by the session's writers; any thread.
class SessionOrigin {
 public:
  // The origin, set to `candidateNs` by the first caller.
  uint64_t settle(uint64_t candidateNs) {
    uint64_t expected = 0;
    if (ns_.compare_exchange_strong(expected, candidateNs == 0 ? 1 : candidateNs)) return ns_.load();
    return expected;
  }
  // The origin once settled.
  std::optional<uint64_t> settled() const {
    const uint64_t ns = ns_.load();
    if (ns == 0) return std::nullopt;
    return ns;
  }

 private:
  std::atomic<uint64_t> ns_{0};
};

class SegmentWriter {
 public:
  using SealedSegData = helper::SealedSegData;
  // Monotonic nanoseconds; machAbsoluteTimeNs unless a test supplies its own.
  using Clock = std::function<uint64_t()>;

  static constexpr uint64_t levelIntervalNs = 125'000'000;
  static constexpr const char* durabilityQueueLabel = "com.vorlanthea.segment-durability";

  // Creates sessionDir/<mic|system> (a failure shows at the first open).
  // Numbering goes on from the highest segment index already in that
  // directory, so a restarted helper never replaces an earlier segment.
  SegmentWriter(std::string source, std::string sessionDir, double canonicalRate, int64_t canonicalChannels,
                int64_t segmentSeconds, uint64_t sessionStartNs, Clock clock = {});
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Opens segment seq + 1 (sealing or removing a segment still open).
  void open() VR_EXCLUDES(lock_);
  // Appends channel 0 of a Float32 buffer at the canonical rate; dropped
  // while paused or with no segment open. May checkpoint and rotate.
  // Returns the frames that reached the segment: 0 when dropped, fewer
  // than the buffer's when a write failed.
  int64_t write(const platform::audio::PCMBuffer& buffer) VR_EXCLUDES(lock_);
  // The same for a buffer whose first frame was captured at `captureNs`
  // (nothing: it follows on from the last one). On the session clock it is
  // placed by that time; the return value then also counts the frames the
  // clock left out on purpose, so a buffer handled whole returns its length.
  // `conversionRatio`: the device frames per nominal frame its converter
  // took it at, so that what the device delivered is measured at its
  // nominal rate.
  int64_t write(const platform::audio::PCMBuffer& buffer, std::optional<uint64_t> captureNs,
                double conversionRatio = 1.0) VR_EXCLUDES(lock_);
  // How far the last buffer written landed from where its capture time put
  // it on the session clock, in seconds (positive: it belongs later), when
  // it followed on from the one before; nothing otherwise. What the
  // source's converter's ratio corrects.
  std::optional<double> clockOffsetSeconds() VR_EXCLUDES(lock_);

  // The session clock. From the first beginRun on, the source keeps its
  // place on it: each segment covers the span of the clock its frames fill,
  // what did not arrive is written as silence (and reported as
  // "silence_injected_ms"), and what was captured before the run's anchor or
  // from its end on is left out. A run starts at the start of the session
  // and at each resume, and ends at each pause and at the stop; a seal
  // after its end fills the segment up to it, so that the sources, given
  // the same instants, leave out exactly the same span.
  void beginRun(uint64_t anchorNs);
  // The first run, anchored at the session's origin: the first frame that
  // reaches this writer or another writer sharing `origin` settles it.
  void beginFirstRun(std::shared_ptr<SessionOrigin> origin);
  void endRun(uint64_t endNs);
  // Last checkpoint, sync, close. The description of the segment when it
  // held frames, or on the session clock whenever a segment file was open
  // (so that every "segment_opened" gets its "segment_closed"); nothing
  // otherwise or with no segment open. Emits only
  // warnings: the caller builds the "segment_closed" events.
  std::optional<SealedSegData> sealFinal() VR_EXCLUDES(lock_);
  SourceHealth snapshotHealth(bool sourceFailed);
  bool shouldRotate() VR_EXCLUDES(lock_);

  bool paused();
  void setPaused(bool paused);
  // A segment file is open for appending.
  bool hasOpenSegment();
  // The index of the last segment closed with a file (0: none yet).
  int64_t lastClosedIndex() const { return lastClosedIndex_.load(std::memory_order_acquire); }
  // The "ctx" of the "writer_open_failed" warning when the last open left
  // the writer without a file; nothing once an open succeeded.
  std::optional<std::string> openFailure();

  // Plain fields for callers, without the writer's lock.
  int64_t seq() const { return seq_.load(std::memory_order_acquire); }
  int64_t checkpointsWritten() const { return checkpointsWritten_.load(std::memory_order_acquire); }
  int64_t nativeRateAtOpen() const { return nativeRateAtOpen_.load(std::memory_order_relaxed); }
  void setNativeRateAtOpen(int64_t v) { nativeRateAtOpen_.store(v, std::memory_order_relaxed); }
  int64_t nativeRateNow() const { return nativeRateNow_.load(std::memory_order_relaxed); }
  void setNativeRateNow(int64_t v) { nativeRateNow_.store(v, std::memory_order_relaxed); }
  int64_t nativeChannelsAtOpen() const { return nativeChannelsAtOpen_.load(std::memory_order_relaxed); }
  void setNativeChannelsAtOpen(int64_t v) { nativeChannelsAtOpen_.store(v, std::memory_order_relaxed); }
  int64_t nativeChannelsNow() const { return nativeChannelsNow_.load(std::memory_order_relaxed); }
  void setNativeChannelsNow(int64_t v) { nativeChannelsNow_.store(v, std::memory_order_relaxed); }

  const std::string& source() const { return source_; }

  static void emitSegFromData(const SealedSegData& data) { helper::emitSegFromData(data); }

  // Flushes a closed segment to storage later, on one serial utility queue
  // shared by all writers; every failure is ignored.
  static void scheduleDurabilitySync(const std::string& path);
  // Returns once every flush scheduled so far has run.
  static void waitForScheduledSyncs();

 private:
  // Tests read the events `open` and `write` would emit through this seam.
  friend class SegmentWriterTestAccess;

  // `open` and `write` returning their events instead of emitting them.
  std::vector<Event> openReturningEvents() VR_EXCLUDES(lock_);
  std::vector<Event> writeReturningEvents(const platform::audio::PCMBuffer& buffer) VR_EXCLUDES(lock_);
  std::vector<Event> openUnlocked() VR_REQUIRES(lock_);
  std::vector<Event> writeUnlocked(const platform::audio::PCMBuffer& buffer, std::optional<uint64_t> captureNs,
                                   double conversionRatio, int64_t& acceptedFrames) VR_REQUIRES(lock_);
  // Appends `frames` of the buffer from frame `first`; the frames that
  // reached the file.
  int64_t appendFramesUnlocked(const platform::audio::PCMBuffer& buffer, int64_t first, int64_t frames,
                               std::vector<Event>& events) VR_REQUIRES(lock_);
  // Counts the frames of session positions [from, to) as lost, once each.
  void countLossUnlocked(int64_t from, int64_t to) VR_REQUIRES(lock_);
  // Retries the creation of a segment that failed, when due.
  void retryFailedOpenUnlocked(std::vector<Event>& events) VR_REQUIRES(lock_);
  // Silence in place of frames that did not arrive, across rotations.
  void injectSilenceUnlocked(int64_t frames, std::vector<Event>& events) VR_REQUIRES(lock_);
  // After frames reached the segment: checkpoint and rotation.
  void afterFramesUnlocked(int64_t frames, bool wallClockRotation, std::vector<Event>& events) VR_REQUIRES(lock_);
  // Anchors a first run at the session's origin once it is known.
  void settleOriginUnlocked(uint64_t candidateNs) VR_REQUIRES(lock_);
  // Counts a timed buffer towards what the device delivered: `frames` at
  // its nominal rate.
  void countDeliveryUnlocked(uint64_t captureNs, double frames) VR_REQUIRES(lock_);
  // Fills the segment up to the end of the run (when it has ended).
  void fillToRunEndUnlocked(std::vector<Event>& events) VR_REQUIRES(lock_);
  std::vector<Event> rotateUnlocked() VR_REQUIRES(lock_);
  std::pair<std::optional<SealedSegData>, std::vector<Event>> sealFinalUnlocked() VR_REQUIRES(lock_);
  std::vector<Event> writeCheckpointUnlocked() VR_REQUIRES(lock_);
  bool shouldRotateUnlocked() const VR_REQUIRES(lock_);
  // True when all 68 header bytes reached the file; errno tells otherwise.
  bool writeCafHeader(int fd) const;
  // Levels of frames [first, first + count) of the buffer, every channel.
  std::optional<std::pair<float, float>> trackLevels(const platform::audio::PCMBuffer& buffer, int64_t first,
                                                     int64_t count) VR_REQUIRES(lock_);
  std::optional<Event> maybeBuildLevelEvent(float peak, float rms) VR_REQUIRES(lock_);

  SealedSegData captureSealDescription() const VR_REQUIRES(lock_);
  void foldCurrentSegment() VR_REQUIRES(lock_);
  // Reports failed writes of the ending segment not yet reported.
  void appendWriteFailureSummary(std::vector<Event>& events) VR_REQUIRES(lock_);
  void closeFile(bool sync) VR_REQUIRES(lock_);
  Event writerWarning(const std::string& code, const std::string& detail) const;
  int64_t rateAsInteger() const;
  std::string segmentPath(int64_t index) const;

  const std::string source_;
  const std::string sessionDir_;
  const std::string sourceSubdir_;
  const std::string segmentDir_;
  const double canonicalRate_;
  const int64_t canonicalChannels_;
  const int64_t segmentSeconds_;
  const uint64_t sessionStartNs_;
  const Clock clock_;

  std::mutex lock_ VR_ACQUIRED_AFTER(sessionLifecycleLock);  // guards every field below but the atomics
  int fd_ VR_GUARDED_BY(lock_) = -1;
  std::optional<std::string> currentURL_ VR_GUARDED_BY(lock_);
  bool ownsCurrentFile_ VR_GUARDED_BY(lock_) = false;  // the file at currentURL_ was created by this writer
  std::optional<std::string> openFailure_ VR_GUARDED_BY(lock_);
  // A segment that could not be created is retried, with its index, from
  // later writes at most this often; its failure is reported once.
  static constexpr uint64_t kOpenRetryIntervalNs = 250'000'000;
  uint64_t lastOpenAttemptNs_ VR_GUARDED_BY(lock_) = 0;
  int64_t openFailureReportedIndex_ VR_GUARDED_BY(lock_) = 0;
  std::atomic<int64_t> lastClosedIndex_{0};
  std::atomic<int64_t> seq_{0};
  uint64_t segStartNs_ VR_GUARDED_BY(lock_) = 0;
  int64_t framesWritten_ VR_GUARDED_BY(lock_) = 0;
  int64_t checkpointFramesSinceLast_ VR_GUARDED_BY(lock_) = 0;
  std::atomic<int64_t> checkpointsWritten_{0};
  float peakSample_ VR_GUARDED_BY(lock_) = 0;
  double sumSquares_ VR_GUARDED_BY(lock_) = 0;
  int64_t sampleCount_ VR_GUARDED_BY(lock_) = 0;
  SourceHealthAccumulator healthAccumulator_ VR_GUARDED_BY(lock_);
  uint64_t lastLevelEmitNs_ VR_GUARDED_BY(lock_) = 0;
  bool paused_ VR_GUARDED_BY(lock_) = false;
  bool captureStartedEmitted_ VR_GUARDED_BY(lock_) = false;
  std::atomic<int64_t> nativeRateAtOpen_{0};
  std::atomic<int64_t> nativeRateNow_{0};
  std::atomic<int64_t> nativeChannelsAtOpen_{0};
  std::atomic<int64_t> nativeChannelsNow_{0};

  // Sample writes that failed in the current segment: the first is
  // reported at once, the rest summed up when the segment ends.
  bool writeFailureReported_ VR_GUARDED_BY(lock_) = false;
  int64_t unreportedWriteFailures_ VR_GUARDED_BY(lock_) = 0;
  int64_t framesLostInSegment_ VR_GUARDED_BY(lock_) = 0;
  // On the session clock, the position up to which lost frames were
  // counted: silence retried for a span already lost is not lost again.
  int64_t lossCountedTo_ VR_GUARDED_BY(lock_) = 0;
  // An odd byte could not be cut off: nothing more is appended to this
  // segment, since every later sample would be misaligned.
  bool segmentUnwritable_ VR_GUARDED_BY(lock_) = false;
  std::vector<uint8_t> sampleBytes_ VR_GUARDED_BY(lock_);

  // The session clock (see beginRun); off until the first run.
  bool clocked_ VR_GUARDED_BY(lock_) = false;
  SessionRun run_ VR_GUARDED_BY(lock_);
  std::shared_ptr<SessionOrigin> pendingOrigin_
      VR_GUARDED_BY(lock_);                                        // the run's anchor is the origin, not settled yet
  std::optional<int64_t> clockOffsetFrames_ VR_GUARDED_BY(lock_);  // of the last buffer written
  bool runHasFrames_ VR_GUARDED_BY(lock_) = false;
  int64_t sessionFrames_ VR_GUARDED_BY(lock_) = 0;  // frames and silence written so far, every segment
  int64_t segSilenceFrames_ VR_GUARDED_BY(lock_) = 0;
  int64_t segOverlapFrames_ VR_GUARDED_BY(lock_) = 0;  // frames left out for lying behind what was placed
  // What the device delivered into this segment against the capture time
  // it took: consecutive buffers' frames (at the device's nominal rate) and
  // the time between their capture, outages apart.
  double segDeliveredFrames_ VR_GUARDED_BY(lock_) = 0;
  uint64_t segDeliveryNs_ VR_GUARDED_BY(lock_) = 0;
  std::optional<uint64_t> lastCaptureNs_ VR_GUARDED_BY(lock_);
  double lastCaptureFrames_ VR_GUARDED_BY(lock_) = 0;
  uint64_t lastGapNs_ VR_GUARDED_BY(lock_) = 0;  // capture time between the last two buffers beyond the first's audio
  // Real time the segment's share of the run began: where the last frames
  // of the run were written, whenever the segment was opened.
  uint64_t segOpenedNs_ VR_GUARDED_BY(lock_) = 0;
  std::optional<uint64_t> lastFrameInRunNs_ VR_GUARDED_BY(lock_);
};

// Seals the writer's segment (sealFinal) and announces it with its
// "segment_closed" events; what was sealed, if anything.
std::optional<SealedSegData> sealAndAnnounce(SegmentWriter& writer);
// A pause: the writer pauses and its segment is sealed and announced; the
// sealed segment's index when it held frames.
std::optional<int64_t> pauseAndSeal(SegmentWriter& writer);
// The stop: a writer still recording seals and announces its segment. The
// index of the last segment closed (the seal's fill may rotate, and an
// index whose file could not be created was never a segment).
int64_t sealForStop(SegmentWriter& writer);

}  // namespace helper
