#pragma once
// The observer of a mic engine's configuration changes: it traces the
// notification on the posting thread and hands it to device-change
// handling on the main queue.
#include <memory>

namespace platform::audio {
class AudioEngine;
}

namespace helper {

class MicSource;

// Main queue. Removes the observer the source holds from `previous` (when
// given), installs one on `engine` holding the source weakly, and keeps its
// token in the source.
void installMicConfigChangeObserver(const std::shared_ptr<MicSource>& mic,
                                    const std::shared_ptr<platform::audio::AudioEngine>& previous,
                                    const std::shared_ptr<platform::audio::AudioEngine>& engine);

}  // namespace helper
