#pragma once
// Writing one source's segments (segment_format/segment_format.h): the
// header with its data chunk size -1 so nothing ever seeks back, the sample
// encoding, and the checkpoint sidecar beside each segment, replaced through
// a temporary file and a rename so a reader never sees half of one.
#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/engine/pcm.h"
#include "segment_format/segment_format.h"

namespace helper {

std::array<uint8_t, segment_format::kHeaderBytes> buildCafHeader(double sampleRate);

// The length of a segment file holding `frames` frames.
constexpr int64_t segmentFileBytes(int64_t frames) {
  return static_cast<int64_t>(segment_format::kDataOffset) +
         static_cast<int64_t>(segment_format::kBytesPerFrame) * frames;
}

// NaN -> 0; x >= 1 -> 32767; x <= -1 -> -32768; else x * 32767 (single
// precision) truncated toward zero.
int16_t saturateToInt16(float x);

// frameLength little-endian 16-bit samples of channel 0 into `out` (resized
// to 2 * frameLength). A buffer whose float samples cannot be reached
// gives zeros, so the frame count still matches the time it covered.
void convertFloat32ToInt16(const platform::audio::PCMBuffer& buffer, std::vector<uint8_t>& out);

// "mic" for exactly "mic", "system" for any other source.
std::string segmentSourceSubdir(const std::string& source);
// "%06d" of the index and ".caf" (more digits above 999999).
std::string segmentFileName(int64_t index);
// Beside the segment: extension "checkpoint", and that with ".tmp".
std::string checkpointPathFor(const std::string& segmentPath);
std::string checkpointTempPathFor(const std::string& segmentPath);

// Highest index named by a regular file "<digits>.caf" in `dir` (sidecars,
// directories and links do not count); 0 when there is none or the
// directory cannot be read.
int64_t highestSegmentIndexIn(const std::string& dir);

struct CheckpointSidecar {
  int64_t segmentIndex = 0;
  int64_t framesWritten = 0;
  int64_t wallTimeMsAtCheckpoint = 0;
  int64_t audioTimeMsAtCheckpoint = 0;
  std::string checkpointAtUtc;

  int64_t byteOffset() const { return segmentFileBytes(framesWritten); }
  nlohmann::ordered_json toJson() const;
};

// frames * 1000 / trunc(rate), truncating; 0 for a rate below 1 Hz or not finite.
int64_t checkpointAudioTimeMs(int64_t frames, double canonicalRate);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of milliseconds since the Unix epoch.
std::string formatUtcIso8601Ms(int64_t epochMs);

// Writes the sidecar of `segmentPath`: pretty-printed JSON into the
// temporary file, then a rename over the sidecar. Nothing is synced. On
// failure returns the reason and leaves any previous sidecar as it was
// (the temporary file is removed).
std::optional<std::string> writeCheckpointSidecarFile(const std::string& segmentPath, const CheckpointSidecar& sidecar);

// Writes all `len` bytes at the descriptor's position, repeating short and
// interrupted writes. Returns the bytes written; on a failure errno is left
// as the failed write set it.
size_t writeFully(int fd, const void* data, size_t len);

}  // namespace helper
