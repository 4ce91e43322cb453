#include "helper/core/capture/capture_state.h"

#include <chrono>
#include <thread>

#include "helper/core/entry/clock.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/system/system_source.h"

namespace helper {
namespace {

std::shared_ptr<SegmentWriter> makeWriter(const char* source, const CaptureConfig& c, int64_t channels,
                                          uint64_t startNs) {
  return std::make_shared<SegmentWriter>(source, c.sessionDir, c.canonicalRate, channels, c.segmentSeconds, startNs);
}

}  // namespace

CaptureState::CaptureState(CaptureConfig config)
    : config_(std::move(config)),
      sessionStartNs_(machAbsoluteTimeNs()),
      sessionOrigin_(std::make_shared<SessionOrigin>()) {
  if (config_.includeMic) {
    mic_ = MicSource::make(*this, makeWriter("mic", config_, config_.canonicalMicChannels, sessionStartNs_));
  }
  if (config_.includeSystem) {
    system_ =
        SystemSource::make(*this, makeWriter("system", config_, config_.canonicalSystemChannels, sessionStartNs_));
  }
}

CaptureState::~CaptureState() {
  // The sources' threads and callbacks reach into this session: they stop first.
  system_.reset();
  mic_.reset();
}

void CaptureState::startSessionClock() {
  onSessionClock_.store(true);
  for (SegmentWriter* writer : writersOf(true, true)) writer->beginFirstRun(sessionOrigin_);
}

void CaptureState::beginSourceRuns(uint64_t atNs, bool mic, bool system) {
  if (!onSessionClock_.load()) return;
  for (SegmentWriter* writer : writersOf(mic, system)) writer->beginRun(atNs);
}

void CaptureState::endSourceRuns(uint64_t atNs, bool mic, bool system) {
  if (!onSessionClock_.load()) return;
  for (SegmentWriter* writer : writersOf(mic, system)) writer->endRun(atNs);
}

std::vector<SegmentWriter*> CaptureState::writersOf(bool mic, bool system) const {
  std::vector<SegmentWriter*> writers;
  if (mic && mic_) writers.push_back(mic_->writer().get());
  if (system && system_) writers.push_back(system_->writer().get());
  return writers;
}

MicRouteFacts CaptureState::micRouteFacts() const {
  MicRouteFacts facts;
  if (!mic_) return facts;
  facts.nativeRate = mic_->writer()->nativeRateNow();
  facts.uid = mic_->deviceUID();
  facts.name = mic_->deviceName();
  facts.routeKind = mic_->routeKind();
  return facts;
}

void CaptureState::cancelSourceRecoveries(const std::string& reason) {
  helper::cancelSourceRecoveries(*this, mic_ ? &mic_->recovery() : nullptr, system_ ? &system_->recovery() : nullptr,
                                 reason);
}

std::unique_lock<std::mutex> CaptureState::lockLifecycleUnlessStopping() {
  std::unique_lock lock(lifecycleLock_, std::defer_lock);
  // Polled, not blocking: once a stop is claimed it holds the lock until
  // the process ends.
  while (!lock.try_lock()) {
    if (isStopClaimed()) return lock;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (isStopClaimed()) lock.unlock();
  return lock;
}

bool CaptureState::isStopClaimed() const {
  std::lock_guard lock(stopClaimLock_);
  return stopClaimed_;
}

}  // namespace helper
