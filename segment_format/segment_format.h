#pragma once
// The on-disk format of a source's segments, which the capture helper writes
// and the recovery program reads: numbered 16-bit mono little-endian linear
// PCM CAF files behind a fixed 68-byte header, so the samples always start at
// byte 68 and their count follows from the file length, each with a JSON
// checkpoint sidecar beside it.
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>

namespace segment_format {

// ---- The header: big-endian fields at fixed offsets ----

inline constexpr std::uint64_t kHeaderBytes = 68;
// Where the samples start.
inline constexpr std::uint64_t kDataOffset = kHeaderBytes;
inline constexpr std::uint64_t kBytesPerFrame = 2;
// The "desc" chunk's sample rate, a 64-bit float.
inline constexpr std::uint64_t kSampleRateOffset = 20;
// The "desc" chunk's channels per frame.
inline constexpr std::uint64_t kChannelsOffset = 44;
// The "data" chunk's size: 4 (the edit count) + the sample bytes.
inline constexpr std::uint64_t kDataSizeOffset = 56;
// A data chunk size of -1: the chunk runs to the end of the file, so a
// writer never seeks back.
inline constexpr std::uint64_t kDataSizeToEndOfFile = std::numeric_limits<std::uint64_t>::max();

// ---- Cutting and checkpointing ----

// The helper starts a new segment after this many frames at its own rate
// (30 s at 24000 Hz); shorter segments other than a source's last are short.
inline constexpr std::uint64_t kFramesPerSegment = 720000;
// The helper rewrites the sidecar after every this many frames.
inline constexpr std::uint64_t kCheckpointIntervalFrames = 120000;

// ---- The checkpoint sidecar ----

inline constexpr std::uint32_t kSidecarSchemaVersion = 1;
namespace sidecar_key {
inline constexpr std::string_view kSchemaVersion = "schema_version";
inline constexpr std::string_view kSegmentIndex = "segment_index";
inline constexpr std::string_view kFramesWritten = "frames_written";
// kDataOffset + kBytesPerFrame x frames written.
inline constexpr std::string_view kByteOffset = "byte_offset";
inline constexpr std::string_view kWallTimeMsAtCheckpoint = "wall_time_ms_at_checkpoint";
inline constexpr std::string_view kAudioTimeMsAtCheckpoint = "audio_time_ms_at_checkpoint";
// An older name of kAudioTimeMsAtCheckpoint, still read.
inline constexpr std::string_view kLogicalTimeMsAtCheckpoint = "logical_time_ms_at_checkpoint";
inline constexpr std::string_view kCheckpointAtUtc = "checkpoint_at_utc";
}  // namespace sidecar_key

// The header of a file at `sample_rate` whose data chunk size field holds
// `data_chunk_size`.
constexpr std::array<std::uint8_t, kHeaderBytes> header(double sample_rate, std::uint64_t data_chunk_size) {
  std::array<std::uint8_t, kHeaderBytes> h{};
  const auto put = [&h](std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  };
  const auto tag = [&h](std::size_t at, const char(&name)[5]) {
    for (std::size_t i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(name[i]);
  };
  tag(0, "caff");
  put(4, 1, 2);  // file version
  put(6, 0, 2);  // file flags
  tag(8, "desc");
  put(12, 32, 8);
  put(kSampleRateOffset, std::bit_cast<std::uint64_t>(sample_rate), 8);
  tag(28, "lpcm");
  put(32, 2, 4);               // little-endian signed integers
  put(36, kBytesPerFrame, 4);  // bytes per packet
  put(40, 1, 4);               // frames per packet
  put(kChannelsOffset, 1, 4);
  put(48, 16, 4);  // bits per channel
  tag(52, "data");
  put(kDataSizeOffset, data_chunk_size, 8);
  put(64, 0, 4);  // edit count
  return h;
}

}  // namespace segment_format
