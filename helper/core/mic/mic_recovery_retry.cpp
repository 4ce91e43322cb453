#include "helper/core/mic/mic_recovery_retry.h"

#include "helper/core/entry/clock.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/mic/mic_source.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

void runMicRecoveryRetryRebuild(const std::shared_ptr<MicSource>& mic, const std::string& reason, int64_t attempt) {
  auto engine = mic->engine();
  if (!engine) return failMicRecoveryRetry(*mic, reason, "missing_mic_engine_for_recovery_retry");
  if (!mic->canonicalFormat()) {
    return failMicRecoveryRetry(*mic, reason, "invalid_canonical_mic_format_for_recovery_retry");
  }
  mic->recovery().trace("mic_recovery_retry", {{"reason", reason},
                                               {"trigger", "source_recovery_timeout"},
                                               {"attempt", attempt},
                                               {"max_retries", kMicRecoveryTimeoutMaxRetries},
                                               {"current_uid", mic->deviceUID()},
                                               {"current_route", mic->routeKind()},
                                               {"force_fresh_rebuild", true}});
  handleMicDeviceChange(mic, engine, true, true, reason);
}

}  // namespace

void scheduleMicFreshRebuildForRecoveryRetry(const std::shared_ptr<MicSource>& mic, const std::string& reason,
                                             int64_t attempt) {
  std::weak_ptr<MicSource> weak = mic;
  platform::dispatch::mainQueue()->async([weak, reason, attempt] {
    auto self = weak.lock();
    if (!self || self->session().isStopClaimed()) return;
    const uint64_t delay = self->reconnectCooldownDelayNs(machAbsoluteTimeNs());
    if (delay == 0) return runMicRecoveryRetryRebuild(self, reason, attempt);
    self->recovery().trace("mic_recovery_retry_deferred", {{"reason", reason},
                                                           {"trigger", "source_recovery_timeout"},
                                                           {"attempt", attempt},
                                                           {"max_retries", kMicRecoveryTimeoutMaxRetries},
                                                           {"delay_ms", delay / 1'000'000}});
    self->scheduleReconnectAfterRouteSettle(delay, [weak, reason, attempt] {
      auto s = weak.lock();
      if (!s || s->session().isStopClaimed()) return;
      runMicRecoveryRetryRebuild(s, reason, attempt);
    });
  });
}

void failMicRecoveryRetry(MicSource& mic, const std::string& reason, const std::string& detail) {
  SourceRecovery& recovery = mic.recovery();
  recovery.emit(
      Event{{"type", "warning"}, {"code", "mic_recovery_retry_unavailable"}, {"ctx", reason + ": " + detail}});
  recovery.trace("mic_recovery_retry_unavailable", {{"reason", reason}, {"detail", detail}, {"recoverable", true}});
  mic.session().failRouteCoordinatorSource(Source::mic, detail, mic.session().currentRouteCoordinatorEpochID());
  recovery.reportFailed(detail, true);
}

}  // namespace helper
