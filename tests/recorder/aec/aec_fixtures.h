#pragma once
// Timelines and signals for the echo canceller's tests.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace recorder::aec::testing {

inline constexpr std::uint32_t kRate = 24000;
inline constexpr std::size_t kFrame = 256;

// A 16-bit mono CAF file holding the samples, data size patched.
void write_timeline(const std::filesystem::path& path, const std::vector<std::int16_t>& samples,
                    std::uint32_t rate = kRate);
// The samples of a CAF file (from byte 68; an odd last byte ignored).
std::vector<std::int16_t> read_timeline(const std::filesystem::path& path);
// The data chunk size stored at offset 56.
std::int64_t stored_data_size(const std::filesystem::path& path);

// A small deterministic generator, the same on every platform.
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  // Uniform in [-1, 1).
  double next();

 private:
  std::uint64_t state_;
};

// White noise with the given RMS level.
std::vector<double> white_noise(std::size_t n, double rms, std::uint64_t seed);
// Syllable-like bursts (80 to 250 ms) of band-limited noise separated by short
// gaps and an occasional pause, peaking near `peak`.
std::vector<double> speech_like(std::size_t n, double peak, std::uint64_t seed);
// `signal` heard through `delay` samples and the impulse response `h`.
std::vector<double> echo_of(const std::vector<double>& signal, std::size_t delay, const std::vector<double>& h);
// A short decaying room response: a direct tap of `gain` and a tail of a few ms.
std::vector<double> room_response(double gain, std::uint64_t seed);

std::vector<double> add(const std::vector<double>& a, const std::vector<double>& b);
std::vector<double> scaled(const std::vector<double>& a, double gain);
// Rounded and clamped to 16 bits.
std::vector<std::int16_t> to_pcm(const std::vector<double>& signal);

// Mean of the squared samples in [first, end).
double mean_square(const std::vector<std::int16_t>& s, std::size_t first, std::size_t end);

// Points descriptor 2 at a temporary file while it lives; text() reads what
// arrived so far.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const;

 private:
  std::filesystem::path path_;
  int saved_ = -1;
};

}  // namespace recorder::aec::testing
