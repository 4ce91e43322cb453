#pragma once
// Where the mic side reacts to a device or configuration change. Rebuilding
// the engine on the new device (and recovering the source) is the job of
// device-change handling; this is its single entry point.
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/engine/pcm.h"

namespace platform::audio {
class AudioEngine;
}

namespace helper {

class CaptureState;

void handleMicDeviceChange(const std::shared_ptr<CaptureState>& state,
                           const std::shared_ptr<platform::audio::AudioEngine>& engine,
                           const platform::audio::AudioFormat& canonicalFormat, float micGain,
                           bool bypassReconnectSuppression, bool forceFreshEngineRebuild,
                           const std::optional<std::string>& forcedReconnectReason);

}  // namespace helper
