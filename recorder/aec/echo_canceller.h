#pragma once
// Offline removal of the system audio's echo from the mic timeline.
#include <cstdint>
#include <filesystem>

#include "recorder/recovery/io_error.h"

namespace recorder::aec {

struct AecMetrics {
  double erle_db = 0;
  double active_fraction = 0;
  double action_fraction = 0;
  double collapse_fraction = 0;
  double divergence_fraction = 0;
  std::uint64_t frames = 0;
  double min_action_fraction = 0;
  double max_collapse_fraction = 0;
  double max_divergence_fraction = 0;
  std::uint64_t delay_ms = 0;
  bool delay_applied = false;
};

// Reads the mic and system timelines (16-bit mono CAF at `sample_rate`,
// at least 100 Hz), writes the cleaned mic timeline to `out_path` with
// exactly as many samples as the mic timeline, and returns the metrics.
IoResult<AecMetrics> cancel_mic_echo(const std::filesystem::path& mic_path, const std::filesystem::path& system_path,
                                     const std::filesystem::path& out_path, std::uint32_t sample_rate);

}  // namespace recorder::aec
