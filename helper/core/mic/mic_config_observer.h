#pragma once
// The observer of a mic engine's configuration changes: it traces the
// notification on the posting thread and hands it to device-change
// handling on the main queue.
#include <memory>

#include "platform/audio/engine/pcm.h"

namespace platform::audio {
class AudioEngine;
}

namespace helper {

class CaptureState;

// Main queue. Removes the observer the state holds from `previous` (when
// given), installs one on `engine` holding the state weakly, and keeps its
// token in the state.
void installMicConfigChangeObserver(const std::shared_ptr<CaptureState>& state,
                                    const std::shared_ptr<platform::audio::AudioEngine>& previous,
                                    const std::shared_ptr<platform::audio::AudioEngine>& engine,
                                    const platform::audio::AudioFormat& canonicalFormat, float micGain);

}  // namespace helper
