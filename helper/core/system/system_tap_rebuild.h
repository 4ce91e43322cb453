#pragma once
// Where the system side asks for its tap graph to be built again for the
// current output device: the output-device listeners on a change of the
// default output, and the consumer when frames arrive at a stale rate.
#include <cstdint>
#include <optional>
#include <string>

#include "helper/core/system/system_cadence.h"

namespace helper {

class CaptureState;

// Observes the current default output and reports the request as a route
// trace ("default_output_notification", "default_system_output_notification",
// or "system_output_route_observed" for other triggers). Returns at once;
// any thread. Rebuilding the graph is not available yet: the graph keeps
// its device and rate.
void scheduleSystemTapRebuildForCurrentOutput(CaptureState& state, const std::string& reason,
                                              const std::string& trigger, bool allowSameUIDRateChange,
                                              const std::optional<SystemCadenceObservation>& observation,
                                              std::optional<double> consumerNativeRate);

// A forced rebuild for the current default output after a recovery
// time-out without frames (attempt counts from 1).
void scheduleSystemTapRebuildForRecoveryRetry(CaptureState& state, const std::string& reason, int64_t attempt);

}  // namespace helper
