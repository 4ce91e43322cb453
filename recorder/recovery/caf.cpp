#include "recorder/recovery/caf.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace recorder::recovery {
namespace {

void put_be(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t get_be(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// The rate as the shortest decimal that reads back to the same double,
// never with an exponent, without a fraction when whole.
std::string format_rate(double rate) {
  if (std::isnan(rate)) return "NaN";
  if (std::isinf(rate)) return rate < 0 ? "-inf" : "inf";
  std::array<char, 400> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), rate, std::chars_format::fixed);
  return std::string(buf.data(), r.ptr);
}

constexpr std::array<std::uint8_t, kIoBufferBytes> kZeros{};

}  // namespace

IoResult<CafFormat> read_caf_format(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  std::array<std::uint8_t, 48> header{};
  if (auto r = read_exact(*file, header); !r) return r.error();
  if (std::memcmp(header.data(), "caff", 4) != 0) return IoError::invalid_data("not a CAF file");
  if (std::memcmp(header.data() + 8, "desc", 4) != 0) return IoError::invalid_data("expected desc chunk");
  const double rate = std::bit_cast<double>(get_be(header.data() + segment_format::kSampleRateOffset, 8));
  // A rate that is not a number is refused too: it would stand for no rate at all.
  if (!(rate > 0.0 && rate <= 384000.0)) return IoError::invalid_data("unreasonable sample rate: " + format_rate(rate));
  const auto channels = static_cast<std::uint32_t>(get_be(header.data() + segment_format::kChannelsOffset, 4));
  if (channels < 1 || channels > 8) {
    return IoError::invalid_data("unreasonable channel count: " + std::to_string(channels));
  }
  return CafFormat{static_cast<std::uint32_t>(rate), channels};
}

IoResult<CafFormat> read_segment_format(const std::filesystem::path& path) {
  auto format = read_caf_format(path);
  if (!format)
    return format.error().kind() == IoError::Kind::UnexpectedEof
               ? IoError::invalid_data("header cut short: " + format.error().to_string())
               : format.error();
  if (format->channels != 1) {
    return IoError::invalid_data("expected mono CAF, got " + std::to_string(format->channels) + " channels");
  }
  // A rate below 1 Hz reads as 0: it is as implausible as any other low one.
  if (format->sample_rate < kMinSegmentRate) {
    return IoError::invalid_data("implausible sample rate: " + std::to_string(format->sample_rate) + "Hz");
  }
  return format;
}

std::vector<std::uint8_t> caf_header(std::uint32_t sample_rate, std::uint64_t data_bytes) {
  // The edit count belongs to the chunk.
  const auto h = segment_format::header(static_cast<double>(sample_rate), 4 + data_bytes);
  return {h.begin(), h.end()};
}

IoResult<std::uint64_t> write_synthetic_caf(const std::filesystem::path& path, std::uint32_t sample_rate) {
  auto file = File::create(path);
  if (!file) return file.error();
  const auto header = caf_header(sample_rate, 0);
  if (auto r = write_all(*file, header); !r) return r.error();
  return kCafHeaderBytes;
}

IoResult<void> patch_caf_data_size(const std::filesystem::path& path, std::uint64_t sample_bytes) {
  auto file = File::open_write(path);
  if (!file) return file.error();
  if (auto r = file->seek(segment_format::kDataSizeOffset); !r) return r.error();
  std::vector<std::uint8_t> size;
  put_be(size, 4 + sample_bytes, 8);
  return write_all(*file, size);
}

IoResult<void> zero_fill_caf_frames(File& file, std::uint64_t first_frame, std::uint64_t end_frame) {
  if (first_frame >= end_frame) return {};
  constexpr std::uint64_t kMaxFrame = (std::numeric_limits<std::int64_t>::max() - kCafHeaderBytes) / 2;
  if (end_frame > kMaxFrame) return IoError::invalid_input("frame range beyond the largest file offset");
  if (auto r = file.seek(kCafHeaderBytes + kCafBytesPerFrame * first_frame); !r) return r.error();
  std::uint64_t left = kCafBytesPerFrame * (end_frame - first_frame);
  while (left > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kZeros.size()));
    if (auto r = write_all(file, std::span(kZeros.data(), chunk)); !r) return r;
    left -= chunk;
  }
  return {};
}

IoResult<std::vector<std::int16_t>> read_caf_pcm16(const std::filesystem::path& path, std::uint64_t max_samples) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  if (auto r = file->seek(kCafHeaderBytes); !r) return r.error();
  const std::uint64_t max_bytes = max_samples > std::numeric_limits<std::uint64_t>::max() / 2
                                      ? std::numeric_limits<std::uint64_t>::max()
                                      : max_samples * 2;
  BufferedReader reader(*file);
  std::vector<std::uint8_t> bytes;
  // Reserve no more than the file can give.
  if (auto st = file->status(); st && st->size > kCafHeaderBytes) {
    bytes.reserve(static_cast<std::size_t>(std::min(st->size - kCafHeaderBytes, max_bytes)));
  }
  std::array<std::uint8_t, kIoBufferBytes> chunk{};
  while (bytes.size() < max_bytes) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), max_bytes - bytes.size()));
    auto n = reader.read(std::span(chunk.data(), want));
    if (!n) return n.error();
    if (*n == 0) break;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*n));
  }
  return bytes_to_samples(bytes);
}

IoResult<void> read_or_zero_fill(Reader& reader, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto n = reader.read(buffer.subspan(filled));
    if (!n) return n.error();
    if (*n == 0) break;
    filled += *n;
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(filled), buffer.end(), std::uint8_t{0});
  return {};
}

std::vector<std::int16_t> bytes_to_samples(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
  }
  return samples;
}

std::vector<std::uint8_t> samples_to_bytes(std::span<const std::int16_t> samples) {
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto u = static_cast<std::uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  return bytes;
}

}  // namespace recorder::recovery
