#pragma once
// The finalisation's fixed audio figures and its frame/millisecond
// conversions (saturating, recorder/recovery/numbers.h).
#include <cstdint>

#include "recorder/recovery/numbers.h"

namespace recorder::exporter {

// Every timeline, the mix and every frame/millisecond conversion run at this rate.
inline constexpr std::uint32_t kExportRate = 24000;
inline constexpr std::uint64_t kExportFramesPerMs = kExportRate / 1000;
// Bit rate of the final AAC file.
inline constexpr std::uint32_t kFinalBitrate = 48000;
// The longest timeline built: 24 hours at the export rate. A longer target
// comes from a corrupt duration or segment number, never from a recording.
inline constexpr std::uint64_t kMaxTimelineFrames = 24ULL * 3600ULL * kExportRate;

// Frames at the export rate to whole milliseconds, rounded down.
constexpr std::uint64_t frames_to_ms(std::uint64_t frames) { return frames / kExportFramesPerMs; }
// Milliseconds to frames at the export rate, saturating.
constexpr std::uint64_t ms_to_frames(std::uint64_t ms) { return sat_mul(ms, kExportFramesPerMs); }

}  // namespace recorder::exporter
