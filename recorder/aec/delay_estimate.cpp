#include "recorder/aec/delay_estimate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace recorder::aec {
namespace {

// Root mean square of each block of `block` samples.
std::vector<double> envelope(std::span<const std::int16_t> samples, std::uint64_t blocks, std::uint64_t block) {
  std::vector<double> env(static_cast<std::size_t>(blocks));
  for (std::size_t b = 0; b < env.size(); ++b) {
    double sum = 0;
    for (const std::int16_t s : samples.subspan(b * block, block)) sum += static_cast<double>(s) * s;
    env[b] = std::sqrt(sum / static_cast<double>(block));
  }
  return env;
}

// The first block of the `window` blocks with the most system envelope.
std::uint64_t loudest_window(const std::vector<double>& env, std::uint64_t window) {
  if (window >= env.size()) return 0;
  double sum = 0;
  for (std::uint64_t b = 0; b < window; ++b) sum += env[b];
  double best = sum;
  std::uint64_t best_first = 0;
  for (std::uint64_t b = window; b < env.size(); ++b) {
    sum += env[b] - env[b - window];
    if (sum > best) {
      best = sum;
      best_first = b - window + 1;
    }
  }
  return best_first;
}

// The lag in samples within one block of `block_lag` blocks at which the mic
// best matches the system over the loudest stretch of the system audio.
std::uint64_t refine_lag(std::span<const std::int16_t> mic, std::span<const std::int16_t> system,
                         const std::vector<double>& sys_env, std::uint64_t block, std::uint64_t block_lag) {
  const std::uint64_t centre = block_lag * block;
  const std::uint64_t window_blocks = std::min<std::uint64_t>(kDelayRefineSeconds * 100, sys_env.size());
  const std::uint64_t first = loudest_window(sys_env, window_blocks) * block;
  const std::uint64_t length = window_blocks * block;
  std::uint64_t best_lag = centre;
  double best = -std::numeric_limits<double>::infinity();
  for (std::uint64_t lag = centre > block ? centre - block : 0; lag <= centre + block; ++lag) {
    // Only the stretch that both runs hold at this lag.
    const std::uint64_t end = std::min<std::uint64_t>(first + length, mic.size() > lag ? mic.size() - lag : 0);
    if (end <= first) continue;
    double cross = 0;
    double mic_energy = 0;
    for (std::uint64_t i = first; i < end; ++i) {
      const double m = mic[i + lag];
      cross += static_cast<double>(system[i]) * m;
      mic_energy += m * m;
    }
    // An echo may come back with either polarity.
    const double score = mic_energy > 0 ? std::abs(cross) / std::sqrt(mic_energy) : 0.0;
    if (score > best) {
      best = score;
      best_lag = lag;
    }
  }
  return best_lag;
}

}  // namespace

DelayEstimate estimate_mic_delay(std::span<const std::int16_t> mic, std::span<const std::int16_t> system,
                                 std::uint32_t sample_rate) {
  const std::uint64_t block = sample_rate / 100;
  if (block == 0) return {};
  std::uint64_t blocks = std::min(mic.size(), system.size()) / block;
  if (blocks < kMinDelayBlocks) return {};
  blocks = std::min(blocks, kMaxDelayBlocks);
  const std::vector<double> sys_env = envelope(system, blocks, block);
  const std::vector<double> mic_env = envelope(mic, blocks, block);

  const std::uint64_t max_lag = std::min(blocks - kMinOverlapBlocks, kMaxLagBlocks);
  std::uint64_t best_lag = 0;
  double best = -1;
  for (std::uint64_t lag = 0; lag <= max_lag; ++lag) {
    const std::uint64_t n = blocks - lag;
    double cross = 0;
    double sys_energy = 0;
    double mic_energy = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      const double s = sys_env[i];
      const double m = mic_env[lag + i];
      cross += s * m;
      sys_energy += s * s;
      mic_energy += m * m;
    }
    const double product = sys_energy * mic_energy;
    const double correlation = product > 0 ? cross / std::sqrt(product) : 0.0;
    // A later lag wins only with a strictly better value.
    if (correlation > best) {
      best = correlation;
      best_lag = lag;
    }
  }
  DelayEstimate estimate;
  estimate.delay_ms = best_lag * 10;
  estimate.correlation = best;
  estimate.trusted = best >= kTrustedCorrelation;
  if (estimate.trusted) estimate.delay_samples = refine_lag(mic, system, sys_env, block, best_lag);
  return estimate;
}

std::uint64_t reference_delay_bytes(const DelayEstimate& estimate, std::uint32_t sample_rate) {
  if (!estimate.trusted || sample_rate == 0) return 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t samples = 0;
  std::uint64_t lead = 0;
  if (estimate.delay_samples) {
    samples = *estimate.delay_samples;
    lead = std::uint64_t{sample_rate} * kRefinedLeadMs / 1000;
  } else {
    // The estimator gives at most 2500 ms; any other value saturates.
    if (estimate.delay_ms > kMax / sample_rate) return kMax - 1;
    samples = std::uint64_t{sample_rate} * estimate.delay_ms / 1000;
    lead = sample_rate / 100;
  }
  if (samples <= lead) return 0;
  samples -= lead;
  return samples > kMax / 2 ? kMax - 1 : samples * 2;
}

}  // namespace recorder::aec
