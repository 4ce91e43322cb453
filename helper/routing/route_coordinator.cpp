#include "helper/routing/route_coordinator.h"

#include <algorithm>

#include "helper/routing/device_properties.h"
#include "helper/routing/system_rate_resolution.h"

namespace helper {

namespace {

// The recorded UID of a side contradicts the one reported: a callback for
// a device the epoch is not about.
bool uidMismatch(bool seen, const std::string& recorded, const std::string& reported) {
  return seen && !recorded.empty() && recorded != reported;
}

}  // namespace

const char* routeCoordinatorShadowPhaseRawValue(RouteCoordinatorShadowPhase phase) {
  switch (phase) {
    case RouteCoordinatorShadowPhase::idle:
      return "idle";
    case RouteCoordinatorShadowPhase::verifying:
      return "verifying";
    case RouteCoordinatorShadowPhase::settled:
      return "settled";
    case RouteCoordinatorShadowPhase::failedRecoverable:
      return "failed_recoverable";
    case RouteCoordinatorShadowPhase::cancelled:
      return "cancelled";
  }
  return "idle";
}

std::optional<RouteCoordinatorShadowPhase> routeCoordinatorShadowPhaseFromRawValue(const std::string& raw) {
  for (auto phase :
       {RouteCoordinatorShadowPhase::idle, RouteCoordinatorShadowPhase::verifying, RouteCoordinatorShadowPhase::settled,
        RouteCoordinatorShadowPhase::failedRecoverable, RouteCoordinatorShadowPhase::cancelled}) {
    if (raw == routeCoordinatorShadowPhaseRawValue(phase)) return phase;
  }
  return std::nullopt;
}

std::optional<uint64_t> RouteCoordinatorShadow::activeEpochID() const {
  if (phase == RouteCoordinatorShadowPhase::idle) return std::nullopt;
  return epochID;
}

std::string RouteCoordinatorShadow::routeClass() const {
  if (!seenInput && !seenOutput) return "unknown";
  if (!seenInput) return "output_only";
  if (!seenOutput) return "input_only";
  if (inputRoute == kRouteBluetoothHfp && outputTransport == kRouteBluetoothHfp &&
      isLikelySameBluetoothDevice(inputUID, inputUID, outputUID, outputUID)) {
    return "paired_bt_hfp";
  }
  return "paired";
}

bool RouteCoordinatorShadow::ensureEpoch(uint64_t nowNs) {
  if (phase != RouteCoordinatorShadowPhase::idle &&
      nowNs <= firstObservationNs + kRouteCoordinatorMaxCoalesceWindowNs) {
    return false;
  }
  const uint64_t nextID = epochID + 1;
  *this = RouteCoordinatorShadow{};
  epochID = nextID;
  phase = RouteCoordinatorShadowPhase::verifying;
  firstObservationNs = nowNs;
  lastObservationNs = nowNs;
  return true;
}

RouteCoordinatorShadowObservationResult RouteCoordinatorShadow::observeInput(const std::string& uid,
                                                                             const std::string& route,
                                                                             int64_t sampleRate, uint64_t nowNs) {
  const bool started = ensureEpoch(nowNs);
  seenInput = true;
  inputUID = uid;
  inputRoute = route;
  inputRate = sampleRate;
  lastObservationNs = std::max(lastObservationNs, nowNs);
  micGraphStarted = false;
  micVerified = false;
  phase = RouteCoordinatorShadowPhase::verifying;
  return observationResult(started);
}

RouteCoordinatorShadowObservationResult RouteCoordinatorShadow::observeOutput(const std::string& uid,
                                                                              const std::string& transport,
                                                                              int64_t sampleRate, uint64_t nowNs) {
  // A Bluetooth headset that reports its hands-free output again after the
  // window stays in the epoch its input opened.
  const bool windowPassed = nowNs > firstObservationNs + kRouteCoordinatorMaxCoalesceWindowNs;
  const bool extend =
      (phase == RouteCoordinatorShadowPhase::verifying || phase == RouteCoordinatorShadowPhase::settled) &&
      windowPassed && seenInput && seenOutput && routeClass() == "paired_bt_hfp" && !outputUID.empty() &&
      outputUID == uid && outputTransport == transport && transport == kRouteBluetoothHfp;
  bool started = false;
  if (extend) {
    firstObservationNs = nowNs;
    lastObservationNs = std::max(lastObservationNs, nowNs);
  } else {
    started = ensureEpoch(nowNs);
  }
  seenOutput = true;
  outputUID = uid;
  outputTransport = transport;
  outputRate = sampleRate;
  lastObservationNs = std::max(lastObservationNs, nowNs);
  systemGraphStarted = false;
  systemVerified = false;
  phase = RouteCoordinatorShadowPhase::verifying;
  return observationResult(started);
}

bool RouteCoordinatorShadow::sourceGateRejects(uint64_t eventEpochID, int64_t sampleRate, int64_t channels) const {
  return eventEpochID != epochID || phase == RouteCoordinatorShadowPhase::idle ||
         phase == RouteCoordinatorShadowPhase::failedRecoverable || phase == RouteCoordinatorShadowPhase::cancelled ||
         sampleRate <= 0 || channels <= 0;
}

RouteCoordinatorShadowSourceResult RouteCoordinatorShadow::sourceGraphStarted(Source source, uint64_t eventEpochID,
                                                                              const std::string& uid,
                                                                              int64_t sampleRate, int64_t channels) {
  if (sourceGateRejects(eventEpochID, sampleRate, channels)) return sourceResult(false, false);
  if (source == Source::mic) {
    if (uidMismatch(seenInput, inputUID, uid)) return sourceResult(false, false);
    micGraphStarted = true;
  } else {
    if (uidMismatch(seenOutput, outputUID, uid)) return sourceResult(false, false);
    systemGraphStarted = true;
  }
  return sourceResult(true, false);
}

RouteCoordinatorShadowSourceResult RouteCoordinatorShadow::sourceVerified(Source source, uint64_t eventEpochID,
                                                                          const std::string& uid, int64_t sampleRate,
                                                                          int64_t channels) {
  if (sourceGateRejects(eventEpochID, sampleRate, channels)) return sourceResult(false, false);
  if (source == Source::mic) {
    if (!micGraphStarted || uidMismatch(seenInput, inputUID, uid)) return sourceResult(false, false);
    micVerified = true;
  } else {
    if (!systemGraphStarted || uidMismatch(seenOutput, outputUID, uid)) return sourceResult(false, false);
    systemVerified = true;
  }
  const bool complete = (seenInput || seenOutput) && (!seenInput || micVerified) && (!seenOutput || systemVerified);
  const bool wasSettled = phase == RouteCoordinatorShadowPhase::settled;
  if (complete) phase = RouteCoordinatorShadowPhase::settled;
  return sourceResult(true, complete && !wasSettled);
}

RouteCoordinatorShadowSourceResult RouteCoordinatorShadow::sourceFailed(Source /*source*/, uint64_t eventEpochID,
                                                                        const std::string& /*reason*/) {
  if (eventEpochID != epochID ||
      (phase != RouteCoordinatorShadowPhase::verifying && phase != RouteCoordinatorShadowPhase::settled)) {
    return sourceResult(false, false);
  }
  phase = RouteCoordinatorShadowPhase::failedRecoverable;
  return sourceResult(true, false);
}

RouteCoordinatorShadowSourceResult RouteCoordinatorShadow::cancel(const std::string& /*reason*/) {
  if (phase == RouteCoordinatorShadowPhase::idle) return sourceResult(false, false);
  phase = RouteCoordinatorShadowPhase::cancelled;
  return sourceResult(true, false);
}

RouteCoordinatorShadowObservationResult RouteCoordinatorShadow::observationResult(bool startedNewEpoch) const {
  return {epochID, startedNewEpoch, phase, routeClass(), seenInput, seenOutput, seenInput, seenOutput};
}

RouteCoordinatorShadowSourceResult RouteCoordinatorShadow::sourceResult(bool accepted, bool settledNow) const {
  return {epochID, accepted, settledNow, phase, routeClass(), seenInput, seenOutput};
}

}  // namespace helper
