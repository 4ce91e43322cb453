#include "helper/core/system/system_tap_format.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace helper {

namespace hal = platform::audio::hal;

std::optional<platform::audio::AudioFormat> makeSystemNativeFormat(double rate, int64_t channels, bool interleaved) {
  if (channels < 0 || channels > UINT32_MAX) return std::nullopt;
  return platform::audio::AudioFormat::make(platform::audio::CommonFormat::pcmFloat32, rate,
                                            static_cast<uint32_t>(channels), interleaved);
}

std::string formatRate(double rate) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.precision(12);
  out << rate;
  return out.str();
}

std::optional<std::string> unsupportedTapFormatReason(const hal::AudioStreamBasicDescription& f) {
  const bool rateUsable = std::isfinite(f.sampleRate) && f.sampleRate > 0;
  const bool channelsUsable = f.channelsPerFrame >= 1 && f.channelsPerFrame <= kMaxSystemTapChannels;
  const bool floatPCM = f.formatID == hal::kAudioFormatLinearPCM &&
                        (f.formatFlags & hal::kAudioFormatFlagIsFloat) != 0 && f.bitsPerChannel == 32;
  if (rateUsable && channelsUsable && floatPCM) return std::nullopt;
  return "unsupported tap format: rate=" + formatRate(f.sampleRate) + " channels=" + std::to_string(f.channelsPerFrame);
}

bool isNonInterleavedTapFormat(const hal::AudioStreamBasicDescription& f) {
  return (f.formatFlags & hal::kAudioFormatFlagIsNonInterleaved) != 0;
}

uint32_t systemRingFrameBytes(uint32_t channels, bool interleaved) { return interleaved ? 4 * channels : 4; }

}  // namespace helper
