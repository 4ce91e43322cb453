#include "helper/core/segments/caf_segment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace fs = std::filesystem;
namespace audio = platform::audio;

std::vector<uint8_t> hex(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

TEST(CafHeader, IsTheFixed68BytesWithTheRateBigEndian) {
  const auto h = buildCafHeader(24000.0);
  const std::vector<uint8_t> expected = {
      'c',  'a',  'f',  'f', 0,    1,    0,    0,                           // file type, version 1, flags 0
      'd',  'e',  's',  'c', 0,    0,    0,    0,    0,    0,    0,    32,  // desc chunk of 32 bytes
      0x40, 0xD7, 0x70, 0,   0,    0,    0,    0,                           // 24000.0
      'l',  'p',  'c',  'm', 0,    0,    0,    2,                           // little-endian integers
      0,    0,    0,    2,   0,    0,    0,    1,    0,    0,    0,    1,
      0,    0,    0,    16,  // 2 bytes/packet, 1 frame/packet, 1 channel, 16 bits
      'd',  'a',  't',  'a', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // size -1
      0,    0,    0,    0};                                                   // edit count
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), expected);
  const auto h48 = buildCafHeader(48000.0);
  EXPECT_EQ(std::vector<uint8_t>(h48.begin() + 20, h48.begin() + 28), hex({0x40, 0xE7, 0x70, 0, 0, 0, 0, 0}));
}

TEST(SampleEncoding, SaturatesAndTruncatesTowardZero) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(saturateToInt16(1.0f), 32767);
  EXPECT_EQ(saturateToInt16(2.0f), 32767);
  EXPECT_EQ(saturateToInt16(inf), 32767);
  EXPECT_EQ(saturateToInt16(-1.0f), -32768);
  EXPECT_EQ(saturateToInt16(-3.5f), -32768);
  EXPECT_EQ(saturateToInt16(-inf), -32768);
  EXPECT_EQ(saturateToInt16(0.5f), 16383);
  EXPECT_EQ(saturateToInt16(-0.5f), -16383);
  EXPECT_EQ(saturateToInt16(0.99999994f), 32766);
  EXPECT_EQ(saturateToInt16(-0.99999994f), -32766);
  EXPECT_EQ(saturateToInt16(0.00001f), 0);
  EXPECT_EQ(saturateToInt16(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(SampleEncoding, BufferBecomesLittleEndianChannelZero) {
  auto b = audio::PCMBuffer::make(*audio::AudioFormat::make(audio::CommonFormat::pcmFloat32, 24000, 2, true), 3);
  b->setFrameLength(3);
  const float in[] = {1.0f, 0.3f, -1.0f, 0.3f, 0.5f, 0.3f};
  std::memcpy(b->block(0).data, in, sizeof in);
  std::vector<uint8_t> out;
  convertFloat32ToInt16(*b, out);
  EXPECT_EQ(out, hex({0xFF, 0x7F, 0x00, 0x80, 0xFF, 0x3F}));

  auto planar = audio::PCMBuffer::make(*audio::AudioFormat::make(audio::CommonFormat::pcmFloat32, 24000, 2, false), 2);
  planar->setFrameLength(2);
  planar->floatChannelData()[0][0] = -0.5f;
  planar->floatChannelData()[0][1] = 0.99999994f;
  planar->floatChannelData()[1][0] = 0.9f;
  convertFloat32ToInt16(*planar, out);
  EXPECT_EQ(out, hex({0x01, 0xC0, 0xFE, 0x7F}));
}

TEST(SampleEncoding, UnreachableSamplesBecomeSilenceOfTheSameLength) {
  auto ints = audio::PCMBuffer::make(*audio::AudioFormat::make(audio::CommonFormat::pcmInt16, 24000, 1, true), 4);
  ints->setFrameLength(4);
  std::vector<uint8_t> out = {1, 2, 3};
  convertFloat32ToInt16(*ints, out);
  EXPECT_EQ(out, std::vector<uint8_t>(8, 0));
}

TEST(SegmentNames, IndexSourceAndSidecarNames) {
  EXPECT_EQ(segmentFileName(1), "000001.caf");
  EXPECT_EQ(segmentFileName(999999), "999999.caf");
  EXPECT_EQ(segmentFileName(1000000), "1000000.caf");
  EXPECT_EQ(segmentSourceSubdir("mic"), "mic");
  EXPECT_EQ(segmentSourceSubdir("Mic"), "system");
  EXPECT_EQ(segmentSourceSubdir("system"), "system");
  EXPECT_EQ(checkpointPathFor("/s/mic/000003.caf"), "/s/mic/000003.checkpoint");
  EXPECT_EQ(checkpointTempPathFor("/s/mic/000003.caf"), "/s/mic/000003.checkpoint.tmp");
}

TEST(SegmentNames, HighestIndexCountsOnlyRegularSegmentFiles) {
  testsupport::TempDir dir;
  EXPECT_EQ(highestSegmentIndexIn(dir.path().string()), 0);
  EXPECT_EQ(highestSegmentIndexIn((dir / "missing").string()), 0);
  testsupport::writeFile(dir / "000002.caf", "");
  testsupport::writeFile(dir / "000005.checkpoint.tmp", "");
  testsupport::writeFile(dir / "000006.checkpoint", "");
  testsupport::writeFile(dir / "000009.wav", "");
  testsupport::writeFile(dir / "notes-000012.caf", "");
  testsupport::writeFile(dir / "000013.caf.tmp", "");
  fs::create_directory(dir / "000020.caf");
  fs::create_directory(dir / "000021.checkpoint.tmp");
  fs::create_symlink(dir / "000002.caf", dir / "000030.caf");
  EXPECT_EQ(highestSegmentIndexIn(dir.path().string()), 2);
  testsupport::writeFile(dir / "1000000.caf", "");
  EXPECT_EQ(highestSegmentIndexIn(dir.path().string()), 1000000);
}

TEST(CheckpointSidecar, AudioTimeDividesByTheTruncatedRate) {
  EXPECT_EQ(checkpointAudioTimeMs(120000, 24000.0), 5000);
  EXPECT_EQ(checkpointAudioTimeMs(44100, 44100.7), 1000);
  EXPECT_EQ(checkpointAudioTimeMs(44099, 44100.7), 999);
  EXPECT_EQ(checkpointAudioTimeMs(100, 0.5), 0);
  EXPECT_EQ(checkpointAudioTimeMs(100, std::nan("")), 0);
  // frames * 1000 would overflow; the result does not.
  constexpr int64_t kHuge = std::numeric_limits<int64_t>::max() / 100;
  EXPECT_EQ(checkpointAudioTimeMs(kHuge, 1000.0), kHuge);
}

TEST(CheckpointSidecar, UtcTextHasMillisecondsAndZ) {
  EXPECT_EQ(formatUtcIso8601Ms(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(formatUtcIso8601Ms(1767225599999), "2025-12-31T23:59:59.999Z");
}

TEST(CheckpointSidecar, ReplacesThroughARenameAndLeavesNoTemporary) {
  testsupport::TempDir dir;
  const std::string seg = (dir / "000007.caf").string();
  CheckpointSidecar s{7, 120000, 5123, 5000, "2026-01-02T03:04:05.678Z"};
  ASSERT_EQ(writeCheckpointSidecarFile(seg, s), std::nullopt);
  s.framesWritten = 240000;
  ASSERT_EQ(writeCheckpointSidecarFile(seg, s), std::nullopt);
  EXPECT_FALSE(fs::exists(dir / "000007.checkpoint.tmp"));
  const auto j = nlohmann::json::parse(testsupport::readFile(dir / "000007.checkpoint"));
  EXPECT_EQ(j, (nlohmann::json{{"schema_version", 1},
                               {"segment_index", 7},
                               {"frames_written", 240000},
                               {"byte_offset", 480068},
                               {"wall_time_ms_at_checkpoint", 5123},
                               {"audio_time_ms_at_checkpoint", 5000},
                               {"checkpoint_at_utc", "2026-01-02T03:04:05.678Z"}}));
}

TEST(CheckpointSidecar, AFailedWriteKeepsThePreviousSidecar) {
  testsupport::TempDir dir;
  const std::string seg = (dir / "000001.caf").string();
  ASSERT_EQ(writeCheckpointSidecarFile(seg, CheckpointSidecar{1, 10, 0, 0, "x"}), std::nullopt);
  // A directory where the sidecar goes makes the rename fail.
  fs::remove(dir / "000001.checkpoint");
  fs::create_directory(dir / "000001.checkpoint");
  fs::create_directory(dir / "000001.checkpoint" / "keep");
  const auto err = writeCheckpointSidecarFile(seg, CheckpointSidecar{1, 20, 0, 0, "x"});
  ASSERT_TRUE(err);
  EXPECT_NE(err->find("rename"), std::string::npos) << *err;
  EXPECT_NE(err->find("errno"), std::string::npos) << *err;
  EXPECT_TRUE(fs::is_directory(dir / "000001.checkpoint" / "keep"));
  EXPECT_FALSE(fs::exists(dir / "000001.checkpoint.tmp"));

  const auto missing = writeCheckpointSidecarFile((dir / "nope" / "000001.caf").string(), CheckpointSidecar{});
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->find("cannot create"), std::string::npos) << *missing;
}

}  // namespace
}  // namespace helper
