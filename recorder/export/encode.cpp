#include "recorder/export/encode.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/clock/clock.h"
#include "recorder/export/child_process.h"
#include "recorder/export/export_constants.h"
#include "recorder/export/finalize.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/utf8.h"

namespace recorder::exporter {
namespace {

using recovery::kCafHeaderBytes;

constexpr std::size_t kMixBlockFrames = 8192;

// An input's data length: its size less the header, 0 for a shorter file.
IoResult<std::uint64_t> data_length(const std::filesystem::path& path) {
  auto status = file_status(path);
  if (!status) return status.error();
  return status->size > kCafHeaderBytes ? status->size - kCafHeaderBytes : 0;
}

// One mix input behind a buffered reader positioned at the samples.
struct MixInput {
  File file;
  BufferedReader reader;
  explicit MixInput(File f) : file(std::move(f)), reader(file) {}
};

IoResult<std::unique_ptr<MixInput>> open_mix_input(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  if (auto r = file->seek(kCafHeaderBytes); !r) return r.error();
  return std::make_unique<MixInput>(std::move(*file));
}

std::int16_t sample_at(const std::uint8_t* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

// "<tool> exited with <status>; stderr: <text>", or the supervisor's own error.
std::string child_failure(std::string_view tool, const IoResult<ChildOutput>& run) {
  if (!run) return run.error().to_string();
  return std::string(tool) + " exited with " + describe_wait_status(run->status) +
         "; stderr: " + trim_whitespace(utf8_lossy(run->stderr_bytes));
}

}  // namespace

std::uint64_t elapsed_ms_since(std::uint64_t start_ns) {
  const std::uint64_t now = platform::clock::monotonicNs();
  if (now < start_ns) return 0;
  const std::uint64_t elapsed = now - start_ns;
  return elapsed / 1000000000ULL * 1000ULL + elapsed % 1000000000ULL / 1000000ULL;
}

IoResult<std::filesystem::path> absolute_for_child(const std::filesystem::path& path) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(path, ec);
  if (ec) return IoError::os(ec.value());
  return absolute;
}

IoResult<MixResult> mix_caf_sources(const std::filesystem::path& first,
                                    const std::optional<std::filesystem::path>& second,
                                    const std::filesystem::path& out, std::uint32_t rate) {
  auto first_len = data_length(first);
  if (!first_len) return first_len.error();
  std::uint64_t length = *first_len;
  if (second) {
    auto second_len = data_length(*second);
    if (!second_len) return second_len.error();
    length = std::max(length, *second_len);
  }

  if (auto r = recovery::write_synthetic_caf(out, rate); !r) return r.error();
  auto out_file = File::open_append(out);
  if (!out_file) return out_file.error();
  BufferedWriter writer(*out_file);

  auto a = open_mix_input(first);
  if (!a) return a.error();
  std::unique_ptr<MixInput> b;
  if (second) {
    auto opened = open_mix_input(*second);
    if (!opened) return opened.error();
    b = std::move(*opened);
  }

  const std::uint64_t frames = length / 2;
  std::vector<std::uint8_t> buf_a(kMixBlockFrames * 2), buf_b(kMixBlockFrames * 2), buf_out(kMixBlockFrames * 2);
  for (std::uint64_t done = 0; done < frames;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kMixBlockFrames, frames - done));
    const std::span<std::uint8_t> span_a(buf_a.data(), n * 2), span_b(buf_b.data(), n * 2);
    if (auto r = recovery::read_or_zero_fill((*a)->reader, span_a); !r) return r.error();
    if (b) {
      if (auto r = recovery::read_or_zero_fill(b->reader, span_b); !r) return r.error();
    } else {
      std::fill(span_b.begin(), span_b.end(), std::uint8_t{0});
    }
    for (std::size_t i = 0; i < n; ++i) {
      const int sum = sample_at(&buf_a[2 * i]) + sample_at(&buf_b[2 * i]);
      const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(sum, -32768, 32767)));
      buf_out[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
      buf_out[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    if (auto r = write_all(writer, std::span<const std::uint8_t>(buf_out.data(), n * 2)); !r) return r.error();
    done += n;
  }
  if (auto r = writer.flush(); !r) return r.error();
  if (auto r = recovery::patch_caf_data_size(out, length & ~1ULL); !r) return r.error();

  const double ms = static_cast<double>(frames) / static_cast<double>(rate) * 1000.0;
  const std::uint64_t duration_ms = !(ms > 0)                      ? 0
                                    : ms >= 18446744073709551615.0 ? kU64Max
                                                                   : static_cast<std::uint64_t>(ms);
  auto size = file_status(out);
  if (!size) return size.error();
  return MixResult{out, frames, duration_ms, size->size};
}

std::string ffmpeg_program() {
  if (const char* env = std::getenv(kFfmpegEnvVar); env != nullptr && is_valid_utf8(env) && path_exists(env)) {
    return env;
  }
  if (path_exists(kHomebrewFfmpeg)) return kHomebrewFfmpeg;
  if (path_exists(kUsrLocalFfmpeg)) return kUsrLocalFfmpeg;
  return "ffmpeg";
}

IoResult<EncodeResult> encode_aac(const std::filesystem::path& input, const std::filesystem::path& output,
                                  std::uint32_t bps) {
  const std::uint64_t start = platform::clock::monotonicNs();
  auto in_abs = absolute_for_child(input);
  if (!in_abs) return in_abs.error();
  auto out_abs = absolute_for_child(output);
  if (!out_abs) return out_abs.error();

  // The encoders open the output by name and would follow a link standing there.
  (void)::unlink(output.c_str());
  const auto afconvert = run_child_with_timeout(
      {"afconvert", {"-d", "aac", "-f", "m4af", "-b", std::to_string(bps), "-s", "3", *in_abs, *out_abs}},
      kEncodeTimeoutS, "afconvert");
  if (!afconvert || !afconvert->success()) {
    const std::string first_failure = child_failure("afconvert", afconvert);
    (void)::unlink(output.c_str());

    const auto ffmpeg = run_child_with_timeout({ffmpeg_program(),
                                                {"-hide_banner", "-loglevel", "error", "-y", "-i", *in_abs, "-vn",
                                                 "-c:a", "aac", "-b:a", std::to_string(bps / 1000) + "k", *out_abs}},
                                               kEncodeTimeoutS, "ffmpeg");
    if (!ffmpeg || !ffmpeg->success()) {
      const std::string second_failure = child_failure("ffmpeg", ffmpeg);
      // What a failed ffmpeg left is no encode either.
      (void)::unlink(output.c_str());
      return IoError::other("afconvert failed: " + first_failure + "; ffmpeg fallback failed: " + second_failure);
    }
  }
  auto size = file_status(output);
  if (!size) return size.error();
  return EncodeResult{output, size->size, elapsed_ms_since(start)};
}

IoResult<FallbackResult> fallback_finalize(const std::filesystem::path& first,
                                           const std::optional<std::filesystem::path>& second,
                                           const std::filesystem::path& dir, std::uint32_t rate) {
  if (auto r = create_dir_all(dir); !r) return r.error();
  const std::uint64_t start = platform::clock::monotonicNs();
  const auto mixed = dir / kMixedFileName;
  if (auto r = mix_caf_sources(first, second, mixed, rate); !r) return r.error();
  auto encoded = encode_aac(mixed, dir / kUploadFileName, kFinalBitrate);
  if (!encoded) return encoded.error();
  return FallbackResult{elapsed_ms_since(start), encoded->output_bytes};
}

}  // namespace recorder::exporter
