#include "helper/core/system/system_source.h"

#include <utility>

#include "helper/core/system/system_tap_rebuild.h"

namespace helper {

std::shared_ptr<SystemSource> SystemSource::make(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                                                 SystemPipeline::FrameProofSink proofSink) {
  std::shared_ptr<SystemSource> system(new SystemSource(session, std::move(writer), std::move(proofSink)));
  std::weak_ptr<SystemSource> weak = system;
  system->recovery_->setRetry([weak](const std::string& reason, int64_t attempt) {
    if (auto self = weak.lock()) scheduleSystemTapRebuildForRecoveryRetry(*self, reason, attempt);
  });
  return system;
}

SystemSource::SystemSource(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                           SystemPipeline::FrameProofSink proofSink)
    : session_(session),
      writer_(std::move(writer)),
      recovery_(SourceRecovery::make(Source::system, session)),
      pipeline_(std::make_unique<SystemPipeline>(writer_, emitEvent, std::move(proofSink))) {}

SystemSource::~SystemSource() { pipeline_.reset(); }

std::string SystemSource::outputUID() const {
  std::lock_guard lock(outputLock_);
  return outputUID_;
}

std::string SystemSource::outputName() const {
  std::lock_guard lock(outputLock_);
  return outputName_;
}

std::optional<OutputDeviceClassification> SystemSource::outputClassification() const {
  std::lock_guard lock(outputLock_);
  return outputClassification_;
}

void SystemSource::setOutputDevice(std::string uid, std::string name, OutputDeviceClassification classification) {
  std::lock_guard lock(outputLock_);
  outputUID_ = std::move(uid);
  outputName_ = std::move(name);
  outputClassification_ = std::move(classification);
}

void SystemSource::forgetOutputDevice() {
  std::lock_guard lock(outputLock_);
  outputUID_.clear();
  outputName_.clear();
}

bool SystemSource::claimRebuildSlot(const std::string& reason) {
  std::lock_guard lock(rebuildLock_);
  if (!rebuildScheduled_) {
    rebuildScheduled_ = true;
    return true;
  }
  rebuildRecheckReason_ = reason;
  return false;
}

std::optional<std::string> SystemSource::releaseRebuildSlot() {
  std::lock_guard lock(rebuildLock_);
  rebuildScheduled_ = false;
  return std::exchange(rebuildRecheckReason_, std::nullopt);
}

bool SystemSource::rebuildScheduled() const {
  std::lock_guard lock(rebuildLock_);
  return rebuildScheduled_;
}

void SystemSource::rememberRebuildSkippedWhilePaused(const std::string& reason) {
  std::lock_guard lock(rebuildLock_);
  rebuildSkippedWhilePausedReason_ = reason;
}

std::optional<std::string> SystemSource::takeRebuildSkippedWhilePaused() {
  std::lock_guard lock(rebuildLock_);
  return std::exchange(rebuildSkippedWhilePausedReason_, std::nullopt);
}

}  // namespace helper
