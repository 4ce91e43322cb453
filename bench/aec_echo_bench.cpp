// How much echo cancel_mic_echo removes, against speexdsp alone on the same
// timelines: the same frame size and filter length, every frame cancelled,
// the reference delayed by the echo's lag less 1 ms. Both figures are taken
// over the second half of the timelines, once the filters have converged.
//
// usage: aec_echo_bench [lag_ms]
//          14 s of generated talk at 24000 Hz, heard in the mic lag_ms
//          (default 25.6) late at a gain of 0.3, over a faint tone and
//          noise of the mic's own; the echo reduction is the echo's power
//          against what is left of it
//        aec_echo_bench mic.caf system.caf sample_rate [lag_samples]
//          a recorded pair of timelines; the lag, unless given, is where the
//          samples correlate best within 250 ms, and the echo reduction is
//          the mic's power against the output's
#include <speex/speex_echo.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "bench/synthetic_talk.h"
#include "recorder/aec/echo_canceller.h"
#include "recorder/aec/streaming_aec.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"

namespace {

constexpr std::uint32_t kGeneratedRate = 24000;
constexpr double kGeneratedSeconds = 14;
constexpr double kEchoGain = 0.3;
constexpr double kDefaultLagMs = 25.6;
// Lags searched for a recorded pair.
constexpr std::size_t kMaxLagMs = 250;

using bench::Noise;
using bench::talk;

// `signal` `delay` samples (not necessarily whole) later, through a
// Blackman-windowed sinc: a sound that reaches the mic between two samples.
std::vector<double> delayed(const std::vector<double>& signal, double delay) {
  constexpr long kHalf = 32;
  const auto whole = static_cast<long>(std::floor(delay));
  const double frac = delay - static_cast<double>(whole);
  std::vector<double> h;
  for (long k = -kHalf; k <= kHalf; ++k) {
    const double x = static_cast<double>(k) - frac;
    const double sinc = x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
    const double w = (x + kHalf + 1) / (2.0 * kHalf + 2);
    const double blackman = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * w) + 0.08 * std::cos(4 * std::numbers::pi * w);
    h.push_back(sinc * blackman);
  }
  std::vector<double> out(signal.size(), 0.0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    double sum = 0;
    for (long k = -kHalf; k <= kHalf; ++k) {
      const long j = static_cast<long>(i) - whole - k;
      if (j >= 0 && j < static_cast<long>(signal.size())) sum += h[static_cast<std::size_t>(k + kHalf)] * signal[j];
    }
    out[i] = sum;
  }
  return out;
}

std::int16_t pcm(double v) {
  return static_cast<std::int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
}

bool write_timeline(const std::filesystem::path& path, const std::vector<std::int16_t>& samples, std::uint32_t rate) {
  using namespace recorder;
  if (!recovery::write_synthetic_caf(path, rate)) return false;
  {
    auto file = File::open_append(path);
    if (!file) return false;
    BufferedWriter writer(*file);
    if (!write_all(writer, recovery::samples_to_bytes(samples))) return false;
    if (!writer.flush()) return false;
  }
  return static_cast<bool>(recovery::patch_caf_data_size(path, samples.size() * 2));
}

// The lag in samples (at most `max_lag`) at which the mic matches the system
// best, over four seconds in the middle of the runs.
std::size_t best_lag(const std::vector<std::int16_t>& mic, const std::vector<std::int16_t>& system, std::size_t max_lag,
                     std::uint32_t rate) {
  const std::size_t n = std::min(mic.size(), system.size());
  if (n <= max_lag) return 0;
  const std::size_t length = std::min<std::size_t>(n - max_lag, std::size_t{4} * rate);
  const std::size_t first = (n - max_lag - length) / 2;
  std::size_t best = 0;
  double best_score = -1;
  for (std::size_t lag = 0; lag <= max_lag; ++lag) {
    double cross = 0;
    double energy = 0;
    for (std::size_t i = first; i < first + length; ++i) {
      cross += static_cast<double>(system[i]) * mic[i + lag];
      energy += static_cast<double>(mic[i + lag]) * mic[i + lag];
    }
    const double score = energy > 0 ? std::abs(cross) / std::sqrt(energy) : 0.0;
    if (score > best_score) {
      best_score = score;
      best = lag;
    }
  }
  return best;
}

// speexdsp on every frame, the reference `delay` samples late; the tail
// shorter than a frame is copied.
std::vector<std::int16_t> speex_alone(const std::vector<std::int16_t>& mic, const std::vector<std::int16_t>& system,
                                      std::size_t delay, std::uint32_t rate) {
  const recorder::aec::AecConfig config = recorder::aec::make_aec_config(rate);
  const auto frame = static_cast<std::size_t>(config.frame_size);
  SpeexEchoState* state =
      speex_echo_state_init(static_cast<int>(config.frame_size), static_cast<int>(config.filter_length));
  if (state == nullptr) return {};
  spx_int32_t sampling_rate = static_cast<spx_int32_t>(rate);
  speex_echo_ctl(state, SPEEX_ECHO_SET_SAMPLING_RATE, &sampling_rate);
  std::vector<std::int16_t> reference(mic.size(), 0);
  for (std::size_t i = delay; i < reference.size() && i - delay < system.size(); ++i) reference[i] = system[i - delay];
  std::vector<std::int16_t> out = mic;
  for (std::size_t at = 0; at + frame <= mic.size(); at += frame) {
    speex_echo_cancellation(state, mic.data() + at, reference.data() + at, out.data() + at);
  }
  speex_echo_state_destroy(state);
  return out;
}

double mean_square(const std::vector<double>& s, std::size_t first, std::size_t end) {
  double sum = 0;
  for (std::size_t i = first; i < end; ++i) sum += s[i] * s[i];
  return end > first ? sum / static_cast<double>(end - first) : 0.0;
}

// What is left of the echo in `out` once the mic's own sound (`near`, or
// nothing when unknown) is taken out.
std::vector<double> residual(const std::vector<std::int16_t>& out, const std::vector<double>* near) {
  std::vector<double> r(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) r[i] = out[i] - (near ? (*near)[i] : 0.0);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::int16_t> mic;
  std::vector<std::int16_t> system;
  std::optional<std::vector<double>> near;
  std::uint32_t rate = kGeneratedRate;
  double lag = 0;
  if (argc >= 4) {
    rate = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    auto m = recorder::recovery::read_caf_pcm16(argv[1], UINT64_MAX);
    auto s = recorder::recovery::read_caf_pcm16(argv[2], UINT64_MAX);
    if (!m || !s || rate < 100) {
      std::fprintf(stderr, "usage: aec_echo_bench mic.caf system.caf sample_rate [lag_samples]\n");
      return 2;
    }
    mic = std::move(*m);
    system = std::move(*s);
    system.resize(mic.size(), 0);
    lag = argc > 4 ? std::strtod(argv[4], nullptr)
                   : static_cast<double>(best_lag(mic, system, kMaxLagMs * rate / 1000, rate));
  } else if (argc <= 2) {
    const double lag_ms = argc > 1 ? std::strtod(argv[1], nullptr) : kDefaultLagMs;
    if (!(lag_ms >= 1) || lag_ms > static_cast<double>(kMaxLagMs)) {
      std::fprintf(stderr, "usage: aec_echo_bench [lag_ms], from 1 to 250\n");
      return 2;
    }
    lag = lag_ms * rate / 1000;
    const auto n = static_cast<std::size_t>(kGeneratedSeconds * rate);
    const std::vector<double> far = talk(n, 12000, rate, 1);
    const std::vector<double> echo = delayed(far, lag);
    Noise noise(2);
    near.emplace(n);
    for (std::size_t i = 0; i < n; ++i)
      (*near)[i] = 65.0 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / rate) + 20.0 * noise.next();
    mic.resize(n);
    system.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      system[i] = pcm(far[i]);
      mic[i] = pcm(kEchoGain * echo[i] + (*near)[i]);
    }
  } else {
    std::fprintf(stderr, "usage: aec_echo_bench [lag_ms] | aec_echo_bench mic.caf system.caf sample_rate [lag]\n");
    return 2;
  }

  std::string tmpl = (std::filesystem::temp_directory_path() / "aec-echo-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = tmpl;
  std::optional<std::vector<std::int16_t>> project;
  std::string failure;
  recorder::aec::AecMetrics metrics;
  if (!write_timeline(dir / "mic.caf", mic, rate) || !write_timeline(dir / "system.caf", system, rate)) {
    failure = "could not write the timelines";
  } else if (auto m = recorder::aec::cancel_mic_echo(dir / "mic.caf", dir / "system.caf", dir / "out.caf", rate); !m) {
    failure = "cancel_mic_echo failed: " + m.error().to_string();
  } else if (auto out = recorder::recovery::read_caf_pcm16(dir / "out.caf", UINT64_MAX); !out) {
    failure = "could not read the output";
  } else {
    metrics = *m;
    project = std::move(*out);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!project) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    return 1;
  }
  const double speex_lead = 1.0 * rate / 1000;
  const auto speex_delay = static_cast<std::size_t>(std::max(0.0, std::round(lag - speex_lead)));
  const std::vector<std::int16_t> alone = speex_alone(mic, system, speex_delay, rate);
  if (alone.size() != mic.size()) {
    std::fprintf(stderr, "speex_echo_state_init failed\n");
    return 1;
  }

  const std::size_t first = mic.size() / 2;
  const std::size_t end = mic.size();
  const double echo_in = mean_square(residual(mic, near ? &*near : nullptr), first, end);
  const auto reduction = [&](const std::vector<std::int16_t>& out) {
    return 10.0 * std::log10(echo_in / mean_square(residual(out, near ? &*near : nullptr), first, end));
  };
  const double ours = reduction(*project);
  const double theirs = reduction(alone);
  std::printf("samples=%zu rate=%u lag_samples=%.1f speex_reference_delay_samples=%zu\n", mic.size(), rate, lag,
              speex_delay);
  std::printf("cancel_mic_echo: delay_ms=%llu applied=%d erle_db=%.2f\n",
              static_cast<unsigned long long>(metrics.delay_ms), metrics.delay_applied ? 1 : 0, metrics.erle_db);
  std::printf(
      "echo reduction over the second half: cancel_mic_echo=%.2f dB speexdsp_alone=%.2f dB difference=%.2f dB\n", ours,
      theirs, ours - theirs);
  return 0;
}
