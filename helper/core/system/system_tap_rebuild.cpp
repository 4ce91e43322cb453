#include "helper/core/system/system_tap_rebuild.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/routing/device_properties.h"

namespace helper {
namespace {

const char* traceStageFor(const std::string& trigger) {
  if (trigger == "default_output") return "default_output_notification";
  if (trigger == "default_system_output") return "default_system_output_notification";
  return "system_output_route_observed";
}

}  // namespace

void scheduleSystemTapRebuildForCurrentOutput(CaptureState& state, const std::string& reason,
                                              const std::string& trigger, bool allowSameUIDRateChange,
                                              const std::optional<SystemCadenceObservation>& observation,
                                              std::optional<double> consumerNativeRate) {
  const std::optional<uint32_t> device = readPreferredSystemCaptureOutputDevice();
  const std::optional<std::string> uid = device ? readDeviceUID(*device) : std::nullopt;
  const double nominal = device ? readDeviceNominalSampleRate(*device).value_or(0) : 0;
  const auto& writer = state.sysWriter();
  nlohmann::json fields{{"reason", reason},
                        {"trigger", trigger},
                        {"allow_same_uid_rate_change", allowSameUIDRateChange},
                        {"current_uid", state.sysOutputUID()},
                        {"observed_uid", uid.value_or("")},
                        {"observed_name", device ? readDeviceName(*device).value_or("") : ""},
                        {"observed_transport", device ? readDeviceTransportType(*device) : kRouteUnknown},
                        {"current_rate", writer ? writer->nativeRateNow() : 0},
                        {"observed_nominal_rate", nominal}};
  if (observation) {
    fields["cadence_frames"] = observation->canonicalFrames;
    fields["cadence_wall_ms"] = observation->wallMs;
    fields["cadence_frame_duration_ms"] = truncToInt64(observation->frameDurationMs());
    fields["cadence_drift_ms"] = truncToInt64(observation->driftMs());
    fields["cadence_drift_ratio"] = observation->driftRatio();
    if (consumerNativeRate) {
      if (auto inferred = observation->inferredProducerRate(*consumerNativeRate)) {
        fields["inferred_producer_rate"] = truncToInt64(*inferred);
      }
    }
  }
  emitRouteTrace(traceStageFor(trigger), "system", fields);
  // The route coordinator hears of every observed output; no rebuild follows yet.
  if (uid) {
    state.observeRouteCoordinatorOutput(*uid, readDeviceTransportType(*device), truncToInt64(nominal), reason, trigger,
                                        false, false);
  }
}

}  // namespace helper

namespace helper {

void scheduleSystemTapRebuildForRecoveryRetry(CaptureState& /*state*/, const std::string& /*reason*/,
                                              int64_t /*attempt*/) {
  // The graph cannot be rebuilt yet; the retry's recovery never begins.
}

}  // namespace helper
