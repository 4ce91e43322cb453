#include "recorder/recovery/caf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace recorder::recovery {
namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::string bytes_of(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A header as the capture helper writes it, with any rate and channel count.
std::string header(double rate, std::uint32_t channels) {
  auto h = caf_header(24000, 0);
  const auto bits = std::bit_cast<std::uint64_t>(rate);
  for (int i = 0; i < 8; ++i) h[20 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i) h[44 + i] = static_cast<std::uint8_t>(channels >> (24 - 8 * i));
  for (int i = 56; i < 64; ++i) h[i] = 0xFF;  // data size left unknown
  return bytes_of(h);
}

std::string format_error(const std::filesystem::path& path) {
  const auto r = read_caf_format(path);
  EXPECT_FALSE(r.ok());
  return r.ok() ? "" : r.error().to_string();
}

TEST(CafHeader, SyntheticFileHasTheFixedLayout) {
  TempDir tmp;
  const auto path = tmp / "x.caf";
  writeFile(path, "old content that is longer than a header, to be truncated away entirely.......");
  const auto n = write_synthetic_caf(path, 24000);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(*n, 68U);
  const std::string expected = std::string("caff\x00\x01\x00\x00", 8) + "desc" + std::string("\0\0\0\0\0\0\0\x20", 8) +
                               std::string("\x40\xD7\x70\0\0\0\0\0", 8) + "lpcm" + std::string("\0\0\0\x02", 4) +
                               std::string("\0\0\0\x02", 4) + std::string("\0\0\0\x01", 4) +
                               std::string("\0\0\0\x01", 4) + std::string("\0\0\0\x10", 4) + "data" +
                               std::string("\0\0\0\0\0\0\0\x04", 8) + std::string("\0\0\0\0", 4);
  EXPECT_EQ(readFile(path), expected);
  EXPECT_EQ(read_caf_format(path).value(), (CafFormat{24000, 1}));
  ASSERT_TRUE(write_synthetic_caf(path, 48000).ok());
  EXPECT_EQ(readFile(path).substr(20, 8), std::string("\x40\xE7\x70\0\0\0\0\0", 8));
}

TEST(CafHeader, ReadingChecksEachField) {
  TempDir tmp;
  const auto path = tmp / "h.caf";
  writeFile(path, header(24000, 1).substr(0, 40));
  EXPECT_EQ(format_error(path), "failed to fill whole buffer");
  writeFile(path, "RIFF" + header(24000, 1).substr(4));
  EXPECT_EQ(format_error(path), "not a CAF file");
  EXPECT_EQ(read_caf_format(path).error().kind(), IoError::Kind::InvalidData);
  std::string no_desc = header(24000, 1);
  no_desc.replace(8, 4, "dexc");
  writeFile(path, no_desc);
  EXPECT_EQ(format_error(path), "expected desc chunk");
  // 48 bytes are enough: the header's tail is never looked at.
  writeFile(path, header(44100.7, 8).substr(0, 48));
  EXPECT_EQ(read_caf_format(path).value(), (CafFormat{44100, 8}));
  writeFile(path, header(384000, 1));
  EXPECT_EQ(read_caf_format(path).value(), (CafFormat{384000, 1}));
  writeFile(path, header(0.5, 1));
  EXPECT_EQ(read_caf_format(path).value(), (CafFormat{0, 1}));

  const std::vector<std::pair<double, std::string>> bad_rates = {
      {0.0, "0"},
      {-0.0, "-0"},
      {-1.0, "-1"},
      {384000.5, "384000.5"},
      {1e6, "1000000"},
      {1e22, "10000000000000000000000"},
      {std::nan(""), "NaN"},
      {INFINITY, "inf"},
  };
  for (const auto& [rate, text] : bad_rates) {
    writeFile(path, header(rate, 1));
    EXPECT_EQ(format_error(path), "unreasonable sample rate: " + text);
  }
  for (const std::uint32_t channels : {0U, 9U, 4294967295U}) {
    writeFile(path, header(24000, channels));
    EXPECT_EQ(format_error(path), "unreasonable channel count: " + std::to_string(channels));
  }
  EXPECT_EQ(format_error(tmp / "missing.caf"), "No such file or directory (os error 2)");
}

TEST(CafHeader, NonRegularFileIsRefusedWithoutBlocking) {
  TempDir tmp;
  const auto fifo = tmp / "f.caf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(format_error(fifo), "not a regular file: " + fifo.string());
  EXPECT_EQ(read_caf_pcm16(fifo, 10).error().kind(), IoError::Kind::NotRegular);
  EXPECT_FALSE(patch_caf_data_size(fifo, 2).ok());
  // A new file takes the name of whatever stood there, never writing into it.
  ASSERT_TRUE(write_synthetic_caf(fifo, 24000).ok());
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(fifo)));
}

TEST(CafFile, PatchDataSizeRewritesOnlyTheSizeField) {
  TempDir tmp;
  const auto path = tmp / "p.caf";
  ASSERT_TRUE(write_synthetic_caf(path, 24000).ok());
  {
    auto file = File::open_append(path);
    ASSERT_TRUE(file.ok());
    const std::vector<std::uint8_t> samples(1000, 0x11);
    ASSERT_TRUE(write_all(*file, samples).ok());
  }
  ASSERT_TRUE(patch_caf_data_size(path, 1000).ok());
  const std::string content = readFile(path);
  ASSERT_EQ(content.size(), 1068U);
  EXPECT_EQ(content.substr(56, 8), std::string("\0\0\0\0\0\0\x03\xEC", 8));  // 1004
  EXPECT_EQ(content.substr(0, 56), bytes_of(caf_header(24000, 0)).substr(0, 56));
  EXPECT_EQ(content.substr(68), std::string(1000, '\x11'));
  // An absent file is an error and is not created.
  EXPECT_EQ(patch_caf_data_size(tmp / "none.caf", 2).error().to_string(), "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(tmp / "none.caf"));
}

TEST(CafFile, ZeroFillSilencesExactlyTheFrameRange) {
  TempDir tmp;
  const auto path = tmp / "z.caf";
  writeFile(path, header(24000, 1) + std::string(20000, '\x7F'));
  auto file = File::open_write(path);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(zero_fill_caf_frames(*file, 2, 9000).ok());  // more than one 8192-byte chunk
  ASSERT_TRUE(zero_fill_caf_frames(*file, 5, 5).ok());
  ASSERT_TRUE(zero_fill_caf_frames(*file, 9, 3).ok());
  std::string content = readFile(path);
  ASSERT_EQ(content.size(), 68U + 20000);
  EXPECT_EQ(content.substr(68, 4), std::string(4, '\x7F'));
  EXPECT_EQ(content.substr(72, 17996), std::string(17996, '\0'));
  EXPECT_EQ(content.substr(68 + 18000), std::string(2000, '\x7F'));
  // Past the end the file grows with silence.
  ASSERT_TRUE(zero_fill_caf_frames(*file, 10000, 10010).ok());
  EXPECT_EQ(readFile(path).size(), 68U + 20020);
  EXPECT_EQ(zero_fill_caf_frames(*file, 0, 18446744073709551615ULL).error().kind(), IoError::Kind::InvalidInput);
}

TEST(CafFile, ReadPcmStopsAtTheCountOrTheEnd) {
  TempDir tmp;
  const auto path = tmp / "r.caf";
  const std::vector<std::int16_t> samples = {0, 1, -1, 32767, -32768, 256, -2};
  const auto data = samples_to_bytes(samples);
  writeFile(path, header(24000, 1) + bytes_of(data) + "\x05");
  EXPECT_EQ(read_caf_pcm16(path, 10).value(), samples);
  EXPECT_EQ(read_caf_pcm16(path, 3).value(), std::vector<std::int16_t>(samples.begin(), samples.begin() + 3));
  EXPECT_TRUE(read_caf_pcm16(path, 0)->empty());
  EXPECT_EQ(read_caf_pcm16(path, 18446744073709551615ULL).value(), samples);
  // Longer than one buffer.
  std::vector<std::int16_t> many(10000);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::int16_t>(i * 7 - 30000);
  writeFile(path, header(24000, 1) + bytes_of(samples_to_bytes(many)));
  EXPECT_EQ(read_caf_pcm16(path, 20000).value(), many);
  writeFile(path, header(24000, 1).substr(0, 60));
  EXPECT_TRUE(read_caf_pcm16(path, 10)->empty());
}

// A reader that hands out a few bytes per call.
class TrickleReader : public Reader {
 public:
  explicit TrickleReader(std::string data) : data_(std::move(data)) {}
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min<std::size_t>({buffer.size(), 2, data_.size() - pos_});
    std::memcpy(buffer.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

TEST(CafFile, ReadOrZeroFillPadsWithSilence) {
  TrickleReader reader("\x01\x02\x03");
  std::vector<std::uint8_t> buffer(6, 0xAA);
  ASSERT_TRUE(read_or_zero_fill(reader, buffer).ok());
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{1, 2, 3, 0, 0, 0}));
  TrickleReader full("abcdefgh");
  std::vector<std::uint8_t> part(5);
  ASSERT_TRUE(read_or_zero_fill(full, part).ok());
  EXPECT_EQ(bytes_of(part), "abcde");
}

TEST(CafFile, SampleConversion) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F, 0x42};
  const auto samples = bytes_to_samples(bytes);
  EXPECT_EQ(samples, (std::vector<std::int16_t>{1, -1, -32768, 32767}));
  EXPECT_EQ(samples_to_bytes(samples), std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));
  EXPECT_TRUE(bytes_to_samples(std::vector<std::uint8_t>{7}).empty());
}

}  // namespace
}  // namespace recorder::recovery
