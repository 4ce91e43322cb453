// The entry of a mic device change: the gates, the observation, the policy's
// answer and the road it picks, and the release of the reconnect slot with
// the replay of a request that queued meanwhile.
#include "helper/core/mic/mic_device_change.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_reconnect.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

nlohmann::json stateFields(const CaptureState& state, nlohmann::json fields = nlohmann::json::object()) {
  fields["state_uid"] = state.micDeviceUID();
  fields["state_route"] = state.micRouteKind();
  return fields;
}

// The gates before the slot; false when the call ends here.
bool passEntryGates(const MicChangeRequest& r) {
  CaptureState& state = *r.state;
  if (state.isRevertingDevice() || state.isStopClaimed()) return false;
  if (state.hasPendingMicReconnect()) {
    if (!r.forceFreshEngineRebuild) {
      emitRouteTrace("mic_config_suppressed", "mic", stateFields(state, {{"reason", "pending_deferred_reconnect"}}));
      return false;
    }
    state.cancelPendingMicReconnect();
    emitRouteTrace("mic_config_pending_reconnect_replaced", "mic",
                   stateFields(state, {{"reason", r.forcedReconnectReason.value_or("forced_fresh_rebuild")}}));
  }
  if (!state.beginMicReconnectOrQueueReplay()) {
    emitRouteTrace("mic_reconnect_queued", "mic", stateFields(state, {{"reason", "reconnect_in_flight"}}));
    return false;
  }
  return true;
}

bool insideSuppressionWindow(const CaptureState& state) {
  const uint64_t now = machAbsoluteTimeNs();
  const uint64_t until = state.reconnectSuppressUntilNs();
  if (now >= until) return false;
  emitRouteTrace(
      "mic_config_suppressed", "mic",
      stateFields(state, {{"reason", "reconnect_suppression_window"}, {"remaining_ms", (until - now) / 1'000'000}}));
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
  const CaptureState& state = *r.state;
  const bool running = r.engine->isRunning();
  const MicConfigChangeAction action = classifyMicConfigChangeAction(
      state.micDeviceUID(), o.uid, state.micRouteKind(), o.route, o.stateRate, truncToInt64(o.format.sampleRate()),
      o.stateChannels, o.format.channelCount(), running);
  emitRouteTrace("mic_config_observed", "mic",
                 stateFields(state, {{"state_rate", o.stateRate},
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
  if (!bypassReconnectSuppression && insideSuppressionWindow(*r.state)) return;
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
  if (!r.state->finishMicReconnectAndTakeQueuedReplay()) return;
  emitRouteTrace("mic_reconnect_queued_replay", "mic", stateFields(*r.state));
  std::weak_ptr<CaptureState> weak = r.state;
  platform::dispatch::mainQueue()->async([weak, canonical = r.canonicalFormat, gain = r.micGain] {
    auto state = weak.lock();
    if (!gIsRunning.load() || !state) return;
    if (auto engine = state->engine()) handleMicDeviceChange(state, engine, canonical, gain, true, false, std::nullopt);
  });
}

}  // namespace

void handleMicDeviceChange(const std::shared_ptr<CaptureState>& state,
                           const std::shared_ptr<platform::audio::AudioEngine>& engine,
                           const platform::audio::AudioFormat& canonicalFormat, float micGain,
                           bool bypassReconnectSuppression, bool forceFreshEngineRebuild,
                           const std::optional<std::string>& forcedReconnectReason) {
  if (!state || !engine || !state->micWriter() || state->micPipeline() == nullptr) return;
  const MicChangeRequest request{state,
                                 engine,
                                 canonicalFormat,
                                 micGain,
                                 forceFreshEngineRebuild,
                                 forcedReconnectReason,
                                 state->micPipeline(),
                                 state->micWriter()};
  if (!passEntryGates(request)) return;
  runWithSlot(request, bypassReconnectSuppression);
  finishAndReplay(request);
}

}  // namespace helper
