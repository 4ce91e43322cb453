#include "recorder/aec/echo_canceller.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "recorder/aec/delay_estimate.h"
#include "recorder/aec/streaming_aec.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"

namespace recorder::aec {
namespace {

using recovery::kCafHeaderBytes;

// Bytes of each stream handed to the canceller at a time.
constexpr std::size_t kChunkBytes = 16384;
constexpr std::uint32_t kMinSampleRate = 100;
// The largest rate a CAF header of this program may carry.
constexpr std::uint32_t kMaxSampleRate = 384000;

// `zeros` zero bytes, then what the inner reader gives.
class DelayedReader final : public Reader {
 public:
  DelayedReader(std::uint64_t zeros, Reader& inner) : zeros_(zeros), inner_(inner) {}

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    if (zeros_ == 0) return inner_.read(buffer);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros_, buffer.size()));
    std::fill_n(buffer.begin(), n, std::uint8_t{0});
    zeros_ -= n;
    return n;
  }

 private:
  std::uint64_t zeros_;
  Reader& inner_;
};

// Whether both paths name one existing file (hard or symbolic links included).
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

IoResult<File> open_samples(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  if (auto r = file->seek(kCafHeaderBytes); !r) return r.error();
  return file;
}

IoResult<void> write_samples(Writer& writer, std::span<const std::int16_t> samples) {
  return write_all(writer, recovery::samples_to_bytes(samples));
}

}  // namespace

IoResult<AecMetrics> cancel_mic_echo(const std::filesystem::path& mic_path, const std::filesystem::path& system_path,
                                     const std::filesystem::path& out_path, std::uint32_t sample_rate) {
  if (sample_rate < kMinSampleRate || sample_rate > kMaxSampleRate) {
    return IoError::invalid_input("unsupported sample rate: " + std::to_string(sample_rate));
  }
  const auto mic_status = file_status(mic_path);
  if (!mic_status) return mic_status.error();
  if (auto st = file_status(system_path); !st) return st.error();
  // Writing the header would truncate the very samples still to be read.
  if (same_file(out_path, mic_path) || same_file(out_path, system_path)) {
    return IoError::invalid_input("output path names an input timeline: " + out_path.string());
  }
  const std::uint64_t mic_bytes = mic_status->size > kCafHeaderBytes ? mic_status->size - kCafHeaderBytes : 0;

  DelayEstimate estimate;
  {
    const std::uint64_t most = std::min(mic_bytes / 2, kDelaySearchSeconds * sample_rate);
    auto mic = recovery::read_caf_pcm16(mic_path, most);
    if (!mic) return mic.error();
    auto system = recovery::read_caf_pcm16(system_path, most);
    if (!system) return system.error();
    estimate = estimate_mic_delay(*mic, *system, sample_rate);
  }
  const std::uint64_t delay_bytes = reference_delay_bytes(estimate, sample_rate);

  if (auto r = recovery::write_synthetic_caf(out_path, sample_rate); !r) return r.error();
  auto mic_file = open_samples(mic_path);
  if (!mic_file) return mic_file.error();
  auto system_file = open_samples(system_path);
  if (!system_file) return system_file.error();
  BufferedReader mic_reader(*mic_file);
  BufferedReader system_reader(*system_file);
  DelayedReader reference_reader(delay_bytes, system_reader);

  auto aec = StreamingAec::create(make_aec_config(sample_rate));
  if (!aec) return aec.error();
  {
    auto out_file = File::open_append(out_path);
    if (!out_file) return out_file.error();
    BufferedWriter writer(*out_file);
    std::vector<std::uint8_t> mic_chunk(kChunkBytes);
    std::vector<std::uint8_t> reference_chunk(kChunkBytes);
    std::uint64_t remaining = mic_bytes;
    while (remaining > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunkBytes));
      const std::span<std::uint8_t> mic_part(mic_chunk.data(), n);
      const std::span<std::uint8_t> reference_part(reference_chunk.data(), n);
      if (auto r = recovery::read_or_zero_fill(mic_reader, mic_part); !r) return r.error();
      if (auto r = recovery::read_or_zero_fill(reference_reader, reference_part); !r) return r.error();
      auto out = aec->process(recovery::bytes_to_samples(mic_part), recovery::bytes_to_samples(reference_part));
      if (!out) return out.error();
      if (auto r = write_samples(writer, *out); !r) return r.error();
      remaining -= n;
    }
    // The tail shorter than a frame goes out as recorded.
    if (auto r = write_samples(writer, aec->pending_mic()); !r) return r.error();
    if (auto r = writer.flush(); !r) return r.error();
  }
  if (auto r = recovery::patch_caf_data_size(out_path, mic_bytes / 2 * 2); !r) return r.error();

  AecMetrics metrics = std::move(*aec).into_metrics();
  metrics.delay_ms = estimate.delay_ms;
  metrics.delay_applied = delay_bytes > 0;
  return metrics;
}

}  // namespace recorder::aec
