// The entry of a mic device change: the gates, the observation, the policy's
// answer and the road it picks, and the release of the reconnect slot with
// the replay of a request that queued meanwhile.
#include "helper/core/mic/mic_device_change.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/mic/mic_reconnect.h"
#include "helper/core/mic/mic_source.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

nlohmann::json stateFields(const MicSource& mic, nlohmann::json fields = nlohmann::json::object()) {
  fields["state_uid"] = mic.deviceUID();
  fields["state_route"] = mic.routeKind();
  return fields;
}

// The gates before the slot; false when the call ends here.
bool passEntryGates(const MicChangeRequest& r) {
  MicSource& mic = *r.mic;
  if (mic.isRevertingDevice() || mic.session().isStopClaimed()) return false;
  if (mic.hasPendingReconnect()) {
    if (!r.forceFreshEngineRebuild) {
      // The pending reconnect does the work; an engine that stopped since it
      // was scheduled has the mic silent, so it no longer waits for the
      // cool-down.
      if (!mic.engineDelivering() && mic.dropPendingReconnectCooldown()) {
        emitRouteTrace("mic_reconnect_cooldown_dropped", "mic",
                       stateFields(mic, {{"reason", "engine_not_delivering"}}));
      }
      emitRouteTrace("mic_config_suppressed", "mic", stateFields(mic, {{"reason", "pending_deferred_reconnect"}}));
      return false;
    }
    mic.cancelPendingReconnect();
    emitRouteTrace("mic_config_pending_reconnect_replaced", "mic",
                   stateFields(mic, {{"reason", r.forcedReconnectReason.value_or("forced_fresh_rebuild")}}));
  }
  if (!mic.beginReconnectOrQueueReplay()) {
    emitRouteTrace("mic_reconnect_queued", "mic", stateFields(mic, {{"reason", "reconnect_in_flight"}}));
    return false;
  }
  return true;
}

bool insideSuppressionWindow(const MicSource& mic) {
  const uint64_t now = machAbsoluteTimeNs();
  const uint64_t until = mic.reconnectSuppressUntilNs();
  if (now >= until) return false;
  emitRouteTrace(
      "mic_config_suppressed", "mic",
      stateFields(mic, {{"reason", "reconnect_suppression_window"}, {"remaining_ms", (until - now) / 1'000'000}}));
  return true;
}

MicObservation observeMicInput(const MicChangeRequest& r) {
  MicObservation o;
  o.device = readDefaultInputDevice();
  if (o.device) {
    o.uid = readDeviceUID(*o.device).value_or("");
    o.route = readDeviceTransportType(*o.device);
  }
  o.format = r.engine->inputNode().inputFormat(0);
  o.effective = effectiveMicCaptureFormat(o.format.sampleRate(), o.format.channelCount());
  o.stateRate = r.writer->nativeRateNow();
  o.stateChannels = r.writer->nativeChannelsNow();
  return o;
}

MicConfigChangeAction classify(const MicChangeRequest& r, const MicObservation& o) {
  const MicSource& mic = *r.mic;
  const bool running = r.engine->isRunning();
  const MicConfigChangeAction action = classifyMicConfigChangeAction(mic.deviceUID(), o.uid, mic.routeKind(), o.route,
                                                                     o.stateRate, truncToInt64(o.format.sampleRate()),
                                                                     o.stateChannels, o.format.channelCount(), running);
  emitRouteTrace("mic_config_observed", "mic",
                 stateFields(mic, {{"state_rate", o.stateRate},
                                   {"state_channels", o.stateChannels},
                                   {"observed_uid", o.uid},
                                   {"observed_route", o.route},
                                   {"observed_rate", o.format.sampleRate()},
                                   {"observed_channels", o.format.channelCount()},
                                   {"observed_effective_channels", o.effective ? o.effective->channels : 0},
                                   {"engine_running", running},
                                   {"action", rawValue(action)}}));
  return action;
}

// Everything done while the slot is held.
void runWithSlot(const MicChangeRequest& r, bool bypassReconnectSuppression) {
  if (!bypassReconnectSuppression && insideSuppressionWindow(*r.mic)) return;
  MicObservation observed = observeMicInput(r);
  const MicConfigChangeAction action = classify(r, observed);
  if (r.forceFreshEngineRebuild) {
    emitRouteTrace(
        "mic_config_forced_fresh_rebuild", "mic",
        {{"reason", r.forcedReconnectReason.value_or("forced_fresh_rebuild")}, {"observed_action", rawValue(action)}});
  } else if (action == MicConfigChangeAction::ignore) {
    return;
  } else if (action == MicConfigChangeAction::restartExistingEngine && observed.effective && canRestartMicInPlace(r)) {
    if (restartMicEngineInPlace(r, observed)) return;
  }
  runFullMicReconnect(r, std::move(observed));
}

void finishAndReplay(const MicChangeRequest& r) {
  if (!r.mic->finishReconnectAndTakeQueuedReplay()) return;
  emitRouteTrace("mic_reconnect_queued_replay", "mic", stateFields(*r.mic));
  std::weak_ptr<MicSource> weak = r.mic;
  platform::dispatch::mainQueue()->async([weak] {
    auto mic = weak.lock();
    if (!mic || mic->session().isStopClaimed()) return;
    if (auto engine = mic->engine()) handleMicDeviceChange(mic, engine, true, false, std::nullopt);
  });
}

}  // namespace

void handleMicDeviceChange(const std::shared_ptr<MicSource>& mic,
                           const std::shared_ptr<platform::audio::AudioEngine>& engine, bool bypassReconnectSuppression,
                           bool forceFreshEngineRebuild, const std::optional<std::string>& forcedReconnectReason) {
  if (!mic || !engine) return;
  const MicChangeRequest request{mic,          engine, forceFreshEngineRebuild, forcedReconnectReason, &mic->pipeline(),
                                 mic->writer()};
  if (!passEntryGates(request)) return;
  runWithSlot(request, bypassReconnectSuppression);
  finishAndReplay(request);
}

}  // namespace helper
