#pragma once
// The finalisation's fixed audio figures and the saturating arithmetic its
// frame and millisecond counts use: lengths come from file sizes, file names
// and the host's manifest, so none of them may wrap.
#include <cstdint>
#include <limits>

namespace recorder::exporter {

// Every timeline, the mix and every frame/millisecond conversion run at this rate.
inline constexpr std::uint32_t kExportRate = 24000;
inline constexpr std::uint64_t kExportFramesPerMs = kExportRate / 1000;
// Bit rate of the final AAC file.
inline constexpr std::uint32_t kFinalBitrate = 48000;
// The capture helper starts a new segment after this many frames at its own rate.
inline constexpr std::uint64_t kSegmentRotationFrames = 720000;
// The longest timeline built: 24 hours at the export rate. A longer target
// comes from a corrupt duration or segment number, never from a recording.
inline constexpr std::uint64_t kMaxTimelineFrames = 24ULL * 3600ULL * kExportRate;

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}

constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}

constexpr std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// ceil(value x mul / div); the largest value when the product does not fit.
constexpr std::uint64_t sat_mul_div_ceil(std::uint64_t value, std::uint64_t mul, std::uint64_t div) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(value, mul, &product)) return kU64Max;
  return product / div + (product % div != 0 ? 1 : 0);
}

// Frames at the export rate to whole milliseconds, rounded down.
constexpr std::uint64_t frames_to_ms(std::uint64_t frames) { return frames / kExportFramesPerMs; }
// Milliseconds to frames at the export rate, saturating.
constexpr std::uint64_t ms_to_frames(std::uint64_t ms) { return sat_mul(ms, kExportFramesPerMs); }

}  // namespace recorder::exporter
