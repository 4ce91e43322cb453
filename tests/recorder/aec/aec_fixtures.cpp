#include "tests/recorder/aec/aec_fixtures.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>

#include "recorder/recovery/caf.h"
#include "tests/support/temp_dir.h"

namespace recorder::aec::testing {

void write_timeline(const std::filesystem::path& path, const std::vector<std::int16_t>& samples, std::uint32_t rate) {
  const auto header = recovery::caf_header(rate, samples.size() * 2);
  const auto body = recovery::samples_to_bytes(samples);
  testsupport::writeFile(path, std::string(header.begin(), header.end()) + std::string(body.begin(), body.end()));
}

std::vector<std::int16_t> read_timeline(const std::filesystem::path& path) {
  const std::string bytes = testsupport::readFile(path);
  if (bytes.size() <= 68) return {};
  return recovery::bytes_to_samples(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 68, bytes.size() - 68));
}

std::int64_t stored_data_size(const std::filesystem::path& path) {
  const std::string bytes = testsupport::readFile(path);
  if (bytes.size() < 64) throw std::runtime_error("no data size field");
  std::uint64_t v = 0;
  for (int i = 56; i < 64; ++i) v = (v << 8) | static_cast<std::uint8_t>(bytes[i]);
  return static_cast<std::int64_t>(v);
}

double Noise::next() {
  // xorshift64*
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  const std::uint64_t r = state_ * 0x2545F4914F6CDD1DULL;
  return static_cast<double>(r >> 11) / static_cast<double>(1ULL << 52) - 1.0;
}

std::vector<double> white_noise(std::size_t n, double rms, std::uint64_t seed) {
  Noise noise(seed);
  std::vector<double> out(n);
  // A uniform value in [-1, 1) has an RMS of 1/sqrt(3).
  for (double& v : out) v = noise.next() * rms * std::sqrt(3.0);
  return out;
}

std::vector<double> speech_like(std::size_t n, double peak, std::uint64_t seed) {
  Noise noise(seed);
  // Band-limited noise: the difference of two one-pole low-passes (about
  // 3 kHz and 150 Hz at 24000 Hz).
  std::vector<double> carrier(n);
  double lo = 0;
  double hi = 0;
  for (double& v : carrier) {
    const double x = noise.next();
    hi += 0.55 * (x - hi);
    lo += 0.04 * (x - lo);
    v = hi - lo;
  }
  std::vector<double> out(n, 0.0);
  std::size_t at = static_cast<std::size_t>((noise.next() + 1.0) * 0.02 * kRate);
  while (at < n) {
    const auto length = static_cast<std::size_t>((0.165 + 0.085 * noise.next()) * kRate);
    const double level = peak * (0.55 + 0.45 * std::abs(noise.next())) / 0.6;
    for (std::size_t i = 0; i < length && at + i < n; ++i) {
      const double s = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(length));
      out[at + i] = level * s * s * carrier[at + i];
    }
    at += length;
    const bool pause = noise.next() > 0.7;
    at += static_cast<std::size_t>((pause ? 0.4 + 0.1 * noise.next() : 0.09 + 0.06 * noise.next()) * kRate);
  }
  return out;
}

std::vector<double> echo_of(const std::vector<double>& signal, std::size_t delay, const std::vector<double>& h) {
  std::vector<double> out(signal.size(), 0.0);
  for (std::size_t n = delay; n < signal.size(); ++n) {
    double acc = 0;
    for (std::size_t k = 0; k < h.size() && k + delay <= n; ++k) acc += h[k] * signal[n - delay - k];
    out[n] = acc;
  }
  return out;
}

std::vector<double> room_response(double gain, std::uint64_t seed) {
  Noise noise(seed);
  std::vector<double> h(240);
  h[0] = gain;
  for (std::size_t k = 1; k < h.size(); ++k)
    h[k] = gain * 0.5 * std::exp(-static_cast<double>(k) / 40.0) * noise.next();
  return h;
}

std::vector<double> add(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> out(std::max(a.size(), b.size()), 0.0);
  for (std::size_t i = 0; i < a.size(); ++i) out[i] += a[i];
  for (std::size_t i = 0; i < b.size(); ++i) out[i] += b[i];
  return out;
}

std::vector<double> scaled(const std::vector<double>& a, double gain) {
  std::vector<double> out(a);
  for (double& v : out) v *= gain;
  return out;
}

std::vector<std::int16_t> to_pcm(const std::vector<double>& signal) {
  std::vector<std::int16_t> out(signal.size());
  for (std::size_t i = 0; i < signal.size(); ++i) {
    out[i] = static_cast<std::int16_t>(std::lround(std::clamp(signal[i], -32768.0, 32767.0)));
  }
  return out;
}

double mean_square(const std::vector<std::int16_t>& s, std::size_t first, std::size_t end) {
  end = std::min(end, s.size());
  if (first >= end) return 0;
  double sum = 0;
  for (std::size_t i = first; i < end; ++i) sum += static_cast<double>(s[i]) * s[i];
  return sum / static_cast<double>(end - first);
}

StderrCapture::StderrCapture() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vr-stderr-XXXXXX").string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  std::fflush(stderr);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  if (saved_ >= 0) {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  return testsupport::readFile(path_);
}

}  // namespace recorder::aec::testing
