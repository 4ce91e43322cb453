#include "helper/core/mic/mic_tap_format.h"

namespace helper {

nlohmann::json vpFormatDict(const platform::audio::AudioFormat& format) {
  return {{"sample_rate", format.sampleRate()},
          {"channels", format.channelCount()},
          {"interleaved", format.isInterleaved()},
          {"common_format", static_cast<uint32_t>(format.commonFormat())}};
}

}  // namespace helper
