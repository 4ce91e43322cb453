#pragma once
// The last steps of the rebuild: the two timelines are added into one CAF
// file, which an external encoder turns into AAC in an MPEG-4 container:
// the platform's afconvert first, ffmpeg when that fails.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

// Encoders and inspectors get this long before they are killed.
inline constexpr std::uint64_t kEncodeTimeoutS = 7200;
// Where ffmpeg is looked for before the search path.
inline constexpr const char* kFfmpegEnvVar = "VORLANTHEA_FFMPEG";
inline constexpr const char* kHomebrewFfmpeg = "/opt/homebrew/bin/ffmpeg";
inline constexpr const char* kUsrLocalFfmpeg = "/usr/local/bin/ffmpeg";

struct MixResult {
  std::filesystem::path path;
  std::uint64_t frames = 0;
  std::uint64_t duration_ms = 0;
  std::uint64_t bytes = 0;
};

struct EncodeResult {
  std::filesystem::path path;
  std::uint64_t output_bytes = 0;
  std::uint64_t elapsed_ms = 0;
};

struct FallbackResult {
  std::uint64_t elapsed_ms = 0;  // from the start of the mix to the end of the encode
  std::uint64_t output_bytes = 0;
};

// Adds the two inputs sample by sample with saturation into `out` at `rate`;
// the mix is as long as the longer input, and a single input is copied.
IoResult<MixResult> mix_caf_sources(const std::filesystem::path& first,
                                    const std::optional<std::filesystem::path>& second,
                                    const std::filesystem::path& out, std::uint32_t rate);

// The ffmpeg to run: $VORLANTHEA_FFMPEG when it is valid UTF-8 and names an
// existing path, else the Homebrew and /usr/local installs when present,
// else "ffmpeg" from the search path.
std::string ffmpeg_program();

// Encodes `input` into AAC at `bps` bits per second in `output`, through
// afconvert or else ffmpeg. The children get absolute paths. A failed
// encoder's partial output is deleted.
IoResult<EncodeResult> encode_aac(const std::filesystem::path& input, const std::filesystem::path& output,
                                  std::uint32_t bps);

// Mixes into dir/kMixedFileName and encodes dir/kUploadFileName (finalize.h)
// at kFinalBitrate.
IoResult<FallbackResult> fallback_finalize(const std::filesystem::path& first,
                                           const std::optional<std::filesystem::path>& second,
                                           const std::filesystem::path& dir, std::uint32_t rate);

// Milliseconds on the monotonic clock (platform::clock::monotonicNs) since
// `start_ns` (0 when the clock reads earlier).
std::uint64_t elapsed_ms_since(std::uint64_t start_ns);

// The path made absolute against the working directory, so that no child
// reads it as an option ("-x") or a protocol ("a:b").
IoResult<std::filesystem::path> absolute_for_child(const std::filesystem::path& path);

}  // namespace recorder::exporter
