#pragma once
// Generated talk for the echo benchmarks: a repeatable noise source and
// syllable-like bursts of band-limited noise with short gaps and pauses.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace bench {

class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  // Uniform in [-1, 1).
  double next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<double>((state_ * 0x2545F4914F6CDD1DULL) >> 11) / static_cast<double>(1ULL << 52) - 1.0;
  }

 private:
  std::uint64_t state_;
};

inline std::vector<double> talk(std::size_t n, double peak, std::uint32_t rate, std::uint64_t seed) {
  Noise noise(seed);
  std::vector<double> out(n, 0.0);
  double lo = 0;
  double hi = 0;
  std::size_t at = 0;
  while (at < n) {
    const auto length = static_cast<std::size_t>((0.165 + 0.085 * noise.next()) * rate);
    const double level = peak * (0.55 + 0.45 * std::abs(noise.next()));
    for (std::size_t i = 0; i < length && at + i < n; ++i) {
      const double x = noise.next();
      hi += 0.55 * (x - hi);
      lo += 0.04 * (x - lo);
      const double s = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(length));
      out[at + i] = level * s * s * (hi - lo) / 0.6;
    }
    at += length + static_cast<std::size_t>((noise.next() > 0.7 ? 0.45 : 0.12) * rate);
  }
  return out;
}

}  // namespace bench
