#pragma once
// The pieces of the synthetic capture mode that do not need its threads:
// which configurations it can run, how much audio it makes, its buffers,
// its "helper_ready" event and how it reads one command line.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/command_line.h"
#include "platform/audio/engine/pcm.h"

namespace helper {

inline constexpr int64_t kSyntheticRunSeconds = 72;
inline constexpr uint32_t kSyntheticMaxBufferFrames = 4800;
inline constexpr float kSyntheticMicSampleValue = 0.015f;
inline constexpr float kSyntheticSystemSampleValue = 0.01f;
inline constexpr uint64_t kSyntheticWriterJoinWaitNs = 5'000'000'000ULL;

// Why the mode cannot run with this configuration (a text for a
// "bad_args" refusal), or nothing when it can: the rate must be finite, at
// least 1 and small enough for 72 s of frames to fit a signed 64-bit
// count; each channel count must fit an audio format's (0 to 2^32 - 1).
std::optional<std::string> syntheticCaptureConfigError(const CaptureConfig& config);

struct SyntheticRunSize {
  int64_t totalFrames = 0;    // 72 s at the canonical rate, truncated
  uint32_t bufferFrames = 0;  // frames per buffer: the rate's, capped at 4800, at least 1
};
// For a rate that syntheticCaptureConfigError accepts.
SyntheticRunSize syntheticRunSize(double canonicalRate);

// A buffer of `frames` frames in `format` with every sample `value`;
// nothing when the format holds no samples or the memory is refused.
std::unique_ptr<platform::audio::PCMBuffer> makeSyntheticPCMBuffer(const platform::audio::AudioFormat& format,
                                                                   uint32_t frames, float value);

// The start event: the synthetic devices of the included sources.
Event buildSyntheticHelperReady(const CaptureConfig& config);

// One standard-input line as the mode understands it.
struct SyntheticCommand {
  enum class Kind { heartbeat, pause, resume, stop, shutdown, protocolError };
  Kind kind = Kind::protocolError;
  int64_t heartbeatId = 0;   // heartbeat: the command's whole-number "id", else 0
  std::string requestId;     // pause, resume, stop, shutdown: never empty
  std::string errorCommand;  // protocolError: the "command" to report
  std::string errorReason;   // protocolError: "missing_type_field", "missing_request_id", "unknown_command"
};
// `line` is the raw line without its terminator; it is decoded as UTF-8
// (ill-formed bytes as U+FFFD) before anything else looks at it.
SyntheticCommand interpretSyntheticCommandLine(const std::string& line);

// Reads standard-input lines: the line without "\n" (or "\r\n"), the last
// one even without a terminator; nothing at the end of input or when the
// input can no longer be read.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  std::optional<std::string> next();

 private:
  int fd_;
  std::string pending_;
  size_t scanned_ = 0;  // bytes of pending_ known to hold no "\n"
  bool ended_ = false;
};

}  // namespace helper
