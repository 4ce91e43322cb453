#include "recorder/export/validation.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "recorder/export/child_process.h"
#include "recorder/export/encode.h"
#include "recorder/export/export_constants.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/utf8.h"

namespace recorder::exporter {
namespace {

struct Inspection {
  std::optional<FinalAudioValidation> verdict;  // set when the checks or the inspector's failure decided
  std::uint64_t bytes = 0;
  std::string output;  // the inspector's standard output, invalid UTF-8 replaced
};

// Steps shared by the inspectors before they run: existence, metadata, size.
IoResult<Inspection> inspect_file(const std::filesystem::path& path, std::uint64_t expected_ms) {
  Inspection result;
  FinalAudioValidation v;
  v.path = path.string();
  v.expected_duration_ms = expected_ms;
  if (!file_status(path)) {
    v.error = "file does not exist";
    result.verdict = v;
    return result;
  }
  auto status = file_status(path);
  if (!status) return status.error();
  result.bytes = status->size;
  if (status->size < kMinAudioFileBytes) {
    v.exists = true;
    v.bytes = status->size;
    v.error = "file too small: " + std::to_string(status->size) + " bytes";
    result.verdict = v;
  }
  return result;
}

FinalAudioValidation unreadable(const std::filesystem::path& path, std::uint64_t bytes, std::uint64_t expected_ms,
                                const std::string& tool) {
  FinalAudioValidation v;
  v.path = path.string();
  v.expected_duration_ms = expected_ms;
  v.exists = true;
  v.bytes = bytes;
  v.error = tool + " failed to open file";
  return v;
}

// What both inspectors share before their output is read: the checks of the
// file, then `program` run with `args` and the file's absolute path last.
IoResult<Inspection> inspect(const std::filesystem::path& path, std::uint64_t expected_ms, const std::string& program,
                             std::vector<std::string> args, const std::string& tool) {
  auto inspection = inspect_file(path, expected_ms);
  if (!inspection || inspection->verdict) return inspection;
  auto abs = absolute_for_child(path);
  if (!abs) return abs.error();
  args.push_back(abs->string());
  auto run = run_child_with_timeout({program, std::move(args)}, kInspectorTimeoutS, tool);
  // A time-out names the tool already; an inspector that cannot be started must too.
  if (!run && run.error().kind() == IoError::Kind::Os) {
    return IoError::other(tool + " could not be run (" + program + "): " + run.error().to_string());
  }
  if (!run) return run.error();
  if (!run->success()) {
    inspection->verdict = unreadable(path, inspection->bytes, expected_ms, tool);
  } else {
    inspection->output = utf8_lossy(run->stdout_bytes);
  }
  return inspection;
}

}  // namespace

std::optional<std::string> inspector_value(std::string_view output, std::string_view key) {
  std::size_t line_start = 0;
  while (line_start <= output.size()) {
    std::size_t line_end = output.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = output.size();
    const std::string_view line = output.substr(line_start, line_end - line_start);
    if (const auto at = line.find(key); at != std::string_view::npos) {
      std::string_view rest = line.substr(at + key.size());
      if (const auto again = rest.find(key); again != std::string_view::npos) rest = rest.substr(0, again);
      return trim_whitespace(rest);
    }
    if (line_end == output.size()) break;
    line_start = line_end + 1;
  }
  return std::nullopt;
}

std::uint64_t seconds_text_to_ms(std::string_view text) {
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  const double ms = seconds * 1000.0;
  if (!(ms > 0)) return 0;
  if (ms >= 18446744073709551615.0) return kU64Max;
  return static_cast<std::uint64_t>(ms);
}

FinalAudioValidation judge_inspected_audio(std::string path, std::uint64_t bytes, std::uint64_t duration_ms,
                                           std::optional<std::uint64_t> audio_packets, std::uint64_t expected_ms) {
  FinalAudioValidation v;
  v.path = std::move(path);
  v.exists = true;
  v.bytes = bytes;
  v.audio_packets = audio_packets;
  v.duration_ms = duration_ms;
  v.expected_duration_ms = expected_ms;
  v.duration_delta_ms = static_cast<std::int64_t>(duration_ms - expected_ms);  // wraps like the host's figure
  const std::uint64_t tolerance = std::max<std::uint64_t>(expected_ms / 200, 500);
  v.decoded_end_to_end = audio_packets.has_value() && *audio_packets != 0;
  if (!v.decoded_end_to_end) {
    v.error = "no audio packets";
    return v;
  }
  const std::uint64_t magnitude = v.duration_delta_ms < 0 ? 0 - static_cast<std::uint64_t>(v.duration_delta_ms)
                                                          : static_cast<std::uint64_t>(v.duration_delta_ms);
  if (magnitude <= tolerance) {
    v.passed = true;
  } else {
    v.error = "duration " + std::to_string(duration_ms) + "ms vs expected " + std::to_string(expected_ms) +
              "ms (delta " + std::to_string(v.duration_delta_ms) + "ms, tolerance " + std::to_string(tolerance) + "ms)";
  }
  return v;
}

IoResult<FinalAudioValidation> AfInfoValidator::validate_final_audio(const std::filesystem::path& path,
                                                                     std::uint64_t expected_ms) const {
  auto inspection = inspect(path, expected_ms, program_, {}, "afinfo");
  if (!inspection) return inspection.error();
  if (inspection->verdict) return *inspection->verdict;
  const std::string& text = inspection->output;
  std::uint64_t duration_ms = 0;
  if (auto value = inspector_value(text, "estimated duration:")) {
    std::string_view seconds = *value;
    while (seconds.ends_with(" sec")) seconds.remove_suffix(4);
    duration_ms = seconds_text_to_ms(seconds);
  }
  std::optional<std::uint64_t> packets;
  if (auto value = inspector_value(text, "audio packets:")) packets = parse_u64(*value);
  return judge_inspected_audio(path.string(), inspection->bytes, duration_ms, packets, expected_ms);
}

IoResult<FinalAudioValidation> FfprobeValidator::validate_final_audio(const std::filesystem::path& path,
                                                                      std::uint64_t expected_ms) const {
  // The container's duration, and the packets of the first audio stream
  // counted by reading the file through.
  auto inspection = inspect(path, expected_ms, program_,
                            {"-v", "error", "-select_streams", "a:0", "-count_packets", "-show_entries",
                             "stream=nb_read_packets:format=duration", "-of", "default=noprint_wrappers=1"},
                            "ffprobe");
  if (!inspection) return inspection.error();
  if (inspection->verdict) return *inspection->verdict;
  const std::string& text = inspection->output;
  std::uint64_t duration_ms = 0;
  if (auto value = inspector_value(text, "duration=")) duration_ms = seconds_text_to_ms(*value);
  std::optional<std::uint64_t> packets;
  if (auto value = inspector_value(text, "nb_read_packets=")) packets = parse_u64(*value);
  return judge_inspected_audio(path.string(), inspection->bytes, duration_ms, packets, expected_ms);
}

std::string ffprobe_program() {
  if (const char* env = std::getenv(kFfmpegEnvVar); env != nullptr && is_valid_utf8(env) && file_status(env)) {
    const auto dir = std::filesystem::path(env).parent_path();
    auto beside = (dir.empty() ? std::filesystem::path(".") : dir) / "ffprobe";
    if (file_status(beside)) return beside.string();
  }
  return "ffprobe";
}

std::string FinalizationError::to_string() const {
  struct Display {
    std::string operator()(const IoError& e) const { return "IO error: " + e.to_string(); }
    std::string operator()(const ValidationFailed& e) const { return "validation failed: " + e.message; }
    std::string operator()(const NoSourceSegments&) const { return "no source segments found"; }
  };
  return std::visit(Display{}, v_);
}

}  // namespace recorder::exporter
