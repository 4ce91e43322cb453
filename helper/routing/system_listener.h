#pragma once
// A listener on a property of the audio system object, called on the main
// queue; one that cannot be installed is a warning. It stays installed
// until the process ends.
#include <cstdint>

#include "platform/audio/hal/hal.h"

namespace helper {

void addSystemListener(uint32_t selector, platform::audio::hal::AudioObjectPropertyListenerBlock block);

}  // namespace helper
