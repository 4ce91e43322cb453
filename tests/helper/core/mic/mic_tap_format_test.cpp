#include "helper/core/mic/mic_tap_format.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

TEST(FormatDescription, NamesRateChannelsLayoutAndSampleFormat) {
  const platform::audio::AudioFormat f(platform::audio::CommonFormat::pcmFloat32, 48000, 2, false);
  EXPECT_EQ(vpFormatDict(f),
            (nlohmann::json{{"sample_rate", 48000.0}, {"channels", 2}, {"interleaved", false}, {"common_format", 1}}));
}

}  // namespace
}  // namespace helper
