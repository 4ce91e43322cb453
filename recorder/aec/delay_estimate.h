#pragma once
// How far the mic lags the system audio: the 10 ms envelopes of both runs
// are compared at lags of 0 to 2.5 s, and the lag with the best normalised
// correlation wins.
#include <cstdint>
#include <optional>
#include <span>

namespace recorder::aec {

// Fewer envelope blocks than this give no estimate.
inline constexpr std::uint64_t kMinDelayBlocks = 100;
// At most this many blocks (60 s) are compared.
inline constexpr std::uint64_t kMaxDelayBlocks = 6000;
// Lags searched: at most this many blocks, and always 50 blocks of overlap.
inline constexpr std::uint64_t kMaxLagBlocks = 250;
inline constexpr std::uint64_t kMinOverlapBlocks = 50;
// A best correlation from this value on is trusted.
inline constexpr double kTrustedCorrelation = 0.4;
// Seconds of audio read from each timeline for the estimate.
inline constexpr std::uint64_t kDelaySearchSeconds = 60;
// Seconds of the loudest system audio over which a trusted lag is refined to
// the sample, within one block either way.
inline constexpr std::uint64_t kDelayRefineSeconds = 10;

struct DelayEstimate {
  // The best lag in milliseconds; 0 when no estimate was made.
  std::uint64_t delay_ms = 0;
  double correlation = 0;
  bool trusted = false;
  // A trusted lag refined to the sample. The block lag alone may lie up to
  // a block past the echo, and a reference delayed past the echo leaves the
  // canceller nothing it can model.
  std::optional<std::uint64_t> delay_samples;
  bool operator==(const DelayEstimate&) const = default;
};

// Estimates the lag of `mic` behind `system` at `sample_rate` (at least 100 Hz;
// a lower rate gives no estimate).
DelayEstimate estimate_mic_delay(std::span<const std::int16_t> mic, std::span<const std::int16_t> system,
                                 std::uint32_t sample_rate);

// How far the reference is put ahead of a refined lag. An echo that falls
// between two samples (a resampled one, say) begins a little before the
// sample the lag names, and the canceller cannot model what comes before
// its reference. A longer lead slows the canceller's convergence, and one
// near its 256-sample frame (10 ms at 24000 Hz) puts the echo's direct path
// on the edge of the filter's first partition, which speexdsp models poorly.
inline constexpr std::uint64_t kRefinedLeadMs = 2;

// Zero bytes to put before the reference, so that it leads the echo: the
// refined lag less kRefinedLeadMs or, without one, the block lag less one
// block (it may lie up to a block past the echo), in whole samples, twice;
// 0 when the estimate is not trusted or the lead takes the whole lag.
std::uint64_t reference_delay_bytes(const DelayEstimate& estimate, std::uint32_t sample_rate);

}  // namespace recorder::aec
