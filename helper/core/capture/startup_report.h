#pragma once
// What capture start-up tells the host once both sources are set up: the
// "helper_ready" event and the start-up warnings.
#include <optional>

#include "helper/core/bus/event_bus.h"
#include "helper/core/mic/mic_startup.h"
#include "helper/core/system/system_pipeline.h"

namespace helper {

class CaptureState;

// What the system graph looked like at start-up; no result when the
// system source is not active.
struct SystemStartup {
  bool denied = false;
  std::optional<SystemTapStartResult> result;
  bool active() const { return result.has_value(); }
};

Event helperReadyEvent(const CaptureState& state, const MicStartup& mic, const SystemStartup& system);

// "unusual_native_rate", "unusual_channel_count", "aggregate_device_detected"
// and "virtual_device_detected" of an active mic.
void emitMicStartupWarnings(const CaptureState& state, const MicStartup& mic);
// "system_rate_override" when another observation than the tap's format
// decided the rate.
void emitSystemRateOverride(const SystemStartup& system);
// "output_device_detected" for the output the graph follows.
void emitOutputDeviceDetected(const CaptureState& state);
// "unusual_native_rate" and "unusual_channel_count" of an active system source.
void emitSystemStartupWarnings(const SystemStartup& system);

// One of the 12 rates the start-up checks accept (whole numbers).
bool isStandardSampleRate(int64_t rate);

}  // namespace helper
