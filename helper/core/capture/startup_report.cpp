#include "helper/core/capture/startup_report.h"

#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/system/system_source.h"
#include "helper/routing/device_properties.h"

namespace helper {
namespace {

constexpr int64_t kStandardRates[] = {8000,  11025, 16000, 22050, 24000,  32000,
                                      44100, 48000, 88200, 96000, 176400, 192000};
constexpr int64_t kMaxUsualSystemChannels = 8;

Event micObject(const CaptureState& state, const MicStartup& mic) {
  const CaptureConfig& c = state.config();
  const MicSource& source = *state.mic();
  return Event{{"native",
                {{"rate", mic.active ? truncToInt64(mic.hardwareRate) : 0},
                 {"channels", mic.active ? mic.hardwareChannels : 0},
                 {"format", "Float32"},
                 {"interleaved", mic.active && mic.hardwareInterleaved},
                 {"buffer_frames", mic.active ? mic.bufferFrames : 0}}},
               {"canonical",
                {{"rate", truncToInt64(c.canonicalRate)}, {"channels", c.canonicalMicChannels}, {"format", "Float32"}}},
               {"device_name", source.deviceName()},
               {"device_uid", source.deviceUID()},
               {"route_kind", source.routeKind()},
               {"capture_gain", mic.active ? mic.gain : 0.0f},
               {"active", mic.active},
               {"permission_denied", mic.denied}};
}

Event systemObject(const CaptureState& state, const MicStartup& mic, const SystemStartup& system) {
  const CaptureConfig& c = state.config();
  const SystemTapStartResult* r = system.result ? &*system.result : nullptr;
  Event object{
      {"native",
       {{"rate", r ? truncToInt64(r->nativeRate) : 0},
        {"channels", r ? r->nativeChannels : 0},
        {"format", "Float32"},
        {"interleaved", r ? r->nativeInterleaved : true}}},
      {"canonical",
       {{"rate", truncToInt64(c.canonicalRate)}, {"channels", c.canonicalSystemChannels}, {"format", "Float32"}}},
      {"output_device_uid", state.system() ? state.system()->outputUID() : std::string()},
      {"output_device_name", state.system() ? state.system()->outputName() : std::string()},
      {"tap_channels", r ? r->tapChannels : 0},
      {"active", system.active()},
      {"permission_denied", system.denied}};
  if (r) {
    const ResolvedRate& rate = r->rateResolution;
    Event resolution{{"tap_asbd_rate", truncToInt64(rate.tapAsbdRate)},
                     {"effective_rate", truncToInt64(rate.effectiveRate)},
                     {"source", rate.source},
                     {"output_transport", r->outputTransport},
                     {"mic_native_rate", mic.active ? truncToInt64(mic.hardwareRate) : 0},
                     {"mic_route_kind", state.micRouteFacts().routeKind},
                     {"same_bluetooth_device", rate.sameBluetoothDevice}};
    if (r->outputNominalRate) resolution["output_device_nominal_rate"] = truncToInt64(*r->outputNominalRate);
    if (r->aggregateNominalRate) resolution["aggregate_device_nominal_rate"] = truncToInt64(*r->aggregateNominalRate);
    object["rate_resolution"] = resolution;
  }
  return object;
}

}  // namespace

bool isStandardSampleRate(int64_t rate) {
  for (int64_t r : kStandardRates) {
    if (r == rate) return true;
  }
  return false;
}

Event helperReadyEvent(const CaptureState& state, const MicStartup& mic, const SystemStartup& system) {
  const CaptureConfig& c = state.config();
  Event ready{{"type", "helper_ready"},
              {"protocol_version", std::to_string(kProtocolVersion)},
              {"helper_build_id", kHelperBuildID}};
  if (c.includeMic) ready["mic"] = micObject(state, mic);
  if (mic.active) {
    ready["aec"] = Event{{"enabled", false},
                         {"mode", state.mic()->aecMode()},
                         {"agc_disabled", state.mic()->agcDisabled()},
                         {"ns_enabled", false}};
    auto vp = state.mic()->vpFormat();
    if (vp.is_object() && !vp.empty()) ready["vp_format"] = vp;
  }
  if (c.includeSystem) ready["system"] = systemObject(state, mic, system);
  return ready;
}

void emitMicStartupWarnings(const CaptureState& state, const MicStartup& mic) {
  const int64_t rate = truncToInt64(mic.hardwareRate);
  if (!isStandardSampleRate(rate))
    emitWarning("unusual_native_rate", "mic native rate " + std::to_string(rate) + " Hz");
  if (mic.hardwareChannels > 2) {
    emitWarning("unusual_channel_count",
                micHardwareChannelDiagnosticContext(mic.hardwareChannels, state.config().canonicalMicChannels));
  }
  const std::string route = state.mic()->routeKind();
  if (route == kRouteAggregate) emitWarning("aggregate_device_detected", "mic input is aggregate");
  if (route == kRouteVirtual) emitWarning("virtual_device_detected", "mic input is virtual");
}

void emitSystemRateOverride(const SystemStartup& system) {
  if (!system.result) return;
  const ResolvedRate& rate = system.result->rateResolution;
  if (rate.source == kRateSourceTapAsbd) return;
  emitWarning("system_rate_override", "system rate overridden from " + std::to_string(truncToInt64(rate.tapAsbdRate)) +
                                          " Hz to " + std::to_string(truncToInt64(rate.effectiveRate)) + " Hz via " +
                                          rate.source);
}

void emitOutputDeviceDetected(const CaptureState& state) {
  const auto classification = state.system() ? state.system()->outputClassification() : std::nullopt;
  if (!classification) return;
  emitEvent(Event{{"type", "output_device_detected"},
                  {"device_class", classification->deviceClass},
                  {"echo_risk", classification->echoRisk}});
}

void emitSystemStartupWarnings(const SystemStartup& system) {
  if (!system.result) return;
  const int64_t rate = truncToInt64(system.result->nativeRate);
  if (!isStandardSampleRate(rate)) {
    emitWarning("unusual_native_rate", "system native rate " + std::to_string(rate) + " Hz");
  }
  if (system.result->nativeChannels > kMaxUsualSystemChannels) {
    emitWarning("unusual_channel_count", "system has " + std::to_string(system.result->nativeChannels) + " channels");
  }
}

}  // namespace helper
