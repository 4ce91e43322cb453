#pragma once
// Segments, timelines and scripts for the export unit tests.
#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "recorder/recovery/caf.h"
#include "recorder/recovery/plan.h"
#include "tests/support/temp_dir.h"

namespace recorder::exporter::fixtures {

namespace fs = std::filesystem;

// A CAF file as the capture helper writes it (data size left unknown) at any rate.
inline std::string caf_file(const std::vector<std::int16_t>& samples, double rate = 24000) {
  auto h = recovery::caf_header(24000, 0);
  const auto bits = std::bit_cast<std::uint64_t>(rate);
  for (int i = 0; i < 8; ++i) h[20 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  for (int i = 56; i < 64; ++i) h[i] = 0xFF;
  const auto data = recovery::samples_to_bytes(samples);
  std::string bytes(h.begin(), h.end());
  bytes.append(data.begin(), data.end());
  return bytes;
}

inline fs::path write_caf(const fs::path& path, const std::vector<std::int16_t>& samples, double rate = 24000) {
  testsupport::writeFile(path, caf_file(samples, rate));
  return path;
}

// A segment record as the recovery plan gives it.
inline recovery::SegmentRecovery segment_record(const fs::path& path, std::uint64_t index, std::uint64_t frames,
                                                std::uint32_t rate = 24000) {
  recovery::SegmentRecovery s;
  s.path = path;
  s.index = index;
  s.frames = frames;
  s.sample_rate = rate;
  s.bytes = 68 + 2 * frames;
  return s;
}

// A segment of `frames` samples all equal to `value`.
inline recovery::SegmentRecovery constant_segment(const fs::path& dir, std::uint64_t index, std::size_t frames,
                                                  std::int16_t value, std::uint32_t rate = 24000) {
  const auto path = dir / (std::to_string(index) + ".caf");
  write_caf(path, std::vector<std::int16_t>(frames, value), rate);
  return segment_record(path, index, frames, rate);
}

// The samples of a CAF file (from byte 68).
inline std::vector<std::int16_t> caf_samples(const fs::path& path) {
  const std::string bytes = testsupport::readFile(path);
  if (bytes.size() < 68) return {};
  return recovery::bytes_to_samples(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 68, bytes.size() - 68));
}

// An executable shell script.
inline fs::path write_script(const fs::path& path, const std::string& body) {
  testsupport::writeFile(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace recorder::exporter::fixtures
