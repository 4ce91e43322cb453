// The end of a full mic reconnect: the old segment sealed, up to five fresh
// engines tried with their pauses, and the one that starts made current
// (generation, segment, recovery, observer, events); or the source failed.
#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_config_observer.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_reconnect.h"
#include "helper/core/mic/mic_source.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

using platform::audio::AudioEngine;
using platform::audio::AudioFormat;

constexpr int kFreshEngineAttempts = static_cast<int>(kMicReconnectRetryDelaysUs.size());
constexpr const char* kFailedReason = "no_valid_input_format_after_device_change";

struct FreshMicEngine {
  std::shared_ptr<AudioEngine> engine;
  AudioFormat format;
  EffectiveMicCaptureFormat effective;
  int attempt = 0;
};

// False when a stop was claimed: the stop seals the segment itself.
bool sealMicSegment(const MicChangeRequest& r, const MicReconnectPlan& plan) {
  const LifecycleHold lifecycle(r.mic->session());
  if (!lifecycle) return false;
  emitRouteTrace("mic_reconnect_seal_begin", "mic",
                 {{"reason", plan.reason}, {"old_rate", plan.oldRate}, {"old_channels", plan.oldChannels}});
  const auto sealed = sealAndAnnounce(*r.writer);
  emitRouteTrace("mic_reconnect_seal_complete", "mic",
                 {{"reason", plan.reason}, {"segment_emitted", sealed.has_value()}});
  return true;
}

// A fresh engine follows the system default, which may be the very device
// a follow-back revert turned away from: it is bound to the revert target
// first. When that no longer works, the source names the device it records.
void bindToRevertTarget(const MicChangeRequest& r, MicReconnectPlan& plan, AudioEngine& engine) {
  if (!plan.revertTarget) return;
  MicSource& mic = *r.mic;
  mic.setIsRevertingDevice(true);
  const bool bound = engine.inputNode().audioUnit().setCurrentDevice(*plan.revertTarget) ==
                     platform::audio::hal::kAudioHardwareNoError;
  mic.setIsRevertingDevice(false);
  if (bound) return;
  plan.revertTarget.reset();
  const std::optional<uint32_t> device = readDefaultInputDevice();
  if (device) adoptMicDevice(mic, *device, "unknown", "Unknown");
  emitEvent(Event{{"type", "device_followback_revert_failed"},
                  {"source", "mic"},
                  {"device_class", device ? classifyInputDevice(*device) : "unknown"},
                  {"reason", "revert_target_unavailable"}});
}

void reportInvalidFormat(const char* reason, int attempt, const AudioFormat& format) {
  emitEvent(Event{{"type", "source_reconnecting"},
                  {"source", "mic"},
                  {"reason", reason},
                  {"sample_rate", truncToInt64(format.sampleRate())},
                  {"channels", format.channelCount()},
                  {"attempt", attempt}});
}

// A usable effective format of the fresh engine's input, or nothing (reported).
std::optional<EffectiveMicCaptureFormat> freshFormat(int attempt, const AudioFormat& format) {
  emitRouteTrace("mic_reconnect_fresh_format", "mic",
                 {{"attempt", attempt},
                  {"rate", format.sampleRate()},
                  {"channels", format.channelCount()},
                  {"interleaved", format.isInterleaved()}});
  if (!(format.sampleRate() > 0) || format.channelCount() == 0) {
    emitRouteTrace("mic_reconnect_invalid_format", "mic",
                   {{"attempt", attempt}, {"rate", format.sampleRate()}, {"channels", format.channelCount()}});
    reportInvalidFormat("invalid_input_format", attempt, format);
    return std::nullopt;
  }
  const auto effective = effectiveMicCaptureFormat(format.sampleRate(), format.channelCount());
  if (!effective || !makeEffectiveMicPCMFormat(format.sampleRate(), format.channelCount())) {
    emitRouteTrace("mic_reconnect_invalid_effective_format", "mic",
                   {{"attempt", attempt},
                    {"rate", format.sampleRate()},
                    {"hardware_channels", format.channelCount()},
                    {"effective_channels", effective ? effective->channels : 0}});
    reportInvalidFormat("invalid_effective_input_format", attempt, format);
    return std::nullopt;
  }
  return effective;
}

// Installs the tap and starts the engine; the error's text when that failed.
std::optional<std::string> installTapAndStart(const MicChangeRequest& r, const MicReconnectPlan& plan, int attempt,
                                              AudioEngine& engine, const AudioFormat& format) {
  auto& input = engine.inputNode();
  const auto tap = rebuiltMicTapSettings(format.sampleRate(), input.maximumFramesToRender(), plan.gain);
  if (!tap) return "mic tap buffer size out of range";
  emitRouteTrace("mic_reconnect_install_tap_begin", "mic",
                 {{"attempt", attempt}, {"buffer_frames", tap->tapBufferFrames}});
  const bool installed = installMicTap(input, *r.pipeline, *tap);
  emitRouteTrace("mic_reconnect_install_tap_done", "mic", {{"attempt", attempt}});
  if (!installed) return "could not install the mic input tap";
  emitRouteTrace("mic_reconnect_engine_prepare_begin", "mic", {{"attempt", attempt}});
  engine.prepare();
  emitRouteTrace("mic_reconnect_engine_start_begin", "mic", {{"attempt", attempt}});
  std::string error;
  if (!engine.start(&error)) return error;
  return std::nullopt;
}

std::optional<FreshMicEngine> tryFreshEngine(const MicChangeRequest& r, MicReconnectPlan& plan, int attempt) {
  emitRouteTrace("mic_reconnect_fresh_engine_create_begin", "mic", {{"attempt", attempt}});
  auto engine = std::make_shared<AudioEngine>();
  emitRouteTrace("mic_reconnect_fresh_engine_created", "mic", {{"attempt", attempt}});
  bindToRevertTarget(r, plan, *engine);
  const AudioFormat format = engine->inputNode().inputFormat(0);
  const auto effective = freshFormat(attempt, format);
  if (!effective) return std::nullopt;
  if (auto failure = installTapAndStart(r, plan, attempt, *engine, format)) {
    r.pipeline->closeTap();
    engine->inputNode().removeTap(0);
    emitRouteTrace("mic_reconnect_engine_start_failed", "mic",
                   {{"attempt", attempt},
                    {"rate", format.sampleRate()},
                    {"channels", format.channelCount()},
                    {"detail", *failure}});
    emitEvent(Event{{"type", "source_reconnecting"},
                    {"source", "mic"},
                    {"reason", "engine_start_failed"},
                    {"detail", *failure},
                    {"attempt", attempt}});
    return std::nullopt;
  }
  return FreshMicEngine{engine, format, *effective, attempt};
}

// The fresh engine becomes the mic's, unless a stop was claimed meanwhile:
// then it is stopped and nothing is opened.
void commitFreshEngine(const MicChangeRequest& r, const MicReconnectPlan& plan, const MicObservation& observed,
                       const FreshMicEngine& fresh, uint32_t oldGeneration, uint32_t newGeneration) {
  MicSource& mic = *r.mic;
  const LifecycleHold lifecycle(mic.session());
  if (!lifecycle) {
    removeTapAndStop(*fresh.engine);
    return;
  }
  const EffectiveMicCaptureFormat& eff = fresh.effective;
  advanceMicGeneration(r, newGeneration, eff, plan.reason);
  emitRouteTrace("mic_reconnect_generation_advanced", "mic",
                 {{"reason", plan.reason}, {"old_generation", oldGeneration}, {"new_generation", newGeneration}});
  // While paused there is no segment: resume opens it.
  if (!r.writer->paused()) {
    r.writer->open();
    emitRouteTrace("mic_reconnect_writer_opened", "mic",
                   {{"attempt", fresh.attempt}, {"rate", eff.sampleRate}, {"channels", eff.channels}});
  }
  // The recovery that is to prove this engine is open before the engine is
  // reported started; its graph counts as started only after that report.
  const SourceRecoveryTarget target{
      Source::mic, mic.deviceUID(), eff.sampleRate, eff.channels, newGeneration, plan.reason, 0, std::nullopt};
  beginMicRecovery(r, target);
  mic.setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kMicPostStartSuppressNs);
  emitRouteTrace(
      "mic_reconnect_engine_started", "mic",
      {{"uid", mic.deviceUID()}, {"route", mic.routeKind()}, {"rate", eff.sampleRate}, {"channels", eff.channels}});
  startMicCapture(r, target);
  const auto previous = mic.engine();
  mic.setEngine(fresh.engine);
  mic.setTapInstalled(true);
  installMicConfigChangeObserver(r.mic, previous, fresh.engine);
  emitMicTapFormatChange(mic, fresh.format);
  emitMicRouteEvent(r, plan, observed, false);
}

void failAfterFreshAttempts(const MicChangeRequest& r, const MicReconnectPlan& plan, const MicObservation& observed) {
  MicSource& mic = *r.mic;
  emitRouteTrace("mic_reconnect_source_failed", "mic", {{"reason", kFailedReason}, {"recoverable", true}});
  mic.recovery().reportFailed(kFailedReason, true);
  mic.recovery().fail(kFailedReason);
  mic.session().failRouteCoordinatorSource(Source::mic, kFailedReason, mic.session().currentRouteCoordinatorEpochID());
  emitMicRouteEvent(r, plan, observed, false);
}

}  // namespace

void sealAndRebuildMicEngine(const MicChangeRequest& r, const MicReconnectPlan& sealedPlan,
                             const MicObservation& observed) {
  MicSource& mic = *r.mic;
  if (!sealMicSegment(r, sealedPlan)) return;
  MicReconnectPlan plan = sealedPlan;
  const uint32_t oldGeneration = r.pipeline->generation().load();
  const uint32_t newGeneration = oldGeneration + 1;  // wraps
  mic.markFreshEngineRebuildStarted(machAbsoluteTimeNs());
  for (int attempt = 1; attempt <= kFreshEngineAttempts; ++attempt) {
    if (mic.session().isStopClaimed()) return;
    if (auto fresh = tryFreshEngine(r, plan, attempt)) {
      commitFreshEngine(r, plan, observed, *fresh, oldGeneration, newGeneration);
      return;
    }
    // The pause follows the fifth failure too.
    const uint64_t pauseNs = uint64_t{kMicReconnectRetryDelaysUs[static_cast<size_t>(attempt - 1)]} * 1000;
    if (!sleepUnlessStopping(mic, pauseNs)) return;
  }
  failAfterFreshAttempts(r, plan, observed);
}

}  // namespace helper
