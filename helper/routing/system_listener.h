#pragma once
// A listener on a property of the audio system object, called on the main
// queue; one that cannot be installed is reported to `warn` as a warning
// ("device_listener_failed"). It stays installed until the process ends.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/audio/hal/hal.h"

namespace helper {

// Takes a warning's code and its context.
using ListenerWarningSink = std::function<void(const std::string& code, const std::string& ctx)>;

void addSystemListener(uint32_t selector, const ListenerWarningSink& warn,
                       platform::audio::hal::AudioObjectPropertyListenerBlock block);

}  // namespace helper
