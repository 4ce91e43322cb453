// The system source's part of the session's pause, resume and stop.
#include <cstdint>
#include <optional>

#include "helper/core/await/drain_request.h"
#include "helper/core/bus/event_bus.h"
#include "helper/core/system/system_source.h"

namespace helper {

std::optional<int64_t> SystemSource::pause() {
  if (!pipeline_->closeTapAndDrain(kDrainWaitNs)) {
    emitWarning("drain_timeout", "system ring drain timed out during pause; proceeding to seal");
  }
  return pauseAndSeal(*writer_);
}

void SystemSource::resume() {
  writer_->open();
  writer_->setPaused(false);
  pipeline_->restartCadenceWindow();
  pipeline_->openTap();
}

void SystemSource::tearDownGraphAndAwaitConsumer() {
  pipeline_->tearDownAndClose();
  if (!pipeline_->awaitConsumer(kConsumerJoinWaitNs)) {
    emitWarning("consumer_join_timeout", "system consumer did not exit within 3s after shutdown; proceeding to seal");
  }
}

}  // namespace helper
