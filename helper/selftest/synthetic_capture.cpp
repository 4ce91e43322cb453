#include "helper/selftest/synthetic_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "helper/core/entry/globals.h"
#include "helper/selftest/utf8_text.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::PCMBuffer;

// 2^63 as a double: the first value a signed 64-bit count cannot hold.
constexpr double kInt64Limit = 9223372036854775808.0;

std::optional<std::string> channelCountError(const char* option, int64_t channels) {
  if (channels >= 0 && channels <= static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) return std::nullopt;
  return std::string(option) + " must be between 0 and 4294967295";
}

// A JSON number that is a whole number within the signed 64-bit range.
std::optional<int64_t> wholeNumber(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double v = value.get<double>();
    if (!std::isfinite(v) || std::trunc(v) != v || v < -kInt64Limit || v >= kInt64Limit) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  return std::nullopt;
}

SyntheticCommand protocolError(std::string command, const char* reason) {
  SyntheticCommand c;
  c.kind = SyntheticCommand::Kind::protocolError;
  c.errorCommand = std::move(command);
  c.errorReason = reason;
  return c;
}

Event sourceBlock(const CaptureConfig& config, int64_t channels) {
  const auto rate = static_cast<int64_t>(config.canonicalRate);
  return Event{{"native",
                {{"rate", rate},
                 {"channels", channels},
                 {"format", "Float32"},
                 {"interleaved", true},
                 {"buffer_frames", kSyntheticMaxBufferFrames}}},
               {"canonical", {{"rate", rate}, {"channels", channels}, {"format", "Float32"}}}};
}

}  // namespace

std::optional<std::string> syntheticCaptureConfigError(const CaptureConfig& config) {
  const double rate = config.canonicalRate;
  if (!std::isfinite(rate) || rate < 1.0) return "--canonical-rate must be a finite number of at least 1";
  if (rate * static_cast<double>(kSyntheticRunSeconds) >= kInt64Limit) {
    return "--canonical-rate is too high: 72 s of frames do not fit a frame count";
  }
  if (auto e = channelCountError("--canonical-mic-channels", config.canonicalMicChannels)) return e;
  return channelCountError("--canonical-system-channels", config.canonicalSystemChannels);
}

SyntheticRunSize syntheticRunSize(double canonicalRate) {
  SyntheticRunSize size;
  size.totalFrames = static_cast<int64_t>(canonicalRate * static_cast<double>(kSyntheticRunSeconds));
  const double perBuffer = std::min(std::trunc(canonicalRate), static_cast<double>(kSyntheticMaxBufferFrames));
  size.bufferFrames = static_cast<uint32_t>(std::max(1.0, perBuffer));
  return size;
}

std::unique_ptr<PCMBuffer> makeSyntheticPCMBuffer(const AudioFormat& format, uint32_t frames, float value) {
  auto buffer = PCMBuffer::make(format, frames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(frames);
  float* const* channels = buffer->floatChannelData();
  if (channels == nullptr) return buffer;
  const uint32_t blocks = buffer->blockCount();
  const size_t perBlock = static_cast<size_t>(frames) * (format.isInterleaved() ? format.channelCount() : 1);
  for (uint32_t b = 0; b < blocks; ++b) std::fill_n(channels[b], perBlock, value);
  return buffer;
}

Event buildSyntheticHelperReady(const CaptureConfig& config) {
  Event ready{{"type", "helper_ready"},
              {"protocol_version", std::to_string(kProtocolVersion)},
              {"helper_build_id", kHelperBuildID}};
  if (config.includeMic) {
    Event mic = sourceBlock(config, config.canonicalMicChannels);
    mic["device_name"] = "Synthetic Microphone";
    mic["device_uid"] = "SyntheticMicDevice";
    mic["route_kind"] = "builtin_mic";
    mic["capture_gain"] = 1;
    mic["active"] = true;
    mic["permission_denied"] = false;
    ready["mic"] = mic;
    ready["aec"] = Event{{"enabled", false}, {"mode", "synthetic"}, {"agc_disabled", true}, {"ns_enabled", false}};
  }
  if (config.includeSystem) {
    Event system = sourceBlock(config, config.canonicalSystemChannels);
    system["output_device_uid"] = "SyntheticOutputDevice";
    system["output_device_name"] = "Synthetic Speakers";
    system["tap_channels"] = config.canonicalSystemChannels;
    system["active"] = true;
    system["permission_denied"] = false;
    ready["system"] = system;
  }
  return ready;
}

SyntheticCommand interpretSyntheticCommandLine(const std::string& line) {
  const std::string text = decodeUtf8Lossy(line);
  // Only an object or an array is a JSON text here; a bare scalar is not.
  const auto first = text.find_first_not_of(" \t\r\n");
  const bool container = first != std::string::npos && (text[first] == '{' || text[first] == '[');
  const auto message = container ? nlohmann::json::parse(text, nullptr, false) : nlohmann::json();
  const auto type = message.is_object() ? message.find("type") : message.end();
  if (!message.is_object() || type == message.end() || !type->is_string()) {
    return protocolError(text, "missing_type_field");
  }
  const std::string name = type->get<std::string>();

  SyntheticCommand c;
  if (name == "pause" || name == "resume" || name == "stop" || name == "shutdown") {
    const auto id = message.find("request_id");
    c.requestId = id != message.end() && id->is_string() ? id->get<std::string>() : std::string();
    if (c.requestId.empty()) return protocolError(name, "missing_request_id");
  }
  if (name == "heartbeat") {
    c.kind = SyntheticCommand::Kind::heartbeat;
    const auto id = message.find("id");
    c.heartbeatId = id != message.end() ? wholeNumber(*id).value_or(0) : 0;
  } else if (name == "pause") {
    c.kind = SyntheticCommand::Kind::pause;
  } else if (name == "resume") {
    c.kind = SyntheticCommand::Kind::resume;
  } else if (name == "stop") {
    c.kind = SyntheticCommand::Kind::stop;
  } else if (name == "shutdown") {
    c.kind = SyntheticCommand::Kind::shutdown;
  } else {
    return protocolError(name, "unknown_command");
  }
  return c;
}

std::optional<std::string> LineReader::next() {
  for (;;) {
    const size_t newline = pending_.find('\n', scanned_);
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      scanned_ = 0;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    scanned_ = pending_.size();
    if (ended_) {
      if (pending_.empty()) return std::nullopt;
      std::string last = std::move(pending_);
      pending_.clear();
      scanned_ = 0;
      return last;
    }
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace helper
