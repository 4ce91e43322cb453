#include "helper/core/mic/mic_device_change.h"

#include "helper/core/capture/capture_state.h"

namespace helper {

void handleMicDeviceChange(const std::shared_ptr<CaptureState>& /*state*/,
                           const std::shared_ptr<platform::audio::AudioEngine>& /*engine*/,
                           const platform::audio::AudioFormat& /*canonicalFormat*/, float /*micGain*/,
                           bool /*bypassReconnectSuppression*/, bool /*forceFreshEngineRebuild*/,
                           const std::optional<std::string>& /*forcedReconnectReason*/) {
  // Mic reconnects are not built yet: the engine keeps whatever device it
  // had, and a device that went away leaves the mic silent until the stop.
}

}  // namespace helper
