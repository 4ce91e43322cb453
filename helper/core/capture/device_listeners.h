#pragma once
// The output listeners of capture mode, on the system object and the main
// queue: the default output and default system output (system tap rebuild
// requests) while the system source is active. They stay installed until
// the process ends. The mic follows the default input itself
// (mic_input_following.h).
#include <memory>

namespace helper {

class SystemSource;

// Holds the source strongly: each change asks for a rebuild of the system
// tap graph for the current output.
void installOutputDeviceListeners(const std::shared_ptr<SystemSource>& system);

}  // namespace helper
