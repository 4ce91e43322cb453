#include "helper/offline/concat_manifest.h"

#include <gtest/gtest.h>

#include <limits>

using helper::parseConcatManifest;
using helper::SegEntry;

namespace {

std::string line(const std::string& source, const std::string& seq, const std::string& path,
                 const std::string& frames = "100") {
  return R"({"type":"segment_closed","source":")" + source + R"(","seq":)" + seq + R"(,"path":")" + path +
         R"(","canonical_frames":)" + frames + "}";
}

}  // namespace

TEST(ConcatManifest, SortsBySeqKeepingEqualSeqsInManifestOrder) {
  const std::string text = line("mic", "3", "mic/3.caf") + "\n" + line("mic", "1", "mic/1.caf") + "\n" +
                           line("mic", "2", "mic/2a.caf") + "\n" + line("mic", "2", "mic/2b.caf") + "\n";
  const auto e = parseConcatManifest(text, "mic");
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].path, "mic/1.caf");
  EXPECT_EQ(e[1].path, "mic/2a.caf");
  EXPECT_EQ(e[2].path, "mic/2b.caf");
  EXPECT_EQ(e[3].path, "mic/3.caf");
}

TEST(ConcatManifest, SkipsForeignAndMalformedLinesSilently) {
  const std::string text = line("system", "1", "system/1.caf") + "\n" + R"({"type":"segment_opened","source":"mic"})" +
                           "\n" + "not json\n[1,2]\n" +
                           R"({"type":"segment_closed","source":"mic","seq":"4","path":"x","canonical_frames":1})" +
                           "\n" + R"({"type":"segment_closed","source":"mic","seq":5,"path":"y"})" + "\n" +
                           line("mic", "6.5", "z") + "\n" + line("mic", "7", "ok.caf") + "\n\n";
  const auto e = parseConcatManifest(text, "mic");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0], (SegEntry{"ok.caf", 7, 100}));
}

TEST(ConcatManifest, SkipsNegativeAndOutOfRangeFrameCounts) {
  const std::string text = line("mic", "1", "neg.caf", "-5") + "\n" + line("mic", "2", "huge.caf", "1e300") + "\n" +
                           line("mic", "3", "big.caf", "18446744073709551615") + "\n" +
                           line("mic", "4", "max.caf", "9223372036854775807") + "\n" +
                           line("mic", "5", "float.caf", "240.0") + "\n";
  const auto e = parseConcatManifest(text, "mic");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].frames, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(e[1], (SegEntry{"float.caf", 5, 240}));
}

TEST(ConcatManifest, DropsARepeatedSegmentLineButKeepsOtherPathsOfTheSameSeq) {
  const std::string a = line("mic", "1", "mic/000001.caf");
  const std::string text =
      a + "\n" + line("mic", "2", "mic/000002.caf") + "\n" + a + "\n" + line("mic", "1", "mic/000001-b.caf") + "\n";
  const auto e = parseConcatManifest(text, "mic");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].path, "mic/000001.caf");
  EXPECT_EQ(e[1].path, "mic/000001-b.caf");
  EXPECT_EQ(e[2].path, "mic/000002.caf");
}

TEST(ConcatManifest, ReadsCrlfLineEnds) {
  const std::string text = line("mic", "2", "b.caf") + "\r\n" + line("mic", "1", "a.caf") + "\r\n";
  const auto e = parseConcatManifest(text, "mic");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].path, "a.caf");
  EXPECT_EQ(e[1].path, "b.caf");
}

TEST(ConcatPaths, SegmentsAreRelativeToTheManifestDirectory) {
  EXPECT_EQ(helper::manifestBaseDirectory("/s/x/manifest.jsonl"), "/s/x");
  EXPECT_EQ(helper::manifestBaseDirectory("manifest.jsonl"), "");
  EXPECT_EQ(helper::manifestBaseDirectory("/manifest.jsonl"), "/");
  EXPECT_EQ(helper::joinSegmentPath("/s/x", "mic/000001.caf"), "/s/x/mic/000001.caf");
  EXPECT_EQ(helper::joinSegmentPath("/s/x", "/mic/000001.caf"), "/s/x/mic/000001.caf");
  EXPECT_EQ(helper::joinSegmentPath("", "mic/1.caf"), "mic/1.caf");
  EXPECT_EQ(helper::joinSegmentPath("/", "mic/1.caf"), "/mic/1.caf");
}

TEST(ConcatFrames, TotalsSaturateInsteadOfWrapping) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(helper::saturatingAdd(max - 1, 5), max);
  EXPECT_EQ(helper::saturatingAdd(10, 20), 30);
}

TEST(ConcatManifest, Utf8CheckRejectsBrokenSequences) {
  EXPECT_TRUE(helper::isValidUtf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"));
  EXPECT_FALSE(helper::isValidUtf8("\xC3"));
  EXPECT_FALSE(helper::isValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(helper::isValidUtf8("\xED\xA0\x80"));
  EXPECT_FALSE(helper::isValidUtf8("\xFF"));
}
