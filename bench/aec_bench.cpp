// Throughput of cancel_mic_echo on a generated pair of timelines: by default
// one hour at 24000 Hz of talk from the system audio with its echo in the
// mic, 40 ms late through a short room response, over faint noise.
//
// usage: aec_bench [seconds]   (default 3600)
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "bench/synthetic_talk.h"
#include "recorder/aec/echo_canceller.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"

namespace {

constexpr std::uint32_t kRate = 24000;
// The generated talk repeats with this period (seconds).
constexpr std::size_t kPatternSeconds = 60;
constexpr std::size_t kEchoDelay = 960;

using bench::Noise;
using bench::talk;

std::int16_t pcm(double v) {
  return static_cast<std::int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
}

bool write_timeline(const std::filesystem::path& path, std::uint64_t samples, const std::vector<std::int16_t>& pattern,
                    Noise* noise) {
  using namespace recorder;
  if (!recovery::write_synthetic_caf(path, kRate)) return false;
  {
    auto file = File::open_append(path);
    if (!file) return false;
    BufferedWriter writer(*file);
    std::vector<std::int16_t> block(8192);
    for (std::uint64_t done = 0; done < samples;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), samples - done));
      for (std::size_t i = 0; i < n; ++i) {
        const std::int16_t s = pattern[(done + i) % pattern.size()];
        block[i] = noise ? pcm(s + 35.0 * noise->next()) : s;
      }
      if (!write_all(writer, recovery::samples_to_bytes(std::span(block.data(), n)))) return false;
      done += n;
    }
    if (!writer.flush()) return false;
  }
  return static_cast<bool>(recovery::patch_caf_data_size(path, samples * 2));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 3600.0;
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: aec_bench [seconds]\n");
    return 2;
  }
  const auto samples = static_cast<std::uint64_t>(seconds * kRate);

  std::string tmpl = (std::filesystem::temp_directory_path() / "aec-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = tmpl;

  // One period of talk and its echo (a circular convolution, so the
  // pattern repeats seamlessly).
  const std::size_t period = kPatternSeconds * kRate;
  const std::vector<double> far = talk(period, 12000, kRate, 1);
  Noise room(2);
  std::vector<double> h(240);
  for (std::size_t k = 0; k < h.size(); ++k)
    h[k] = (k == 0 ? 0.5 : 0.25 * std::exp(-static_cast<double>(k) / 40.0) * room.next());
  std::vector<std::int16_t> system_pattern(period);
  std::vector<std::int16_t> mic_pattern(period);
  for (std::size_t i = 0; i < period; ++i) {
    system_pattern[i] = pcm(far[i]);
    double echo = 0;
    for (std::size_t k = 0; k < h.size(); ++k) echo += h[k] * far[(i + 2 * period - kEchoDelay - k) % period];
    mic_pattern[i] = pcm(echo);
  }
  Noise mic_noise(3);
  std::printf("generating %.0f s of timelines in %s\n", seconds, dir.c_str());
  std::fflush(stdout);
  if (!write_timeline(dir / "system.caf", samples, system_pattern, nullptr) ||
      !write_timeline(dir / "mic.caf", samples, mic_pattern, &mic_noise)) {
    std::fprintf(stderr, "could not write the timelines\n");
    std::filesystem::remove_all(dir);
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  const auto metrics = recorder::aec::cancel_mic_echo(dir / "mic.caf", dir / "system.caf", dir / "out.caf", kRate);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!metrics) {
    std::fprintf(stderr, "cancel_mic_echo failed: %s\n", metrics.error().to_string().c_str());
    return 1;
  }
  std::printf("audio_seconds=%.1f elapsed_seconds=%.3f realtime_factor=%.1f\n", seconds, elapsed, seconds / elapsed);
  std::printf(
      "frames=%llu erle_db=%.2f active=%.3f action=%.3f collapse=%.3f divergence=%.3f delay_ms=%llu applied=%d\n",
      static_cast<unsigned long long>(metrics->frames), metrics->erle_db, metrics->active_fraction,
      metrics->action_fraction, metrics->collapse_fraction, metrics->divergence_fraction,
      static_cast<unsigned long long>(metrics->delay_ms), metrics->delay_applied ? 1 : 0);
  return 0;
}
