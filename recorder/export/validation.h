#pragma once
// The check every final audio file and live candidate passes before the
// finalisation trusts it: it exists, is larger than a bare container, an
// audio inspector reads it, it holds audio packets, and it lasts as long as
// expected within max(0.5 %, 500 ms). Also the finalisation's error.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

// Inspectors get this long before they are killed.
inline constexpr std::uint64_t kInspectorTimeoutS = 30;
// A smaller file cannot hold audio.
inline constexpr std::uint64_t kMinAudioFileBytes = 100;

struct FinalAudioValidation {
  std::optional<std::uint64_t> audio_packets;
  std::string path;
  std::optional<std::string> error;  // why it did not pass
  std::uint64_t bytes = 0;
  std::uint64_t duration_ms = 0;
  std::uint64_t expected_duration_ms = 0;
  std::int64_t duration_delta_ms = 0;
  bool exists = false;
  bool decoded_end_to_end = false;
  bool passed = false;
};

class AudioValidator {
 public:
  virtual ~AudioValidator() = default;
  // A verdict on the file, or an I/O error when the check cannot be made.
  virtual IoResult<FinalAudioValidation> validate_final_audio(const std::filesystem::path& path,
                                                              std::uint64_t expected_ms) const = 0;
};

// Asks the platform's afinfo ("estimated duration:" and "audio packets:").
class AfInfoValidator final : public AudioValidator {
 public:
  explicit AfInfoValidator(std::string program = "afinfo") : program_(std::move(program)) {}
  IoResult<FinalAudioValidation> validate_final_audio(const std::filesystem::path& path,
                                                      std::uint64_t expected_ms) const override;

 private:
  std::string program_;
};

// Asks ffprobe for the container's duration and counts the audio packets it reads.
class FfprobeValidator final : public AudioValidator {
 public:
  explicit FfprobeValidator(std::string program) : program_(std::move(program)) {}
  IoResult<FinalAudioValidation> validate_final_audio(const std::filesystem::path& path,
                                                      std::uint64_t expected_ms) const override;

 private:
  std::string program_;
};

// The ffprobe beside the ffmpeg that $VORLANTHEA_FFMPEG names (when that is
// valid UTF-8 and both exist), else "ffprobe" from the search path.
std::string ffprobe_program();

// The value of `key` in an inspector's text output: on the first line that
// holds the key, the text after it up to a further occurrence of the key or
// the end of the line, trimmed; nothing when no line holds the key.
std::optional<std::string> inspector_value(std::string_view output, std::string_view key);

// Seconds as decimal text to whole milliseconds, saturating; 0 when unparsable.
std::uint64_t seconds_text_to_ms(std::string_view text);

// The verdict on a file the inspector read: packets present and the duration
// within max(expected / 200, 500) ms of `expected`.
FinalAudioValidation judge_inspected_audio(std::string path, std::uint64_t bytes, std::uint64_t duration_ms,
                                           std::optional<std::uint64_t> audio_packets, std::uint64_t expected_ms);

class FinalizationError {
 public:
  struct NoSourceSegments {
    bool operator==(const NoSourceSegments&) const = default;
  };
  struct ValidationFailed {
    std::string message;
    bool operator==(const ValidationFailed&) const = default;
  };
  using Variant = std::variant<IoError, ValidationFailed, NoSourceSegments>;

  FinalizationError(IoError error) : v_(std::move(error)) {}
  static FinalizationError validation_failed(std::string message) {
    return FinalizationError(ValidationFailed{std::move(message)});
  }
  static FinalizationError no_source_segments() { return FinalizationError(NoSourceSegments{}); }

  const Variant& variant() const { return v_; }
  // "IO error: ...", "validation failed: ..." or "no source segments found".
  std::string to_string() const;
  bool operator==(const FinalizationError&) const = default;

 private:
  explicit FinalizationError(Variant v) : v_(std::move(v)) {}
  Variant v_;
};

}  // namespace recorder::exporter
