// The mic's restart in place, and the full reconnect up to the seal: its
// reason and announcement, the old engine's teardown, the drain, the
// device update with follow-back suppression, the gain, and the
// route-storm restart of the old engine.
#include "helper/core/mic/mic_reconnect.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

constexpr uint64_t kDrainTimeoutNs = 3'000'000'000ULL;
constexpr uint64_t kDrainPollNs = 50'000'000ULL;

SourceRecoveryTarget micTarget(const CaptureState& state, const EffectiveMicCaptureFormat& format, uint32_t generation,
                               const std::string& reason) {
  return SourceRecoveryTarget{Source::mic, state.micDeviceUID(), format.sampleRate, format.channels, generation, reason,
                              0,           std::nullopt};
}

std::string reconnectReason(const MicChangeRequest& r, const MicObservation& o) {
  if (r.forcedReconnectReason) return *r.forcedReconnectReason;
  if (o.uid.empty()) return "input_device_unknown";
  return o.uid == r.state->micDeviceUID() ? "input_format_changed" : "input_device_changed";
}

void announceReconnect(const MicChangeRequest& r, const MicObservation& o, const std::string& reason) {
  const CaptureState& state = *r.state;
  Event event{{"type", "source_reconnecting"}, {"source", "mic"}, {"reason", reason}};
  event["sample_rate"] = o.effective ? o.effective->sampleRate : truncToInt64(o.format.sampleRate());
  event["channels"] = o.effective ? o.effective->channels : static_cast<int64_t>(o.format.channelCount());
  emitEvent(event);
  emitRouteTrace("mic_reconnect_begin", "mic",
                 {{"reason", reason},
                  {"old_uid", state.micDeviceUID()},
                  {"old_route", state.micRouteKind()},
                  {"observed_uid", o.uid},
                  {"observed_route", o.route},
                  {"observed_rate", o.format.sampleRate()},
                  {"observed_channels", o.format.channelCount()},
                  {"observed_effective_channels", o.effective ? o.effective->channels : 0}});
}

void tearDownMicEngine(const MicChangeRequest& r, const std::string& reason) {
  emitRouteTrace("mic_reconnect_disable_tap", "mic", {{"reason", reason}});
  r.pipeline->tapGate().closeAndWait(kCallbackGateWaitNs);
  emitRouteTrace("mic_reconnect_remove_tap_begin", "mic", {{"reason", reason}});
  r.engine->inputNode().removeTap(0);
  r.state->setMicTapInstalled(false);
  emitRouteTrace("mic_reconnect_remove_tap_done", "mic", {{"reason", reason}});
  emitRouteTrace("mic_reconnect_engine_stop_begin", "mic",
                 {{"reason", reason}, {"engine_running_before", r.engine->isRunning()}});
  r.engine->stop();
  emitRouteTrace("mic_reconnect_engine_stop_done", "mic",
                 {{"reason", reason}, {"engine_running_after", r.engine->isRunning()}});
  r.state->retainRetiredMicEngine(r.engine, reason);
}

// Every sample of the old generation goes to the old segment. False when a
// stop was claimed meanwhile.
bool drainMicRing(const MicChangeRequest& r, const std::string& reason) {
  MicPipeline& p = *r.pipeline;
  emitRouteTrace("mic_reconnect_drain_requested", "mic", {{"reason", reason}, {"generation", p.generation().load()}});
  if (!r.state->micConsumerStarted()) return true;  // nothing reads the ring, so nothing is in it
  p.drainDone().drain();                            // a late answer to an earlier drain
  p.drainRequested().store(1);
  const uint64_t deadline = machAbsoluteTimeNs() + kDrainTimeoutNs;
  for (;;) {
    if (p.drainDone().waitForNs(kDrainPollNs)) {
      emitRouteTrace("mic_reconnect_drain_complete", "mic", {{"reason", reason}});
      return true;
    }
    if (r.state->isStopClaimed()) {
      p.drainRequested().store(0);
      return false;
    }
    if (machAbsoluteTimeNs() >= deadline) break;
  }
  emitRouteTrace("mic_reconnect_drain_timeout", "mic", {{"reason", reason}, {"timeout_ms", 3000}});
  emitWarning("mic_drain_timeout", "mic ring drain timed out during device change; proceeding to seal");
  p.drainRequested().store(0);
  return true;
}

// The state takes the device's identity; unreadable fields keep `fallback`'s.
void adoptMicDevice(CaptureState& state, uint32_t device, const std::string& uidFallback,
                    const std::string& nameFallback) {
  state.setMicDeviceUID(readDeviceUID(device).value_or(uidFallback));
  state.setMicDeviceName(readDeviceName(device).value_or(nameFallback));
  state.setMicRouteKind(readDeviceTransportType(device));
}

void rememberOldMic(const MicChangeRequest& r, MicReconnectPlan& plan) {
  const CaptureState& state = *r.state;
  plan.oldUID = state.micDeviceUID();
  plan.oldName = state.micDeviceName();
  plan.oldRoute = state.micRouteKind();
  plan.oldRate = r.writer->nativeRateNow();
  plan.oldChannels = r.writer->nativeChannelsNow();
}

// The system jumped back to a device that went away moments ago: the mic
// is bound to the device the user was on (or the built-in one) instead.
void applyFollowbackSuppression(const MicChangeRequest& r, MicReconnectPlan& plan, MicObservation& o) {
  CaptureState& state = *r.state;
  const std::string newUID = state.micDeviceUID();
  const auto following = state.deviceFollowing();
  if (newUID == plan.oldUID || !following || !following->shouldSuppressFollowback(newUID)) return;
  const std::optional<uint32_t> current = readDefaultInputDevice();
  const std::string deviceClass = current ? classifyInputDevice(*current) : "unknown";
  auto& unit = r.engine->inputNode().audioUnit();
  auto bindTo = [&](uint32_t device) {
    state.setIsRevertingDevice(true);
    return unit.setCurrentDevice(device) == hal::kAudioHardwareNoError;
  };
  std::optional<uint32_t> target;
  if (const uint32_t previous = state.previousMicDeviceID(); previous != 0 && bindTo(previous)) {
    target = previous;
  } else if (const auto builtIn = findBuiltInInputDevice(); builtIn && bindTo(*builtIn)) {
    target = builtIn;
  }
  if (target) {
    adoptMicDevice(state, *target, state.micDeviceUID(), state.micDeviceName());
    o.format = r.engine->inputNode().inputFormat(0);
    o.effective = effectiveMicCaptureFormat(o.format.sampleRate(), o.format.channelCount());
    plan.revertTarget = target;
    emitEvent(Event{{"type", "device_followback_suppressed"},
                    {"source", "mic"},
                    {"device_class", deviceClass},
                    {"reason", "recently_disconnected"}});
  } else {
    emitEvent(Event{{"type", "device_followback_revert_failed"},
                    {"source", "mic"},
                    {"device_class", deviceClass},
                    {"reason", "revert_target_unavailable"}});
  }
  state.setIsRevertingDevice(false);
}

void selectGain(const MicChangeRequest& r, MicReconnectPlan& plan) {
  const std::optional<float> configured = r.state->config().micGain;
  const std::string route = r.state->micRouteKind();
  plan.gain = selectMicReconnectGain(configured, route);
  emitRouteTrace("mic_reconnect_gain_selected", "mic",
                 {{"reason", plan.reason},
                  {"route", route},
                  {"capture_gain", plan.gain},
                  {"configured_gain", configured.value_or(0.0f)}});
}

// Installs the tap again and starts the old engine; the error's text when
// that failed.
std::optional<std::string> startOldEngineWithTap(const MicChangeRequest& r, const MicReconnectPlan& plan,
                                                 platform::audio::AudioFormat& startedFormat) {
  auto& input = r.engine->inputNode();
  const MicTapSizing sizing = micTapSizing(input.inputFormat(0).sampleRate(), input.maximumFramesToRender());
  if (sizing.bufferFrames > UINT32_MAX) return "mic tap buffer size out of range";
  MicPipeline::TapSettings tap{sizing.scratchFrames, sizing.renderQuantum, sizing.bufferFrames, plan.gain, false};
  if (!input.installTap(0, static_cast<uint32_t>(sizing.bufferFrames), std::nullopt, r.pipeline->makeTapBlock(tap))) {
    return "could not install the mic input tap";
  }
  r.state->setMicTapInstalled(true);
  r.engine->prepare();
  std::string error;
  if (!r.engine->start(&error)) return error;
  startedFormat = input.inputFormat(0);
  if (!effectiveMicCaptureFormat(startedFormat.sampleRate(), startedFormat.channelCount())) {
    return "invalid route-storm restart format rate=" + std::to_string(startedFormat.sampleRate()) +
           " channels=" + std::to_string(startedFormat.channelCount());
  }
  return std::nullopt;
}

// Inside a route storm: the old engine restarts instead of a fresh one.
// False when it failed and the seal and fresh rebuild must follow.
bool restartMicEngineInRouteStorm(const MicChangeRequest& r, const MicReconnectPlan& plan, const MicObservation& o) {
  CaptureState& state = *r.state;
  const std::string reason = plan.reason + "_route_storm_existing_engine_restart";
  emitRouteTrace("mic_route_storm_restart_existing_begin", "mic",
                 {{"reason", reason}, {"old_uid", plan.oldUID}, {"old_route", plan.oldRoute}});
  auto lifecycle = state.lockLifecycleUnlessStopping();
  if (!lifecycle) return true;
  r.pipeline->tapEnabled().store(0);
  platform::audio::AudioFormat format;
  if (auto failure = startOldEngineWithTap(r, plan, format)) {
    r.pipeline->tapEnabled().store(0);
    r.engine->inputNode().removeTap(0);
    r.engine->stop();
    state.setMicTapInstalled(false);
    emitRouteTrace("mic_route_storm_restart_existing_failed", "mic", {{"reason", reason}, {"detail", *failure}});
    return false;
  }
  const auto effective = *effectiveMicCaptureFormat(format.sampleRate(), format.channelCount());
  const uint32_t oldGeneration = r.pipeline->generation().load();
  const uint32_t newGeneration = oldGeneration + 1;  // wraps
  advanceMicGeneration(r, newGeneration, effective, reason);
  state.setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kMicPostStartSuppressNs);
  emitRouteTrace("mic_route_storm_restart_existing_done", "mic",
                 {{"reason", reason},
                  {"old_generation", oldGeneration},
                  {"new_generation", newGeneration},
                  {"rate", effective.sampleRate},
                  {"channels", effective.channels},
                  {"hardware_channels", format.channelCount()}});
  resumeMicCapture(r, micTarget(state, effective, newGeneration, reason));
  emitMicTapFormatChange(state, format);
  emitMicRouteEvent(r, plan, o, true);
  return true;
}

}  // namespace

bool restartMicEngineInPlace(const MicChangeRequest& r, const MicObservation& o) {
  CaptureState& state = *r.state;
  const EffectiveMicCaptureFormat& effective = *o.effective;
  const std::string reason = "engine_stopped_same_input";
  state.markMicReconnectStarted(machAbsoluteTimeNs());
  emitEvent(Event{{"type", "source_reconnecting"},
                  {"source", "mic"},
                  {"reason", reason},
                  {"sample_rate", effective.sampleRate},
                  {"channels", effective.channels}});
  auto lifecycle = state.lockLifecycleUnlessStopping();
  if (!lifecycle) return true;
  r.pipeline->tapGate().closeAndWait(kCallbackGateWaitNs);
  r.engine->prepare();
  std::string error;
  if (!r.engine->start(&error)) {
    r.pipeline->tapEnabled().store(0);
    emitEvent(Event{{"type", "source_reconnecting"},
                    {"source", "mic"},
                    {"reason", "same_input_restart_failed"},
                    {"detail", error}});
    return false;
  }
  const uint32_t oldGeneration = r.pipeline->generation().load();
  const uint32_t newGeneration = oldGeneration + 1;  // wraps
  advanceMicGeneration(r, newGeneration, effective, reason);
  emitRouteTrace("mic_restart_generation_advanced", "mic",
                 {{"reason", reason}, {"old_generation", oldGeneration}, {"new_generation", newGeneration}});
  resumeMicCapture(r, micTarget(state, effective, newGeneration, reason));
  return true;
}

void runFullMicReconnect(const MicChangeRequest& r, MicObservation o) {
  CaptureState& state = *r.state;
  MicReconnectPlan plan;
  plan.reason = reconnectReason(r, o);
  state.markMicReconnectStarted(machAbsoluteTimeNs());
  announceReconnect(r, o, plan.reason);
  tearDownMicEngine(r, plan.reason);
  if (!drainMicRing(r, plan.reason)) return;
  if (!(o.format.sampleRate() > 0)) {
    // Torn down until a device appears; the segment stays open.
    state.setMicAwaitingInputDevice(true);
    emitRouteTrace("mic_reconnect_no_input_device", "mic",
                   {{"observed_uid", o.uid},
                    {"observed_route", o.route},
                    {"observed_rate", o.format.sampleRate()},
                    {"observed_channels", o.format.channelCount()}});
    emitWarning("no_input_device", "Device gone after config change (rate=0)");
    return;
  }
  state.setMicAwaitingInputDevice(false);
  rememberOldMic(r, plan);
  if (const auto device = o.device ? o.device : readDefaultInputDevice()) {
    adoptMicDevice(state, *device, "unknown", "Unknown");
  }
  applyFollowbackSuppression(r, plan, o);
  selectGain(r, plan);
  if (!r.forceFreshEngineRebuild && !r.engine->isRunning() &&
      state.shouldRestartExistingMicEngineDuringRouteStorm(machAbsoluteTimeNs()) && o.effective &&
      r.writer->hasOpenSegment()) {
    if (restartMicEngineInRouteStorm(r, plan, o)) return;
  }
  sealAndRebuildMicEngine(r, plan, o);
}

}  // namespace helper
