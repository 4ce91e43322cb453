#include "helper/core/segments/segment_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/segments/caf_segment.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

namespace fs = std::filesystem;
using platform::audio::PCMBuffer;

constexpr auto kBytesPerFrame = static_cast<int64_t>(segment_format::kBytesPerFrame);
constexpr auto kCheckpointIntervalFrames = static_cast<int64_t>(segment_format::kCheckpointIntervalFrames);
constexpr auto kFramesPerSegment = static_cast<int64_t>(segment_format::kFramesPerSegment);

std::string absoluteSegmentDir(const std::string& sessionDir, const std::string& subdir) {
  std::error_code ec;
  fs::path base = fs::absolute(sessionDir.empty() ? fs::path(".") : fs::path(sessionDir), ec);
  if (ec) base = sessionDir;
  return (base.lexically_normal() / subdir).string();
}

const platform::dispatch::QueuePtr& durabilityQueue() {
  static const platform::dispatch::QueuePtr queue =
      platform::dispatch::makeSerialQueue(SegmentWriter::durabilityQueueLabel, platform::dispatch::Qos::utility);
  return queue;
}

std::string errnoText(int err) { return std::string(std::strerror(err)) + " (errno " + std::to_string(err) + ")"; }

// The level figures of one sample. A NaN is measured as the silence the
// file stores for it and an infinity as full scale; a huge finite value is
// squared in double precision. So every figure stays a finite number.
inline void measureSample(float x, float& magnitude, double& square) {
  if (std::isnan(x)) {
    magnitude = 0.0f;
    square = 0.0;
    return;
  }
  if (std::isinf(x)) {
    magnitude = 1.0f;
    square = 1.0;
    return;
  }
  magnitude = std::fabs(x);
  const float q = x * x;
  square = std::isinf(q) ? static_cast<double>(x) * static_cast<double>(x) : static_cast<double>(q);
}

}  // namespace

SegmentWriter::SegmentWriter(std::string source, std::string sessionDir, double canonicalRate,
                             int64_t canonicalChannels, int64_t segmentSeconds, uint64_t sessionStartNs, Clock clock)
    : source_(std::move(source)),
      sessionDir_(std::move(sessionDir)),
      sourceSubdir_(segmentSourceSubdir(source_)),
      segmentDir_(absoluteSegmentDir(sessionDir_, sourceSubdir_)),
      canonicalRate_(canonicalRate),
      canonicalChannels_(canonicalChannels),
      segmentSeconds_(segmentSeconds),
      sessionStartNs_(sessionStartNs),
      clock_(clock ? std::move(clock) : Clock(machAbsoluteTimeNs)) {
  std::error_code ec;
  fs::create_directories(segmentDir_, ec);
  seq_.store(highestSegmentIndexIn(segmentDir_), std::memory_order_release);
}

SegmentWriter::~SegmentWriter() {
  if (fd_ >= 0) ::close(fd_);
}

// ---- public operations: lock, work, unlock, then emit ----

void SegmentWriter::open() { emitAll(openReturningEvents()); }

int64_t SegmentWriter::write(const PCMBuffer& buffer) { return write(buffer, std::nullopt); }

int64_t SegmentWriter::write(const PCMBuffer& buffer, std::optional<uint64_t> captureNs, double conversionRatio) {
  int64_t accepted = 0;
  std::vector<Event> events;
  {
    std::lock_guard lock(lock_);
    events = writeUnlocked(buffer, captureNs, conversionRatio, accepted);
  }
  emitAll(events);
  return accepted;
}

std::optional<double> SegmentWriter::clockOffsetSeconds() {
  std::lock_guard lock(lock_);
  if (!clockOffsetFrames_ || !(canonicalRate_ > 0)) return std::nullopt;
  return static_cast<double>(*clockOffsetFrames_) / canonicalRate_;
}

void SegmentWriter::beginRun(uint64_t anchorNs) {
  std::lock_guard lock(lock_);
  // After a pause the run goes on from where the last one ended, whether
  // or not a segment was open to be filled up to there.
  const int64_t base = clocked_ ? run_.endFrames.value_or(sessionFrames_) : sessionFrames_;
  clocked_ = true;
  run_ = SessionRun{anchorNs, base, canonicalRate_, std::nullopt};
  pendingOrigin_.reset();
  runHasFrames_ = false;
  clockOffsetFrames_.reset();
  lastFrameInRunNs_.reset();
  lastCaptureNs_.reset();
  lastGapNs_ = 0;
}

void SegmentWriter::beginFirstRun(std::shared_ptr<SessionOrigin> origin) {
  std::lock_guard lock(lock_);
  clocked_ = true;
  run_ = SessionRun{0, sessionFrames_, canonicalRate_, std::nullopt};
  pendingOrigin_ = std::move(origin);
  runHasFrames_ = false;
  clockOffsetFrames_.reset();
  lastFrameInRunNs_.reset();
  lastCaptureNs_.reset();
  lastGapNs_ = 0;
}

void SegmentWriter::endRun(uint64_t endNs) {
  std::lock_guard lock(lock_);
  if (!clocked_ || run_.endFrames) return;
  settleOriginUnlocked(endNs);
  run_.endFrames = std::max(run_.baseFrames, sessionPositionOf(run_, endNs));
}

std::vector<Event> SegmentWriter::openReturningEvents() {
  std::lock_guard lock(lock_);
  return openUnlocked();
}

std::vector<Event> SegmentWriter::writeReturningEvents(const PCMBuffer& buffer) {
  std::lock_guard lock(lock_);
  int64_t accepted = 0;
  return writeUnlocked(buffer, std::nullopt, 1.0, accepted);
}

std::optional<SealedSegData> SegmentWriter::sealFinal() {
  std::pair<std::optional<SealedSegData>, std::vector<Event>> result;
  {
    std::lock_guard lock(lock_);
    std::vector<Event> filled;
    fillToRunEndUnlocked(filled);
    result = sealFinalUnlocked();
    filled.insert(filled.end(), result.second.begin(), result.second.end());
    result.second = std::move(filled);
  }
  emitAll(result.second);
  return result.first;
}

SourceHealth SegmentWriter::snapshotHealth(bool sourceFailed) {
  std::lock_guard lock(lock_);
  return healthAccumulator_.snapshot(sourceFailed);
}

bool SegmentWriter::shouldRotate() {
  std::lock_guard lock(lock_);
  return shouldRotateUnlocked();
}

bool SegmentWriter::paused() {
  std::lock_guard lock(lock_);
  return paused_;
}

bool SegmentWriter::hasOpenSegment() {
  std::lock_guard lock(lock_);
  return fd_ >= 0;
}

std::optional<std::string> SegmentWriter::openFailure() {
  std::lock_guard lock(lock_);
  return openFailure_;
}

void SegmentWriter::setPaused(bool paused) {
  std::lock_guard lock(lock_);
  paused_ = paused;
}

void SegmentWriter::scheduleDurabilitySync(const std::string& path) {
  durabilityQueue()->async([path] {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
  });
}

void SegmentWriter::waitForScheduledSyncs() {
  durabilityQueue()->sync([] {});
}

// ---- internals, called with lock_ held ----

void SegmentWriter::settleOriginUnlocked(uint64_t candidateNs) {
  if (!pendingOrigin_) return;
  run_.anchorNs = pendingOrigin_->settle(candidateNs);
  pendingOrigin_.reset();
  // The segment open since before the origin starts where the run does.
  if (fd_ >= 0 && framesWritten_ == 0) segStartNs_ = sessionHostTimeOf(run_, sessionFrames_);
}

void SegmentWriter::countDeliveryUnlocked(uint64_t captureNs, double frames) {
  // The capture time between two buffers beyond what the first one holds
  // is a gap. A device short of its rate leaves a gap after every buffer
  // (a long one after each of a few buffers, or a short one after each of
  // many): that shortfall is measured. A gap longer than kOutageNs that its
  // cadence does not explain (more than twice the gap before it: a device
  // that stopped and came back) is an outage, whose silence the writer
  // places: no measure of the device's rate.
  static constexpr uint64_t kOutageNs = 250'000'000;
  if (lastCaptureNs_ && captureNs > *lastCaptureNs_ && canonicalRate_ > 0) {
    const uint64_t span = captureNs - *lastCaptureNs_;
    const double heldNs = lastCaptureFrames_ * 1e9 / canonicalRate_;
    const uint64_t gap =
        static_cast<double>(span) > heldNs ? static_cast<uint64_t>(static_cast<double>(span) - heldNs) : 0;
    const bool outage = gap > kOutageNs && gap > 2 * lastGapNs_;
    lastGapNs_ = gap;
    if (!outage) {
      segDeliveredFrames_ += lastCaptureFrames_;
      segDeliveryNs_ += span;
    }
  }
  lastCaptureNs_ = captureNs;
  lastCaptureFrames_ = frames;
}

int64_t SegmentWriter::rateAsInteger() const {
  if (!std::isfinite(canonicalRate_) || std::fabs(canonicalRate_) >= 9.2e18) return 0;
  return static_cast<int64_t>(canonicalRate_);
}

std::string SegmentWriter::segmentPath(int64_t index) const { return segmentDir_ + "/" + segmentFileName(index); }

Event SegmentWriter::writerWarning(const std::string& code, const std::string& detail) const {
  return Event{{"type", "warning"}, {"code", code}, {"ctx", source_ + " seg " + std::to_string(seq()) + ": " + detail}};
}

SealedSegData SegmentWriter::captureSealDescription() const {
  auto toMs = [this](int64_t frames) {
    return canonicalRate_ >= 1 ? static_cast<int64_t>(static_cast<double>(frames) * 1000.0 / canonicalRate_) : 0;
  };
  SealedSegData d;
  d.segmentPath = currentURL_.value_or("");
  d.source = source_;
  d.seq = seq();
  d.frames = framesWritten_;
  d.peak = peakSample_;
  d.rms = sampleCount_ > 0 ? static_cast<float>(std::sqrt(sumSquares_ / static_cast<double>(sampleCount_))) : 0.0f;
  d.startNs = segStartNs_;
  d.rate = rateAsInteger();
  d.channels = canonicalChannels_;
  d.nativeRateAtOpen = nativeRateAtOpen();
  d.nativeRateAtClose = nativeRateNow();
  d.nativeChannelsAtOpen = nativeChannelsAtOpen();
  d.nativeChannelsAtClose = nativeChannelsNow();
  if (clocked_) {
    d.clockEndNs = sessionHostTimeOf(run_, sessionFrames_);
    d.overlapDroppedMs = toMs(segOverlapFrames_);
    d.audioFrames = framesWritten_ - segSilenceFrames_;
    d.deliveredFrames = std::llround(segDeliveredFrames_);
    d.deliveryNs = segDeliveryNs_;
    d.silenceInjectedMs = toMs(segSilenceFrames_);
  }
  return d;
}

void SegmentWriter::foldCurrentSegment() { healthAccumulator_.foldSegment(peakSample_, sumSquares_, sampleCount_); }

void SegmentWriter::appendWriteFailureSummary(std::vector<Event>& events) {
  if (unreportedWriteFailures_ == 0) return;
  events.push_back(
      writerWarning("writer_write_failed", std::to_string(unreportedWriteFailures_) + " further writes failed; " +
                                               std::to_string(framesLostInSegment_) + " frames lost in this segment"));
  unreportedWriteFailures_ = 0;
}

void SegmentWriter::closeFile(bool sync) {
  if (fd_ >= 0) {
    if (sync) ::fsync(fd_);
    ::close(fd_);
  }
  fd_ = -1;
  currentURL_.reset();
  ownsCurrentFile_ = false;
}

bool SegmentWriter::writeCafHeader(int fd) const {
  const auto header = buildCafHeader(canonicalRate_);
  return writeFully(fd, header.data(), header.size()) == header.size();
}

std::vector<Event> SegmentWriter::openUnlocked() {
  std::vector<Event> events;
  // After a failed creation there is no file to close, and its index is
  // tried again, so that the numbering keeps no hole.
  const bool retrying = openFailure_.has_value() && fd_ < 0;
  if (retrying) {
    currentURL_.reset();
  } else if (currentURL_) {
    if (fd_ >= 0 && framesWritten_ > 0) {
      const SealedSegData desc = captureSealDescription();
      foldCurrentSegment();
      for (auto& e : writeCheckpointUnlocked()) events.push_back(std::move(e));
      appendWriteFailureSummary(events);
      const std::string path = *currentURL_;
      closeFile(true);
      events.push_back(writerWarning(
          "writer_reopened_active_segment",
          "open called while segment had " + std::to_string(framesWritten_) + " frames; sealed before reopening"));
      for (auto& e : buildSegClosedEventsAt(desc, clock_())) events.push_back(std::move(e));
      lastClosedIndex_.store(desc.seq, std::memory_order_release);
      scheduleDurabilitySync(path);
    } else if (clocked_) {
      // On the session clock an empty segment stays, so that the numbering
      // keeps no hole a later reader would fill with a whole segment's
      // silence, and is closed as it was opened.
      const SealedSegData desc = captureSealDescription();
      closeFile(false);
      events.push_back(writerWarning("writer_reopened_empty_segment",
                                     "open called before frames arrived; kept the empty segment and reopened"));
      for (auto& e : buildSegClosedEventsAt(desc, clock_())) events.push_back(std::move(e));
      lastClosedIndex_.store(desc.seq, std::memory_order_release);
    } else {
      const std::string path = *currentURL_;
      const bool owned = ownsCurrentFile_;
      closeFile(false);
      if (owned) {
        // Only files this writer created are removed: a segment it failed
        // to create may be someone else's.
        ::unlink(checkpointTempPathFor(path).c_str());
        ::unlink(checkpointPathFor(path).c_str());
        ::unlink(path.c_str());
      }
      events.push_back(writerWarning("writer_reopened_empty_segment",
                                     "open called before frames arrived; removed empty segment before reopening"));
    }
  }

  int64_t index = retrying ? seq() : seq() + 1;
  std::string path = segmentPath(index);
  // O_EXCL: an existing segment is never truncated. One that appeared since
  // the directory was scanned moves numbering past the highest index.
  int fd = -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) break;
    const int64_t highest = highestSegmentIndexIn(segmentDir_);
    index = highest >= index ? highest + 1 : index + 1;
    path = segmentPath(index);
  }

  seq_.store(index, std::memory_order_release);
  const uint64_t now = clock_();
  lastOpenAttemptNs_ = now;
  segStartNs_ = clocked_ ? sessionHostTimeOf(run_, sessionFrames_) : now;
  segOpenedNs_ = clocked_ && lastFrameInRunNs_ ? *lastFrameInRunNs_ : now;
  segSilenceFrames_ = 0;
  segOverlapFrames_ = 0;
  segDeliveredFrames_ = 0;
  segDeliveryNs_ = 0;
  framesWritten_ = 0;
  checkpointFramesSinceLast_ = 0;
  checkpointsWritten_.store(0, std::memory_order_release);
  peakSample_ = 0;
  sumSquares_ = 0;
  sampleCount_ = 0;
  writeFailureReported_ = false;
  unreportedWriteFailures_ = 0;
  framesLostInSegment_ = 0;
  segmentUnwritable_ = false;
  setNativeRateAtOpen(nativeRateNow());
  setNativeChannelsAtOpen(nativeChannelsNow());
  currentURL_ = path;
  ownsCurrentFile_ = false;

  if (fd < 0) {
    Event warning = writerWarning("writer_open_failed", "cannot create file at " + path);
    openFailure_ = warning["ctx"].get<std::string>();
    // Retries of the same index stay quiet until one succeeds.
    if (openFailureReportedIndex_ != index) events.push_back(std::move(warning));
    openFailureReportedIndex_ = index;
    return events;
  }
  if (!writeCafHeader(fd)) {
    // A file without its whole header is no segment: remove it and stay
    // without a file, as when it could not be created.
    const int err = errno;
    ::close(fd);
    ::unlink(path.c_str());
    Event warning = writerWarning("writer_open_failed", "cannot write header to " + path + ": " + errnoText(err));
    openFailure_ = warning["ctx"].get<std::string>();
    if (openFailureReportedIndex_ != index) events.push_back(std::move(warning));
    openFailureReportedIndex_ = index;
    return events;
  }
  openFailure_.reset();
  openFailureReportedIndex_ = 0;
  fd_ = fd;
  ownsCurrentFile_ = true;
  events.push_back(Event{{"type", "segment_opened"},
                         {"source", source_},
                         {"index", index},
                         {"path", path},
                         {"sample_rate", rateAsInteger()},
                         {"channels", canonicalChannels_}});
  return events;
}

std::vector<Event> SegmentWriter::writeUnlocked(const PCMBuffer& buffer, std::optional<uint64_t> captureNs,
                                                double conversionRatio, int64_t& acceptedFrames) {
  std::vector<Event> events;
  acceptedFrames = 0;
  clockOffsetFrames_.reset();
  if (!paused_ && fd_ < 0) retryFailedOpenUnlocked(events);
  if (paused_ || fd_ < 0) return events;
  const int64_t frameLength = buffer.frameLength();
  if (segmentUnwritable_) {
    if (frameLength > 0) {
      ++unreportedWriteFailures_;
      framesLostInSegment_ += frameLength;
    }
    return events;
  }
  SessionPlacement place{0, 0, frameLength, 0, std::nullopt};
  if (clocked_) {
    settleOriginUnlocked(captureNs.value_or(clock_()));
    place = placeOnSessionClock(run_, sessionFrames_, runHasFrames_, frameLength, captureNs);
    if (captureNs && frameLength > 0) {
      const double ratio = conversionRatio > 0 ? conversionRatio : 1.0;
      countDeliveryUnlocked(*captureNs, static_cast<double>(frameLength) * ratio);
    }
    segOverlapFrames_ += place.overlap;
  }
  if (place.fill > 0) {
    const int64_t target = sessionFrames_ + place.fill;
    injectSilenceUnlocked(place.fill, events);
    if (fd_ < 0 || segmentUnwritable_) return events;
    if (sessionFrames_ < target) {
      // Without the silence before it the buffer would land early: it is
      // lost where it belongs.
      countLossUnlocked(target, target + place.keep);
      return events;
    }
  }
  const auto levels = trackLevels(buffer, place.skip, place.keep);
  if (place.keep == 0) {
    // Left out by the clock, or empty: handled, nothing to write.
    acceptedFrames = frameLength > 0 && clocked_ ? frameLength : 0;
    return events;
  }
  const int64_t accepted = appendFramesUnlocked(buffer, place.skip, place.keep, events);
  if (accepted == 0) return events;
  acceptedFrames = accepted == place.keep ? frameLength - place.keep + accepted : accepted;
  runHasFrames_ = true;
  clockOffsetFrames_ = place.offset;

  if (!captureStartedEmitted_) {
    captureStartedEmitted_ = true;
    events.push_back(Event{{"type", "capture_started"},
                           {"source", source_},
                           {"sample_rate", rateAsInteger()},
                           {"channels", canonicalChannels_}});
  }
  if (levels) {
    if (auto level = maybeBuildLevelEvent(levels->first, levels->second)) events.push_back(std::move(*level));
  }
  afterFramesUnlocked(accepted, true, events);
  return events;
}

void SegmentWriter::retryFailedOpenUnlocked(std::vector<Event>& events) {
  if (!openFailure_) return;
  const uint64_t now = clock_();
  if (now >= lastOpenAttemptNs_ && now - lastOpenAttemptNs_ < kOpenRetryIntervalNs) return;
  for (auto& e : openUnlocked()) events.push_back(std::move(e));
}

void SegmentWriter::countLossUnlocked(int64_t from, int64_t to) {
  if (to <= from) return;
  if (!clocked_) {
    framesLostInSegment_ += to - from;
    return;
  }
  framesLostInSegment_ += std::max<int64_t>(0, to - std::max(from, lossCountedTo_));
  lossCountedTo_ = std::max(lossCountedTo_, to);
}

int64_t SegmentWriter::appendFramesUnlocked(const PCMBuffer& buffer, int64_t first, int64_t frames,
                                            std::vector<Event>& events) {
  convertFloat32ToInt16(buffer, sampleBytes_);
  const size_t offset = static_cast<size_t>(first * kBytesPerFrame);
  const size_t length = static_cast<size_t>(frames * kBytesPerFrame);
  const size_t written = writeFully(fd_, sampleBytes_.data() + offset, length);
  // Only whole frames that reached the file count.
  const int64_t accepted = static_cast<int64_t>(written / kBytesPerFrame);
  if (written != length) {
    const int err = errno;
    countLossUnlocked(sessionFrames_ + accepted, sessionFrames_ + frames);
    std::string detail = "wrote " + std::to_string(written) + " of " + std::to_string(length) +
                         " bytes: " + errnoText(err) + "; kept " + std::to_string(accepted) + " of " +
                         std::to_string(frames) + " frames";
    if (written % kBytesPerFrame != 0 && ::ftruncate(fd_, segmentFileBytes(framesWritten_ + accepted)) != 0) {
      segmentUnwritable_ = true;
      detail += "; cannot cut the partial frame (" + errnoText(errno) + "), segment closed to further writes";
    }
    if (!writeFailureReported_) {
      writeFailureReported_ = true;
      events.push_back(writerWarning("writer_write_failed", detail));
    } else {
      ++unreportedWriteFailures_;
    }
  }
  framesWritten_ += accepted;
  sessionFrames_ += accepted;
  if (clocked_ && accepted > 0) lastFrameInRunNs_ = clock_();
  return accepted;
}

void SegmentWriter::injectSilenceUnlocked(int64_t frames, std::vector<Event>& events) {
  static constexpr int64_t kZeroFrames = 4800;
  static const std::array<uint8_t, kZeroFrames * kBytesPerFrame> zeros{};
  while (frames > 0 && fd_ >= 0 && !segmentUnwritable_) {
    // A full segment is cut before more goes in, even while a pause fills
    // up to its instant.
    if (framesWritten_ >= kFramesPerSegment) {
      for (auto& e : rotateUnlocked()) events.push_back(std::move(e));
      if (fd_ < 0) return;
    }
    int64_t n = std::min(frames, kZeroFrames);
    // Cut where a segment of frames would be cut.
    if (framesWritten_ < kFramesPerSegment) n = std::min(n, kFramesPerSegment - framesWritten_);
    const size_t length = static_cast<size_t>(n * kBytesPerFrame);
    const size_t written = writeFully(fd_, zeros.data(), length);
    const int64_t accepted = static_cast<int64_t>(written / kBytesPerFrame);
    if (written != length) {
      const int err = errno;
      countLossUnlocked(sessionFrames_ + accepted, sessionFrames_ + n);
      if (written % kBytesPerFrame != 0 && ::ftruncate(fd_, segmentFileBytes(framesWritten_ + accepted)) != 0) {
        segmentUnwritable_ = true;
      }
      if (!writeFailureReported_) {
        writeFailureReported_ = true;
        events.push_back(writerWarning("writer_write_failed", "wrote " + std::to_string(written) + " of " +
                                                                  std::to_string(length) +
                                                                  " bytes of silence: " + errnoText(err)));
      } else {
        ++unreportedWriteFailures_;
      }
    }
    framesWritten_ += accepted;
    sessionFrames_ += accepted;
    segSilenceFrames_ += accepted;
    if (accepted > 0) lastFrameInRunNs_ = clock_();
    frames -= n;
    if (accepted == 0) return;
    // A long outage within one segment must not cut it into pieces.
    afterFramesUnlocked(accepted, false, events);
  }
}

void SegmentWriter::afterFramesUnlocked(int64_t frames, bool wallClockRotation, std::vector<Event>& events) {
  checkpointFramesSinceLast_ += frames;
  if (checkpointFramesSinceLast_ >= kCheckpointIntervalFrames) {
    for (auto& e : writeCheckpointUnlocked()) events.push_back(std::move(e));
    checkpointFramesSinceLast_ = 0;
  }
  const bool rotate = wallClockRotation ? shouldRotateUnlocked() : (!paused_ && framesWritten_ >= kFramesPerSegment);
  if (rotate) {
    for (auto& e : rotateUnlocked()) events.push_back(std::move(e));
  }
}

void SegmentWriter::fillToRunEndUnlocked(std::vector<Event>& events) {
  if (!clocked_ || !run_.endFrames || fd_ < 0 || !currentURL_) return;
  const int64_t missing = *run_.endFrames - sessionFrames_;
  if (missing > 0) injectSilenceUnlocked(missing, events);
}

std::optional<std::pair<float, float>> SegmentWriter::trackLevels(const PCMBuffer& buffer, int64_t first,
                                                                  int64_t count) {
  const auto& format = buffer.format();
  if (format.commonFormat() != platform::audio::CommonFormat::pcmFloat32) return std::nullopt;
  const int64_t n = count;
  const int64_t c = format.channelCount();
  float bufferPeak = 0.0f;
  double bufferSum = 0.0;
  int64_t visited = 0;
  auto visit = [&](const float* samples, int64_t count) VR_REQUIRES(lock_) {
    for (int64_t i = 0; i < count; ++i) {
      float a;
      double q;
      measureSample(samples[i], a, q);
      if (a > peakSample_) peakSample_ = a;
      if (a > bufferPeak) bufferPeak = a;
      sumSquares_ += q;
      bufferSum += q;
    }
    visited += count;
  };
  if (format.isInterleaved()) {
    if (buffer.blockCount() == 0 || buffer.block(0).data == nullptr) return std::nullopt;
    if (n * c == 0) return std::make_pair(0.0f, 0.0f);
    visit(static_cast<const float*>(buffer.block(0).data) + first * c, n * c);
  } else {
    float* const* channels = buffer.floatChannelData();
    if (channels == nullptr) return std::nullopt;
    if (c == 0) return std::make_pair(0.0f, 0.0f);
    for (int64_t ch = 0; ch < c; ++ch) visit(channels[ch] + first, n);
  }
  sampleCount_ += visited;
  const float rms = visited > 0 ? static_cast<float>(std::sqrt(bufferSum / static_cast<double>(visited))) : 0.0f;
  return std::make_pair(bufferPeak, rms);
}

std::optional<Event> SegmentWriter::maybeBuildLevelEvent(float peak, float rms) {
  const uint64_t t = clock_();
  if (lastLevelEmitNs_ != 0 && t - lastLevelEmitNs_ < levelIntervalNs) return std::nullopt;
  lastLevelEmitNs_ = t;
  return Event{{"type", "level"},
               {"source", source_},
               {"peak", floatForJson(peak)},
               {"rms", floatForJson(rms)},
               {"ts", static_cast<int64_t>(t)}};
}

bool SegmentWriter::shouldRotateUnlocked() const {
  if (paused_ || fd_ < 0) return false;
  if (framesWritten_ >= kFramesPerSegment) return true;
  const uint64_t now = clock_();
  const uint64_t openedNs = clocked_ ? segOpenedNs_ : segStartNs_;
  if (now < openedNs) return false;
  return static_cast<double>(now - openedNs) / 1e9 >= static_cast<double>(segmentSeconds_) + 30.0;
}

std::vector<Event> SegmentWriter::rotateUnlocked() {
  std::vector<Event> events;
  if (!currentURL_) return events;
  const SealedSegData desc = captureSealDescription();
  if (framesWritten_ > 0) foldCurrentSegment();
  for (auto& e : writeCheckpointUnlocked()) events.push_back(std::move(e));
  appendWriteFailureSummary(events);
  const std::string path = *currentURL_;
  closeFile(false);
  for (auto& e : buildSegClosedEventsAt(desc, clock_())) events.push_back(std::move(e));
  lastClosedIndex_.store(desc.seq, std::memory_order_release);
  scheduleDurabilitySync(path);
  for (auto& e : openUnlocked()) events.push_back(std::move(e));
  return events;
}

std::pair<std::optional<SealedSegData>, std::vector<Event>> SegmentWriter::sealFinalUnlocked() {
  std::pair<std::optional<SealedSegData>, std::vector<Event>> out;
  if (fd_ < 0 || !currentURL_) return out;
  const SealedSegData desc = captureSealDescription();
  if (framesWritten_ > 0) foldCurrentSegment();
  out.second = writeCheckpointUnlocked();
  appendWriteFailureSummary(out.second);
  closeFile(true);
  if (framesWritten_ > 0 || clocked_) {
    out.first = desc;
    lastClosedIndex_.store(desc.seq, std::memory_order_release);
  }
  return out;
}

std::vector<Event> SegmentWriter::writeCheckpointUnlocked() {
  if (!currentURL_) return {};
  CheckpointSidecar sidecar;
  sidecar.segmentIndex = seq();
  sidecar.framesWritten = framesWritten_;
  const uint64_t now = clock_();
  sidecar.wallTimeMsAtCheckpoint =
      now >= sessionStartNs_ ? static_cast<int64_t>((now - sessionStartNs_) / 1'000'000) : 0;
  sidecar.audioTimeMsAtCheckpoint = checkpointAudioTimeMs(framesWritten_, canonicalRate_);
  sidecar.checkpointAtUtc = formatUtcIso8601Ms(wallClockMs());
  if (auto error = writeCheckpointSidecarFile(*currentURL_, sidecar)) {
    return {writerWarning("checkpoint_write_failed", *error)};
  }
  checkpointsWritten_.fetch_add(1, std::memory_order_acq_rel);
  return {};
}

std::optional<SealedSegData> sealAndAnnounce(SegmentWriter& writer) {
  auto sealed = writer.sealFinal();
  if (sealed) emitSegFromData(*sealed);
  return sealed;
}

std::optional<int64_t> pauseAndSeal(SegmentWriter& writer) {
  writer.setPaused(true);
  auto sealed = sealAndAnnounce(writer);
  if (!sealed) return std::nullopt;
  return sealed->seq;
}

int64_t sealForStop(SegmentWriter& writer) {
  if (!writer.paused()) sealAndAnnounce(writer);
  return writer.lastClosedIndex();
}

}  // namespace helper
