// Steps that the mic's restart, route-storm and fresh-engine roads share.
#include <algorithm>
#include <chrono>
#include <thread>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_reconnect.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/mic/mic_tap_format.h"
#include "helper/routing/device_properties.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr uint64_t kStopCheckSliceNs = 20'000'000ULL;

const char* micDeviceClassOfRoute(const std::string& route) {
  if (route == kRouteBuiltIn) return "built_in_mic";
  if (route == kRouteBluetoothHfp) return "bluetooth_mic";
  if (route == kRouteUsb) return "usb_mic";
  return "unknown";
}

// The native rate and channels a route event reports for the new input.
std::pair<int64_t, int64_t> reportedNative(const MicObservation& o) {
  if (o.effective) return {o.effective->sampleRate, o.effective->channels};
  return {truncToInt64(o.format.sampleRate()), static_cast<int64_t>(o.format.channelCount())};
}

void scheduleDeviceChangedDebounce(const MicChangeRequest& r, const std::string& oldRoute) {
  auto following = r.mic->deviceFollowing();
  const std::optional<uint32_t> device = readDefaultInputDevice();
  if (!following || !device) return;
  std::weak_ptr<MicSource> weak = r.mic;
  following->scheduleDebounce(*device, platform::dispatch::mainQueue(),
                              [weak, fromClass = std::string(micDeviceClassOfRoute(oldRoute))](uint32_t deviceID) {
                                auto mic = weak.lock();
                                if (!mic || mic->session().isStopClaimed()) return;
                                emitEvent(Event{{"type", "device_changed"},
                                                {"source", "mic"},
                                                {"from_class", fromClass},
                                                {"to_class", classifyInputDevice(deviceID)}});
                              });
}

}  // namespace

bool canRestartMicInPlace(const MicChangeRequest& r) { return r.mic->tapInstalled() && r.writer->hasOpenSegment(); }

MicTapSizing micTapSizing(double nativeRate, int64_t maximumFramesToRender) {
  MicTapSizing s;
  s.bufferFrames = micTapRequestFrames(nativeRate);
  s.renderQuantum = std::max<int64_t>(1, maximumFramesToRender);
  s.scratchFrames = micTapScratchMaxFrames(nativeRate, s.renderQuantum);
  return s;
}

std::optional<MicPipeline::TapSettings> rebuiltMicTapSettings(double nativeRate, int64_t maximumFramesToRender,
                                                              float gain) {
  const MicTapSizing sizing = micTapSizing(nativeRate, maximumFramesToRender);
  if (sizing.bufferFrames > UINT32_MAX) return std::nullopt;
  return MicPipeline::TapSettings{sizing.scratchFrames, sizing.renderQuantum, sizing.bufferFrames, gain, false};
}

bool installMicTap(platform::audio::InputNode& input, MicPipeline& pipeline, const MicPipeline::TapSettings& tap,
                   std::optional<platform::audio::AudioFormat> format) {
  return input.installTap(0, static_cast<uint32_t>(tap.tapBufferFrames), std::move(format), pipeline.makeTapBlock(tap));
}

void advanceMicGeneration(const MicChangeRequest& r, uint32_t generation, const EffectiveMicCaptureFormat& format,
                          const std::string& reason) {
  MicSource& mic = *r.mic;
  r.writer->setNativeRateNow(format.sampleRate);
  r.writer->setNativeChannelsNow(format.channels);
  // Recorded before it is current, so the consumer never meets a
  // generation without its format.
  mic.generationFormats().record(generation, format.sampleRate, format.channels, mic.deviceUID(), mic.routeKind(),
                                 reason);
  r.pipeline->generation().store(generation);
}

void beginMicRecovery(const MicChangeRequest& r, const SourceRecoveryTarget& target) {
  MicSource& mic = *r.mic;
  if (r.writer->paused()) {
    mic.setRecoveryOwedAtResume(target);
    return;
  }
  mic.setRecoveryOwedAtResume(std::nullopt);
  mic.recovery().begin(target);
}

void startMicCapture(const MicChangeRequest& r, const SourceRecoveryTarget& target) {
  if (r.writer->paused()) return;
  r.mic->recovery().graphStarted(target.uid, target.sampleRate, target.channels);
  r.pipeline->openTap();
}

void resumeMicCapture(const MicChangeRequest& r, const SourceRecoveryTarget& target) {
  beginMicRecovery(r, target);
  startMicCapture(r, target);
}

void emitMicTapFormatChange(MicSource& mic, const platform::audio::AudioFormat& format) {
  const nlohmann::json to = vpFormatDict(format);
  emitEvent(Event{{"type", "tap_format_change"}, {"from", mic.vpFormat()}, {"to", to}});
  mic.setVpFormat(to);
}

void emitMicRouteEvent(const MicChangeRequest& r, const MicReconnectPlan& plan, const MicObservation& observed,
                       bool restartedInRouteStorm) {
  const MicSource& mic = *r.mic;
  const auto [rate, channels] = reportedNative(observed);
  const std::string uid = mic.deviceUID();
  const std::string route = mic.routeKind();
  if (uid == plan.oldUID) {
    if (restartedInRouteStorm) return;
    emitEvent(Event{
        {"type", "route_variance"},
        {"src", "mic"},
        {"device_uid", uid},
        {"from", {{"native_rate", plan.oldRate}, {"native_channels", plan.oldChannels}, {"route_kind", plan.oldRoute}}},
        {"to", {{"native_rate", rate}, {"native_channels", channels}, {"route_kind", route}}},
        {"canonical_preserved", true},
        {"seg_sealed", true}});
    return;
  }
  emitEvent(Event{{"type", "device_change"},
                  {"src", "mic"},
                  {"from",
                   {{"uid", plan.oldUID},
                    {"name", plan.oldName},
                    {"route_kind", plan.oldRoute},
                    {"native_rate", plan.oldRate},
                    {"native_channels", plan.oldChannels}}},
                  {"to",
                   {{"uid", uid},
                    {"name", mic.deviceName()},
                    {"route_kind", route},
                    {"native_rate", rate},
                    {"native_channels", channels}}},
                  {"gap_ms", 0},
                  {"canonical_preserved", true}});
  if (!restartedInRouteStorm) scheduleDeviceChangedDebounce(r, plan.oldRoute);
}

bool sleepUnlessStopping(const MicSource& mic, uint64_t ns) {
  const uint64_t deadline = machAbsoluteTimeNs() + ns;
  while (!mic.session().isStopClaimed()) {
    const uint64_t now = machAbsoluteTimeNs();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(deadline - now, kStopCheckSliceNs)));
  }
  return false;
}

}  // namespace helper
