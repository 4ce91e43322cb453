#include "helper/core/segments/caf_segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace helper {
namespace {

std::string stripExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

// The index of a name made of decimal digits and ".caf".
std::optional<int64_t> indexOfSegmentName(const std::string& name) {
  size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  if (digits == 0 || digits > 18 || name.compare(digits, std::string::npos, ".caf") != 0) return std::nullopt;
  return std::stoll(name.substr(0, digits));
}

// A directory or link named like a segment is no segment.
bool isRegularFile(DIR* d, const dirent& e) {
  if (e.d_type != DT_UNKNOWN) return e.d_type == DT_REG;
  struct stat st {};
  return ::fstatat(::dirfd(d), e.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

std::string errnoText(int err) { return std::string(std::strerror(err)) + " (errno " + std::to_string(err) + ")"; }

}  // namespace

std::array<uint8_t, segment_format::kHeaderBytes> buildCafHeader(double sampleRate) {
  return segment_format::header(sampleRate, segment_format::kDataSizeToEndOfFile);
}

int16_t saturateToInt16(float x) {
  if (std::isnan(x)) return 0;
  if (x >= 1.0f) return 32767;
  if (x <= -1.0f) return -32768;
  return static_cast<int16_t>(x * 32767.0f);
}

void convertFloat32ToInt16(const platform::audio::PCMBuffer& buffer, std::vector<uint8_t>& out) {
  const uint32_t n = buffer.frameLength();
  out.assign(static_cast<size_t>(n) * 2, 0);
  const auto& format = buffer.format();
  if (format.commonFormat() != platform::audio::CommonFormat::pcmFloat32) return;
  const uint32_t channels = format.channelCount();
  const float* samples = nullptr;
  size_t stride = 1;
  if (format.isInterleaved()) {
    if (buffer.blockCount() > 0) samples = static_cast<const float*>(buffer.block(0).data);
    stride = channels;
  } else if (float* const* data = buffer.floatChannelData()) {
    samples = data[0];
  }
  if (samples == nullptr || channels == 0) return;
  uint8_t* o = out.data();
  for (uint32_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(saturateToInt16(samples[i * stride]));
    o[2 * i] = static_cast<uint8_t>(v);
    o[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
}

std::string segmentSourceSubdir(const std::string& source) { return source == "mic" ? "mic" : "system"; }

std::string segmentFileName(int64_t index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%06lld.caf", static_cast<long long>(index));
  return buf;
}

std::string checkpointPathFor(const std::string& segmentPath) { return stripExtension(segmentPath) + ".checkpoint"; }

std::string checkpointTempPathFor(const std::string& segmentPath) { return checkpointPathFor(segmentPath) + ".tmp"; }

int64_t highestSegmentIndexIn(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  int64_t highest = 0;
  while (const dirent* e = ::readdir(d)) {
    if (auto index = indexOfSegmentName(e->d_name); index && *index > highest && isRegularFile(d, *e)) {
      highest = *index;
    }
  }
  ::closedir(d);
  return highest;
}

nlohmann::ordered_json CheckpointSidecar::toJson() const {
  namespace key = segment_format::sidecar_key;
  nlohmann::ordered_json j;
  const auto set = [&j](std::string_view k, const auto& value) { j[std::string(k)] = value; };
  set(key::kSchemaVersion, segment_format::kSidecarSchemaVersion);
  set(key::kSegmentIndex, segmentIndex);
  set(key::kFramesWritten, framesWritten);
  set(key::kByteOffset, byteOffset());
  set(key::kWallTimeMsAtCheckpoint, wallTimeMsAtCheckpoint);
  set(key::kAudioTimeMsAtCheckpoint, audioTimeMsAtCheckpoint);
  set(key::kCheckpointAtUtc, checkpointAtUtc);
  return j;
}

int64_t checkpointAudioTimeMs(int64_t frames, double canonicalRate) {
  if (!(canonicalRate >= 1.0) || canonicalRate >= 9.2e18) return 0;
  const auto rate = static_cast<int64_t>(canonicalRate);
  // Split so that frames * 1000 cannot overflow; same as truncating division.
  return frames / rate * 1000 + frames % rate * 1000 / rate;
}

std::string formatUtcIso8601Ms(int64_t epochMs) {
  int64_t secs = epochMs / 1000;
  int64_t ms = epochMs % 1000;
  if (ms < 0) {
    ms += 1000;
    secs -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

size_t writeFully(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::write(fd, p + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = EIO;
      return done;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

std::optional<std::string> writeCheckpointSidecarFile(const std::string& segmentPath,
                                                      const CheckpointSidecar& sidecar) {
  const std::string finalPath = checkpointPathFor(segmentPath);
  const std::string tmpPath = checkpointTempPathFor(segmentPath);
  const std::string bytes = sidecar.toJson().dump(2) + "\n";

  const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot create " + tmpPath + ": " + errnoText(errno);
  const size_t written = writeFully(fd, bytes.data(), bytes.size());
  const int writeErr = errno;
  // A close can report a delayed write error (quota, network file system).
  const bool closed = ::close(fd) == 0;
  const int closeErr = errno;
  if (written != bytes.size() || !closed) {
    ::unlink(tmpPath.c_str());
    return "cannot write " + tmpPath + ": " + errnoText(written != bytes.size() ? writeErr : closeErr);
  }
  if (::rename(tmpPath.c_str(), finalPath.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmpPath.c_str());
    return "cannot rename " + tmpPath + " to " + finalPath + ": " + errnoText(err);
  }
  return std::nullopt;
}

}  // namespace helper
