#pragma once
// What the system path accepts of a process tap's stream format, and how
// the tap's frames are laid out in the system ring.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio/engine/pcm.h"
#include "platform/audio/hal/hal.h"

namespace helper {

// The most channels a tap may have: a frame of them still fits many times
// in the system ring.
inline constexpr uint32_t kMaxSystemTapChannels = 4096;

// Nothing when the format is usable: a finite rate above 0, 1 to
// kMaxSystemTapChannels channels, 32-bit float linear PCM. Otherwise the
// ctx of the refusal, "unsupported tap format: rate=<r> channels=<c>".
std::optional<std::string> unsupportedTapFormatReason(const platform::audio::hal::AudioStreamBasicDescription& format);

bool isNonInterleavedTapFormat(const platform::audio::hal::AudioStreamBasicDescription& format);

// Bytes of one frame in the ring: every channel of an interleaved tap, only
// the first channel of a non-interleaved one (the IO proc forwards its
// first buffer alone).
uint32_t systemRingFrameBytes(uint32_t channels, bool interleaved);

// The system consumer's native format: 32-bit float at the graph's rate,
// channel count and layout; nothing for a channel count outside 0 to
// 4294967295 or a format the platform refuses.
std::optional<platform::audio::AudioFormat> makeSystemNativeFormat(double rate, int64_t channels, bool interleaved);

// A rate as the contexts show it: "48000", "44100.5", "nan", "inf".
std::string formatRate(double rate);

}  // namespace helper
