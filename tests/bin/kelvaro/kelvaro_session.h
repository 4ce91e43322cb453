#pragma once
// Session directories laid out as the capture helper and the host leave
// them, the built kelvaro run on them, and readers of what it leaves.
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/audio_analysis.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace kelvarotest {

namespace fs = std::filesystem;
using Samples = std::vector<std::int16_t>;

inline void put_be(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A segment file as the capture helper writes it: the 68-byte header with the
// data size left at -1, then little-endian 16-bit samples.
inline std::string caf_file(const Samples& samples, double rate = 24000, std::uint32_t channels = 1) {
  std::string h = "caff";
  put_be(h, 1, 2);
  put_be(h, 0, 2);
  h += "desc";
  put_be(h, 32, 8);
  put_be(h, std::bit_cast<std::uint64_t>(rate), 8);
  h += "lpcm";
  put_be(h, 2, 4);
  put_be(h, 2 * channels, 4);
  put_be(h, 1, 4);
  put_be(h, channels, 4);
  put_be(h, 16, 4);
  h += "data";
  put_be(h, ~0ULL, 8);
  put_be(h, 0, 4);
  for (const auto s : samples) {
    const auto u = static_cast<std::uint16_t>(s);
    h.push_back(static_cast<char>(u & 0xFF));
    h.push_back(static_cast<char>(u >> 8));
  }
  return h;
}

inline Samples caf_samples(const fs::path& path) { return testsupport::cafSamples(path); }

inline Samples tone(std::size_t n, double hz, double amplitude, double rate = 24000) {
  Samples out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] =
        static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
  }
  return out;
}

inline Samples noise(std::size_t n, double amplitude, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, amplitude);
  Samples out(n);
  for (auto& s : out) s = static_cast<std::int16_t>(std::clamp(std::lround(dist(gen)), -32768L, 32767L));
  return out;
}

inline Samples constant(std::size_t n, std::int16_t value) { return Samples(n, value); }

inline fs::path write_script(const fs::path& path, const std::string& body) {
  testsupport::writeFile(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

// Journal line of the host recording an output device with echo risk.
inline const char* kEchoRiskLine =
    "{\"schema_version\":1,\"monotonic_ms\":5,\"wall_utc_ms\":1000,\"type\":\"output_device_detected\","
    "\"device_class\":\"built_in_speakers\",\"echo_risk\":true}";

class Session {
 public:
  explicit Session(const std::string& name = "session-1") : dir_(tmp_.path() / name) { fs::create_directories(dir_); }

  const fs::path& dir() const { return dir_; }
  fs::path final_dir() const { return dir_ / "final"; }
  fs::path upload() const { return final_dir() / "upload.m4a"; }
  fs::path tmp() const { return tmp_.path(); }

  fs::path segment(const std::string& source, std::uint64_t index, const Samples& samples, double rate = 24000) {
    char name[32];
    std::snprintf(name, sizeof name, "%06llu.caf", static_cast<unsigned long long>(index));
    const auto path = dir_ / source / name;
    testsupport::writeFile(path, caf_file(samples, rate));
    return path;
  }

  void manifest(const std::string& text) { testsupport::writeFile(dir_ / "manifest.jsonl", text); }
  void journal_lines(const std::string& text) { testsupport::writeFile(dir_ / "journal.jsonl", text); }
  void echo_risk() { journal_lines(std::string(kEchoRiskLine) + "\n"); }

  // The journal's lines after `skip` host lines, parsed.
  std::vector<nlohmann::json> journal(std::size_t skip = 0) const {
    std::vector<nlohmann::json> out;
    std::istringstream in(testsupport::readFile(dir_ / "journal.jsonl"));
    std::string line;
    for (std::size_t i = 0; std::getline(in, line); ++i) {
      if (i >= skip) out.push_back(nlohmann::json::parse(line));
    }
    return out;
  }
  std::vector<std::string> journal_types(std::size_t skip = 0) const {
    std::vector<std::string> out;
    for (const auto& j : journal(skip)) out.push_back(j.at("type").get<std::string>());
    return out;
  }
  nlohmann::json report() const {
    return nlohmann::json::parse(testsupport::readFile(final_dir() / "export-report.json"));
  }

 private:
  testsupport::TempDir tmp_;
  fs::path dir_;
};

// A mic tone of 440 Hz and a system tone of 660 Hz, `frames` each at 24 kHz.
inline void two_tones(Session& s, std::size_t frames) {
  s.segment("mic", 1, tone(frames, 440, 3000));
  s.segment("system", 1, tone(frames, 660, 2000));
}

// Runs kelvaro with VORLANTHEA_FFMPEG unset unless the options set it.
inline testsupport::RunResult run_kelvaro(std::vector<std::string> args, testsupport::RunOptions options = {}) {
  options.args = std::move(args);
  if (!options.env.contains("VORLANTHEA_FFMPEG")) options.unsetEnv.push_back("VORLANTHEA_FFMPEG");
  return testsupport::runProgram(VR_KELVARO_PATH, options);
}

inline std::string sha256_text(const std::string& text) {
  testsupport::RunOptions o;
  o.args = {"-"};
  o.stdinData = text;
  return testsupport::runProgram("/usr/bin/sha256sum", o).out.substr(0, 64);
}

inline std::string sha256_file(const fs::path& path) { return sha256_text(testsupport::readFile(path)); }

// The value after "name=" on the result line that starts with it.
inline std::string value_of(const testsupport::RunResult& r, const std::string& name) {
  for (const auto& line : r.errLines()) {
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  return {};
}

// Mean square of samples [from, to).
inline double energy(const Samples& s, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to && i < s.size(); ++i) sum += static_cast<double>(s[i]) * s[i];
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

}  // namespace kelvarotest
