#include "helper/core/mic/mic_source.h"

#include <utility>

#include "helper/core/mic/mic_recovery_retry.h"
#include "platform/audio/engine/converter.h"
#include "platform/audio/engine/engine.h"

namespace helper {

std::shared_ptr<MicSource> MicSource::make(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                                           MicPipeline::FrameProofSink proofSink) {
  std::shared_ptr<MicSource> mic(new MicSource(session, std::move(writer), std::move(proofSink)));
  std::weak_ptr<MicSource> weak = mic;
  mic->recovery_->setRouteKindReader([weak] {
    auto self = weak.lock();
    return self ? self->routeKind() : std::string();
  });
  mic->recovery_->setRetry([weak](const std::string& reason, int64_t attempt) {
    if (auto self = weak.lock()) scheduleMicFreshRebuildForRecoveryRetry(self, reason, attempt);
  });
  return mic;
}

MicSource::MicSource(SourceSession& session, std::shared_ptr<SegmentWriter> writer,
                     MicPipeline::FrameProofSink proofSink)
    : session_(session),
      writer_(std::move(writer)),
      recovery_(SourceRecovery::make(Source::mic, session)),
      pipeline_(std::make_unique<MicPipeline>(writer_, emitEvent, std::move(proofSink))) {}

MicSource::~MicSource() {
  // The tap block reaches into the pipeline: the render thread stops first.
  if (engine_) engine_->inputNode().removeTap(0);
  pipeline_.reset();
}

#define VR_LOCKED_FIELD(Type, Getter, Setter, field) \
  Type MicSource::Getter() const {                   \
    std::lock_guard lock(fieldsLock_);               \
    return field;                                    \
  }                                                  \
  void MicSource::Setter(Type v) {                   \
    std::lock_guard lock(fieldsLock_);               \
    field = std::move(v);                            \
  }

VR_LOCKED_FIELD(MicSource::EnginePtr, engine, setEngine, engine_)
VR_LOCKED_FIELD(std::optional<uint64_t>, configChangeObserver, setConfigChangeObserver, configChangeObserver_)
VR_LOCKED_FIELD(std::shared_ptr<DeviceFollowingState>, deviceFollowing, setDeviceFollowing, deviceFollowing_)
VR_LOCKED_FIELD(std::string, deviceUID, setDeviceUID, deviceUID_)
VR_LOCKED_FIELD(std::string, deviceName, setDeviceName, deviceName_)
VR_LOCKED_FIELD(std::string, routeKind, setRouteKind, routeKind_)
VR_LOCKED_FIELD(nlohmann::json, vpFormat, setVpFormat, vpFormat_)
VR_LOCKED_FIELD(std::string, aecMode, setAecMode, aecMode_)

#undef VR_LOCKED_FIELD

bool MicSource::engineDelivering() const {
  const auto eng = engine();
  return eng && tapInstalled() && eng->isRunning();
}

std::optional<platform::audio::AudioFormat> MicSource::canonicalFormat() const {
  std::lock_guard lock(fieldsLock_);
  return canonicalFormat_;
}

void MicSource::setCanonicalFormat(platform::audio::AudioFormat format) {
  std::lock_guard lock(fieldsLock_);
  canonicalFormat_ = std::move(format);
}

std::optional<SourceRecoveryTarget> MicSource::takeRecoveryOwedAtResume() {
  std::lock_guard lock(fieldsLock_);
  return std::exchange(recoveryOwed_, std::nullopt);
}

void MicSource::setRecoveryOwedAtResume(std::optional<SourceRecoveryTarget> target) {
  std::lock_guard lock(fieldsLock_);
  recoveryOwed_ = std::move(target);
}

void MicSource::followChangeAtResume(PausedChange kind, std::function<void()> follow) {
  std::lock_guard lock(fieldsLock_);
  changesAtResume_[static_cast<size_t>(kind)] = std::move(follow);
}

void MicSource::followChangesPutOffWhilePaused() {
  std::array<std::function<void()>, 2> follows;
  {
    std::lock_guard lock(fieldsLock_);
    follows.swap(changesAtResume_);
  }
  if (!follows[0] && !follows[1]) return;
  // As if the notifications came now, once the resume has finished; a
  // pause that comes first puts them off again.
  platform::dispatch::mainQueue()->async([follows = std::move(follows)] {
    for (const auto& follow : follows) {
      if (follow) follow();
    }
  });
}

}  // namespace helper
