#pragma once
// The mic tap's audio format as events describe it ("tap_format_change"
// and the format the capture state remembers for it).
#include <nlohmann/json.hpp>

#include "platform/audio/engine/pcm.h"

namespace helper {

// sample_rate, channels, interleaved, common_format.
nlohmann::json vpFormatDict(const platform::audio::AudioFormat& format);

}  // namespace helper
