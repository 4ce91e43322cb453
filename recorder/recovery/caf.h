#pragma once
// The recovery program's CAF files, all in the segment format
// (segment_format/segment_format.h): the capture helper's segments, and the
// timelines, cleaned mic and mix this program writes.
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "recorder/recovery/file_io.h"
#include "recorder/recovery/io_error.h"
#include "segment_format/segment_format.h"

namespace recorder::recovery {

inline constexpr std::uint64_t kCafHeaderBytes = segment_format::kHeaderBytes;
inline constexpr std::uint64_t kCafBytesPerFrame = segment_format::kBytesPerFrame;

struct CafFormat {
  std::uint32_t sample_rate = 0;
  std::uint32_t channels = 0;
  bool operator==(const CafFormat&) const = default;
};

// Reads and checks the header's first 48 bytes: "caff", a "desc" chunk, a
// rate above 0 and at most 384000 Hz, 1 to 8 channels. The rate comes back
// truncated to a whole number.
IoResult<CafFormat> read_caf_format(const std::filesystem::path& path);

// A header claiming a lower rate is corrupt: no audio device records below
// it, and resampling it would stretch a second of samples over hours.
inline constexpr std::uint32_t kMinSegmentRate = 1000;

// The one rule a segment's header must pass to be read as audio: that of
// read_caf_format, then one channel and a rate of at least kMinSegmentRate.
// Every failure is an invalid-data error saying which check failed.
IoResult<CafFormat> read_segment_format(const std::filesystem::path& path);

// The 68-byte header for the given rate with the data chunk size set to
// 4 + data_bytes.
std::vector<std::uint8_t> caf_header(std::uint32_t sample_rate, std::uint64_t data_bytes);

// Creates (or truncates) the file and writes the header of an empty data
// chunk. Returns the file length, 68.
IoResult<std::uint64_t> write_synthetic_caf(const std::filesystem::path& path, std::uint32_t sample_rate);

// Stores 4 + sample_bytes as the data chunk size of an existing file; the
// file is neither created nor truncated.
IoResult<void> patch_caf_data_size(const std::filesystem::path& path, std::uint64_t sample_bytes);

// Writes silence over frames [first_frame, end_frame) of an open file.
IoResult<void> zero_fill_caf_frames(File& file, std::uint64_t first_frame, std::uint64_t end_frame);

// Up to max_samples samples from byte 68 on; a trailing odd byte is dropped.
IoResult<std::vector<std::int16_t>> read_caf_pcm16(const std::filesystem::path& path, std::uint64_t max_samples);

// Fills the whole buffer from the reader; what the reader lacks at its end
// becomes zero bytes.
IoResult<void> read_or_zero_fill(Reader& reader, std::span<std::uint8_t> buffer);

// Consecutive little-endian byte pairs as samples; an odd last byte is ignored.
std::vector<std::int16_t> bytes_to_samples(std::span<const std::uint8_t> bytes);
// Each sample as two little-endian bytes.
std::vector<std::uint8_t> samples_to_bytes(std::span<const std::int16_t> samples);

}  // namespace recorder::recovery
