#pragma once
// The one routine that moves a running mic from one input configuration to
// the next: nothing, a restart in place, or a full reconnect on a fresh
// engine with a new segment and a source recovery. Main queue only; one call
// at a time holds the reconnect slot, and a call that finds it taken is
// replayed once when it is released.
#include <memory>
#include <optional>
#include <string>

namespace platform::audio {
class AudioEngine;
}

namespace helper {

class MicSource;

void handleMicDeviceChange(const std::shared_ptr<MicSource>& mic,
                           const std::shared_ptr<platform::audio::AudioEngine>& engine, bool bypassReconnectSuppression,
                           bool forceFreshEngineRebuild, const std::optional<std::string>& forcedReconnectReason);

}  // namespace helper
