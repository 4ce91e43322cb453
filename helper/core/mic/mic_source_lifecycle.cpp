// The mic's part of the session's pause, resume and stop.
#include <cstdint>
#include <optional>

#include "helper/core/await/drain_request.h"
#include "helper/core/bus/event_bus.h"
#include "helper/core/mic/mic_source.h"
#include "platform/audio/engine/engine.h"

namespace helper {

std::optional<int64_t> MicSource::pause() {
  if (!pipeline_->closeTapAndDrain(consumerStarted(), kDrainWaitNs)) {
    emitWarning("drain_timeout", "mic ring drain timed out during pause; proceeding to seal");
  }
  return pauseAndSeal(*writer_);
}

void MicSource::resume() {
  writer_->open();
  writer_->setPaused(false);
  // A mic rebuilt while paused is proven only now that it records.
  if (auto owed = takeRecoveryOwedAtResume()) {
    recovery_->begin(*owed);
    recovery_->graphStarted(owed->uid, owed->sampleRate, owed->channels);
  }
  pipeline_->openTap();
}

void MicSource::awaitCaptureThrough(uint64_t instantNs) {
  if (engineDelivering()) pipeline_->awaitCaptureThrough(instantNs, kCaptureCatchUpWaitNs);
}

void MicSource::cancelPendingChanges() {
  cancelPendingReconnect();
  resetReconnectSerialization();
  // Only here: a graph rebuild must not drop a pending mic switch.
  if (auto following = deviceFollowing()) following->cancelPendingDebounce();
}

void MicSource::removeTap() {
  if (const auto eng = engine()) eng->inputNode().removeTap(0);
}

void MicSource::stopEngine() {
  if (const auto eng = engine()) eng->stop();
}

void MicSource::closeRingAndAwaitConsumer() {
  pipeline_->closeRing();
  if (consumerStarted() && !pipeline_->consumerDone().waitForNs(kConsumerJoinWaitNs)) {
    emitWarning("mic_consumer_join_timeout", "mic consumer did not exit within 3s after shutdown; proceeding to seal");
  }
}

}  // namespace helper
