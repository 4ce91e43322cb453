#include "tests/support/audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <optional>

#include "segment_format/segment_format.h"
#include "tests/support/temp_dir.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using Complex = std::complex<double>;

constexpr std::size_t kCafHeaderBytes = segment_format::kHeaderBytes;

std::vector<std::int16_t> s16le(const std::string& bytes, std::size_t offset) {
  std::vector<std::int16_t> out;
  out.reserve(bytes.size() > offset ? (bytes.size() - offset) / 2 : 0);
  for (std::size_t i = offset; i + 1 < bytes.size(); i += 2) {
    const auto lo = static_cast<std::uint8_t>(bytes[i]);
    const auto hi = static_cast<std::uint8_t>(bytes[i + 1]);
    out.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8))));
  }
  return out;
}

// In-place iterative radix-2 transform; `data.size()` is a power of two.
void fft(std::vector<Complex>& data, bool inverse) {
  const std::size_t n = data.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(data[i], data[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = 2 * std::numbers::pi / static_cast<double>(len) * (inverse ? 1 : -1);
    const Complex step(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += len) {
      Complex w(1);
      for (std::size_t k = 0; k < len / 2; ++k) {
        const Complex u = data[i + k];
        const Complex v = data[i + k + len / 2] * w;
        data[i + k] = u + v;
        data[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
  if (inverse) {
    for (auto& x : data) x /= static_cast<double>(n);
  }
}

std::vector<double> prefixEnergy(const std::vector<float>& x) {
  std::vector<double> p(x.size() + 1, 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) p[i + 1] = p[i] + static_cast<double>(x[i]) * x[i];
  return p;
}

}  // namespace

std::vector<std::int16_t> cafSamples(const fs::path& path) { return s16le(readFile(path), kCafHeaderBytes); }

std::vector<std::int16_t> joinedSegments(const fs::path& dir) {
  std::map<std::string, fs::path> segments;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".caf") segments[entry.path().filename().string()] = entry.path();
  }
  std::vector<std::int16_t> out;
  for (const auto& [name, path] : segments) {
    const auto samples = cafSamples(path);
    out.insert(out.end(), samples.begin(), samples.end());
  }
  return out;
}

std::vector<float> toFloat(const std::vector<std::int16_t>& samples) {
  std::vector<float> out(samples.size());
  std::transform(samples.begin(), samples.end(), out.begin(), [](std::int16_t s) { return s / 32768.0f; });
  return out;
}

std::vector<float> readRawS16(const fs::path& path) { return toFloat(s16le(readFile(path), 0)); }

Alignment bestAlignment(const std::vector<float>& signal, const std::vector<float>& reference, std::int64_t minLag,
                        std::int64_t maxLag) {
  Alignment best{minLag, 0.0};
  if (signal.empty() || reference.empty() || minLag > maxLag) return best;
  std::size_t n = 1;
  while (n < signal.size() + reference.size()) n <<= 1;
  std::vector<Complex> a(n), b(n);
  std::copy(signal.begin(), signal.end(), a.begin());
  std::copy(reference.begin(), reference.end(), b.begin());
  fft(a, false);
  fft(b, false);
  for (std::size_t i = 0; i < n; ++i) a[i] = std::conj(a[i]) * b[i];
  fft(a, true);  // a[k] = sum_i signal[i] * reference[i + k], negative k wrapped

  const auto pS = prefixEnergy(signal);
  const auto pR = prefixEnergy(reference);
  const auto S = static_cast<std::int64_t>(signal.size());
  const auto R = static_cast<std::int64_t>(reference.size());
  for (std::int64_t k = minLag; k <= maxLag; ++k) {
    const std::int64_t begin = std::max<std::int64_t>(0, -k);
    const std::int64_t end = std::min<std::int64_t>(S, R - k);
    if (end - begin < S / 2) continue;  // too little overlap to judge
    const double es = pS[end] - pS[begin];
    const double er = pR[end + k] - pR[begin + k];
    if (!(es > 0 && er > 0)) continue;
    const auto idx = static_cast<std::size_t>((k % static_cast<std::int64_t>(n) + static_cast<std::int64_t>(n)) %
                                              static_cast<std::int64_t>(n));
    const double c = a[idx].real() / std::sqrt(es * er);
    if (c > best.coefficient) best = {k, c};
  }
  return best;
}

double correlationAt(const std::vector<float>& signal, const std::vector<float>& reference, std::int64_t lag,
                     std::size_t from, std::size_t to) {
  double sr = 0, ss = 0, rr = 0;
  for (std::size_t i = from; i < to && i < signal.size(); ++i) {
    const std::int64_t j = static_cast<std::int64_t>(i) + lag;
    if (j < 0 || j >= static_cast<std::int64_t>(reference.size())) continue;
    const double s = signal[i];
    const double r = reference[static_cast<std::size_t>(j)];
    sr += s * r;
    ss += s * s;
    rr += r * r;
  }
  return ss > 0 && rr > 0 ? sr / std::sqrt(ss * rr) : 0.0;
}

double meanSquare(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  to = std::min(to, samples.size());
  if (to <= from) return 0.0;
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return sum / static_cast<double>(to - from);
}

namespace {

// The least-squares fit a sin(wt) + b cos(wt) of samples [start, start + len);
// nothing when the block cannot tell the two apart.
struct ToneBlock {
  double a = 0, b = 0;
  double at(double w, std::size_t i) const {
    const double t = w * static_cast<double>(i);
    return a * std::sin(t) + b * std::cos(t);
  }
};

std::optional<ToneBlock> fitToneBlock(const std::vector<float>& samples, double w, std::size_t start, std::size_t len) {
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
  for (std::size_t i = start; i < start + len; ++i) {
    const double t = w * static_cast<double>(i);
    const double s = std::sin(t), c = std::cos(t), x = samples[i];
    ss += s * s;
    cc += c * c;
    sc += s * c;
    xs += x * s;
    xc += x * c;
  }
  const double det = ss * cc - sc * sc;
  if (!(std::abs(det) > 0)) return std::nullopt;
  return ToneBlock{(xs * cc - xc * sc) / det, (xc * ss - xs * sc) / det};
}

}  // namespace

ToneFit fitTone(const std::vector<float>& samples, double frequency, double rate, std::size_t blockFrames) {
  ToneFit fit;
  fit.residual = samples;
  const double w = 2 * std::numbers::pi * frequency / rate;
  double amplitudeSquares = 0;
  std::size_t blocks = 0;
  for (std::size_t start = 0; blockFrames > 0 && start < samples.size(); start += blockFrames) {
    const std::size_t len = std::min(blockFrames, samples.size() - start);
    const auto tone = fitToneBlock(samples, w, start, len);
    if (!tone) continue;
    for (std::size_t i = start; i < start + len; ++i) fit.residual[i] = static_cast<float>(samples[i] - tone->at(w, i));
    amplitudeSquares += tone->a * tone->a + tone->b * tone->b;
    ++blocks;
  }
  fit.amplitude = blocks > 0 ? std::sqrt(amplitudeSquares / static_cast<double>(blocks)) : 0.0;
  return fit;
}

ToneContinuity toneContinuity(const std::vector<float>& samples, double frequency, double rate, std::size_t blockFrames,
                              std::size_t from) {
  struct Block {
    double amplitude, phase, residual;
  };
  std::vector<Block> blocks;
  const double w = 2 * std::numbers::pi * frequency / rate;
  for (std::size_t start = from; blockFrames > 0 && start + blockFrames <= samples.size(); start += blockFrames) {
    const auto tone = fitToneBlock(samples, w, start, blockFrames);
    if (!tone) continue;
    double r = 0;
    for (std::size_t i = start; i < start + blockFrames; ++i) {
      const double e = samples[i] - tone->at(w, i);
      r += e * e;
    }
    blocks.push_back(
        {std::hypot(tone->a, tone->b), std::atan2(tone->b, tone->a), std::sqrt(r / static_cast<double>(blockFrames))});
  }
  ToneContinuity out;
  out.blocks = blocks.size();
  if (blocks.empty()) return out;
  std::vector<double> amplitudes;
  for (const auto& b : blocks) amplitudes.push_back(b.amplitude);
  std::nth_element(amplitudes.begin(), amplitudes.begin() + static_cast<std::ptrdiff_t>(amplitudes.size() / 2),
                   amplitudes.end());
  const double median = amplitudes[amplitudes.size() / 2];
  if (!(median > 0)) {
    out.lowestLevel = 0;
    return out;
  }
  const auto advance = [&](std::size_t i) {  // from block i - 1 to block i, in (-pi, pi]
    double d = std::remainder(blocks[i].phase - blocks[i - 1].phase, 2 * std::numbers::pi);
    if (d <= -std::numbers::pi) d += 2 * std::numbers::pi;
    return d;
  };
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    out.lowestLevel = std::min(out.lowestLevel, blocks[i].amplitude / median);
    out.worstResidual = std::max(out.worstResidual, blocks[i].residual / median);
    if (i < 2 || i + 1 >= blocks.size()) continue;
    const double step =
        std::fabs(std::remainder(advance(i) - (advance(i - 1) + advance(i + 1)) / 2, 2 * std::numbers::pi));
    out.worstPhaseStepDegrees = std::max(out.worstPhaseStepDegrees, step * 180 / std::numbers::pi);
  }
  return out;
}

double decibels(double powerRatio) { return 10.0 * std::log10(powerRatio); }

}  // namespace testsupport
