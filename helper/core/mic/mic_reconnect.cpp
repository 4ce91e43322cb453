// The mic's restart in place, and the full reconnect up to the seal: its
// reason and announcement, the old engine's teardown, the drain, the
// device update with follow-back suppression, the gain, and the
// route-storm restart of the old engine.
#include "helper/core/mic/mic_reconnect.h"

#include "helper/core/await/drain_request.h"
#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_source.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

constexpr uint64_t kDrainPollNs = 50'000'000ULL;

SourceRecoveryTarget micTarget(const MicSource& mic, const EffectiveMicCaptureFormat& format, uint32_t generation,
                               const std::string& reason) {
  return SourceRecoveryTarget{Source::mic, mic.deviceUID(), format.sampleRate, format.channels, generation, reason,
                              0,           std::nullopt};
}

std::string reconnectReason(const MicChangeRequest& r, const MicObservation& o) {
  if (r.forcedReconnectReason) return *r.forcedReconnectReason;
  if (o.uid.empty()) return "input_device_unknown";
  return o.uid == r.mic->deviceUID() ? "input_format_changed" : "input_device_changed";
}

void announceReconnect(const MicChangeRequest& r, const MicObservation& o, const std::string& reason) {
  const MicSource& mic = *r.mic;
  Event event{{"type", "source_reconnecting"}, {"source", "mic"}, {"reason", reason}};
  event["sample_rate"] = o.effective ? o.effective->sampleRate : truncToInt64(o.format.sampleRate());
  event["channels"] = o.effective ? o.effective->channels : static_cast<int64_t>(o.format.channelCount());
  emitEvent(event);
  emitRouteTrace("mic_reconnect_begin", "mic",
                 {{"reason", reason},
                  {"old_uid", mic.deviceUID()},
                  {"old_route", mic.routeKind()},
                  {"observed_uid", o.uid},
                  {"observed_route", o.route},
                  {"observed_rate", o.format.sampleRate()},
                  {"observed_channels", o.format.channelCount()},
                  {"observed_effective_channels", o.effective ? o.effective->channels : 0}});
}

void tearDownMicEngine(const MicChangeRequest& r, const std::string& reason) {
  emitRouteTrace("mic_reconnect_disable_tap", "mic", {{"reason", reason}});
  r.pipeline->closeTap();
  emitRouteTrace("mic_reconnect_remove_tap_begin", "mic", {{"reason", reason}});
  r.engine->inputNode().removeTap(0);
  r.mic->setTapInstalled(false);
  emitRouteTrace("mic_reconnect_remove_tap_done", "mic", {{"reason", reason}});
  emitRouteTrace("mic_reconnect_engine_stop_begin", "mic",
                 {{"reason", reason}, {"engine_running_before", r.engine->isRunning()}});
  r.engine->stop();
  emitRouteTrace("mic_reconnect_engine_stop_done", "mic",
                 {{"reason", reason}, {"engine_running_after", r.engine->isRunning()}});
  r.mic->retainRetiredEngine(r.engine, reason);
}

// Every sample of the old generation goes to the old segment. False when a
// stop was claimed meanwhile.
bool drainMicRing(const MicChangeRequest& r, const std::string& reason) {
  MicPipeline& p = *r.pipeline;
  emitRouteTrace("mic_reconnect_drain_requested", "mic", {{"reason", reason}, {"generation", p.generation().load()}});
  if (!r.mic->consumerStarted()) return true;  // nothing reads the ring, so nothing is in it
  SourceSession& session = r.mic->session();
  switch (requestDrainUntil(p.drainRequested(), p.drainDone(), kDrainWaitNs, kDrainPollNs,
                            [&session] { return session.isStopClaimed(); })) {
    case DrainOutcome::answered:
      emitRouteTrace("mic_reconnect_drain_complete", "mic", {{"reason", reason}});
      return true;
    case DrainOutcome::abandoned:
      return false;
    case DrainOutcome::timedOut:
      break;
  }
  emitRouteTrace("mic_reconnect_drain_timeout", "mic", {{"reason", reason}, {"timeout_ms", 3000}});
  emitWarning("mic_drain_timeout", "mic ring drain timed out during device change; proceeding to seal");
  return true;
}

void rememberOldMic(const MicChangeRequest& r, MicReconnectPlan& plan) {
  const MicSource& mic = *r.mic;
  plan.oldUID = mic.deviceUID();
  plan.oldName = mic.deviceName();
  plan.oldRoute = mic.routeKind();
  plan.oldRate = r.writer->nativeRateNow();
  plan.oldChannels = r.writer->nativeChannelsNow();
}

// The system jumped back to a device that went away moments ago: the mic
// is bound to the device the user was on (or the built-in one) instead.
void applyFollowbackSuppression(const MicChangeRequest& r, MicReconnectPlan& plan, MicObservation& o) {
  MicSource& mic = *r.mic;
  const std::string newUID = mic.deviceUID();
  const auto following = mic.deviceFollowing();
  if (newUID == plan.oldUID || !following || !following->shouldSuppressFollowback(newUID)) return;
  const std::optional<uint32_t> current = readDefaultInputDevice();
  const std::string deviceClass = current ? classifyInputDevice(*current) : "unknown";
  auto& unit = r.engine->inputNode().audioUnit();
  auto bindTo = [&](uint32_t device) {
    mic.setIsRevertingDevice(true);
    return unit.setCurrentDevice(device) == hal::kAudioHardwareNoError;
  };
  std::optional<uint32_t> target;
  if (const uint32_t previous = mic.previousDeviceID(); previous != 0 && bindTo(previous)) {
    target = previous;
  } else if (const auto builtIn = findBuiltInInputDevice(); builtIn && bindTo(*builtIn)) {
    target = builtIn;
  }
  if (target) {
    adoptMicDevice(mic, *target, mic.deviceUID(), mic.deviceName());
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
  mic.setIsRevertingDevice(false);
}

void selectGain(const MicChangeRequest& r, MicReconnectPlan& plan) {
  const std::optional<float> configured = r.mic->config().micGain;
  const std::string route = r.mic->routeKind();
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
  const auto tap = rebuiltMicTapSettings(input.inputFormat(0).sampleRate(), input.maximumFramesToRender(), plan.gain);
  if (!tap) return "mic tap buffer size out of range";
  if (!installMicTap(input, *r.pipeline, *tap)) return "could not install the mic input tap";
  r.mic->setTapInstalled(true);
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
  MicSource& mic = *r.mic;
  const std::string reason = plan.reason + "_route_storm_existing_engine_restart";
  emitRouteTrace("mic_route_storm_restart_existing_begin", "mic",
                 {{"reason", reason}, {"old_uid", plan.oldUID}, {"old_route", plan.oldRoute}});
  const LifecycleHold lifecycle(mic.session());
  if (!lifecycle) return true;
  r.pipeline->closeTap();
  platform::audio::AudioFormat format;
  if (auto failure = startOldEngineWithTap(r, plan, format)) {
    r.pipeline->closeTap();
    removeTapAndStop(*r.engine);
    mic.setTapInstalled(false);
    emitRouteTrace("mic_route_storm_restart_existing_failed", "mic", {{"reason", reason}, {"detail", *failure}});
    return false;
  }
  const auto effective = *effectiveMicCaptureFormat(format.sampleRate(), format.channelCount());
  const uint32_t oldGeneration = r.pipeline->generation().load();
  const uint32_t newGeneration = oldGeneration + 1;  // wraps
  advanceMicGeneration(r, newGeneration, effective, reason);
  mic.setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kMicPostStartSuppressNs);
  emitRouteTrace("mic_route_storm_restart_existing_done", "mic",
                 {{"reason", reason},
                  {"old_generation", oldGeneration},
                  {"new_generation", newGeneration},
                  {"rate", effective.sampleRate},
                  {"channels", effective.channels},
                  {"hardware_channels", format.channelCount()}});
  resumeMicCapture(r, micTarget(mic, effective, newGeneration, reason));
  emitMicTapFormatChange(mic, format);
  emitMicRouteEvent(r, plan, o, true);
  return true;
}

}  // namespace

void adoptMicDevice(MicSource& mic, uint32_t device, const std::string& uidFallback, const std::string& nameFallback) {
  mic.setDeviceUID(readDeviceUID(device).value_or(uidFallback));
  mic.setDeviceName(readDeviceName(device).value_or(nameFallback));
  mic.setRouteKind(readDeviceTransportType(device));
}

bool restartMicEngineInPlace(const MicChangeRequest& r, const MicObservation& o) {
  MicSource& mic = *r.mic;
  const EffectiveMicCaptureFormat& effective = *o.effective;
  const std::string reason = "engine_stopped_same_input";
  mic.markReconnectStarted(machAbsoluteTimeNs());
  emitEvent(Event{{"type", "source_reconnecting"},
                  {"source", "mic"},
                  {"reason", reason},
                  {"sample_rate", effective.sampleRate},
                  {"channels", effective.channels}});
  const LifecycleHold lifecycle(mic.session());
  if (!lifecycle) return true;
  r.pipeline->closeTap();
  r.engine->prepare();
  std::string error;
  if (!r.engine->start(&error)) {
    r.pipeline->closeTap();
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
  resumeMicCapture(r, micTarget(mic, effective, newGeneration, reason));
  return true;
}

void runFullMicReconnect(const MicChangeRequest& r, MicObservation o) {
  MicSource& mic = *r.mic;
  MicReconnectPlan plan;
  plan.reason = reconnectReason(r, o);
  mic.markReconnectStarted(machAbsoluteTimeNs());
  announceReconnect(r, o, plan.reason);
  tearDownMicEngine(r, plan.reason);
  if (!drainMicRing(r, plan.reason)) return;
  if (!(o.format.sampleRate() > 0)) {
    // Torn down until a device appears; the segment stays open.
    mic.setAwaitingInputDevice(true);
    emitRouteTrace("mic_reconnect_no_input_device", "mic",
                   {{"observed_uid", o.uid},
                    {"observed_route", o.route},
                    {"observed_rate", o.format.sampleRate()},
                    {"observed_channels", o.format.channelCount()}});
    emitWarning("no_input_device", "Device gone after config change (rate=0)");
    return;
  }
  mic.setAwaitingInputDevice(false);
  rememberOldMic(r, plan);
  if (const auto device = o.device ? o.device : readDefaultInputDevice()) {
    adoptMicDevice(mic, *device, "unknown", "Unknown");
  }
  applyFollowbackSuppression(r, plan, o);
  selectGain(r, plan);
  if (!r.forceFreshEngineRebuild && !r.engine->isRunning() &&
      mic.shouldRestartExistingEngineDuringRouteStorm(machAbsoluteTimeNs()) && o.effective &&
      r.writer->hasOpenSegment()) {
    if (restartMicEngineInRouteStorm(r, plan, o)) return;
  }
  sealAndRebuildMicEngine(r, plan, o);
}

}  // namespace helper
