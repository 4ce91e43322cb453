#include "helper/offline/asset_loading.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

TEST(OfflineSettings, FloatPcmDictionaryForReaderAndWriter) {
  const platform::media::AudioSettings s = helper::PCMDecodeSettings{48000, 2}.readerOutputSettings();
  EXPECT_EQ(s.formatID, 0x6C70636Du);
  EXPECT_EQ(s.sampleRate, 48000);
  EXPECT_EQ(s.numberOfChannels, 2);
  EXPECT_EQ(s.linearPCMBitDepth, 32);
  EXPECT_TRUE(s.linearPCMIsFloat);
  EXPECT_FALSE(s.linearPCMIsBigEndian);
  EXPECT_FALSE(s.linearPCMIsNonInterleaved);
  EXPECT_EQ((helper::AACRailSettings{48000, 2, 128000}.writerOutputSettings()), s);
  EXPECT_EQ((helper::AACRailSettings{48000, 2, 1}.writerOutputSettings()), s);
}

TEST(OfflineAssets, NoAudioTrackReadsAsThreeWords) {
  EXPECT_STREQ(helper::HelperAssetLoadError().what(), "No audio track");
  EXPECT_EQ(helper::describeError(helper::HelperAssetLoadError()), "No audio track");
  EXPECT_EQ(helper::HelperAssetLoadError(), helper::HelperAssetLoadError());
}

TEST(OfflineAssets, LoadsRethrowThePlatformsError) {
  testsupport::TempDir dir;
  auto missing = platform::media::Asset::open((dir / "missing.caf").string());
  EXPECT_THROW(helper::loadAssetIsPlayable(missing), platform::media::MediaError);
  EXPECT_THROW(helper::loadFirstAudioTrack(missing), platform::media::MediaError);
}

TEST(OfflineAssets, OutputIsAnInputComparesTheFileNotTheSpelling) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "in.caf", "x");
  testsupport::writeFile(dir / "other.caf", "y");
  std::filesystem::create_hard_link(dir / "in.caf", dir / "link.caf");
  const std::string in = (dir / "in.caf").string();
  EXPECT_TRUE(helper::outputIsAnInput((dir / "." / "in.caf").string(), {in}));
  EXPECT_TRUE(helper::outputIsAnInput((dir / "link.caf").string(), {(dir / "other.caf").string(), in}));
  EXPECT_FALSE(helper::outputIsAnInput((dir / "other.caf").string(), {in}));
  EXPECT_FALSE(helper::outputIsAnInput((dir / "absent.mov").string(), {in}));
}
