#include <gtest/gtest.h>

#include <filesystem>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tasmerigtest::runTasmerig;
using testsupport::eventsOfType;

std::vector<std::string> typesOf(const std::vector<nlohmann::json>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    if (e["type"] != "level") out.push_back(e["type"]);
  }
  return out;
}

// The segment's sidecar describes exactly the file beside it.
void expectSidecarMatches(const fs::path& segment, int64_t index) {
  const auto side = nlohmann::json::parse(testsupport::readFile(fs::path(segment).replace_extension(".checkpoint")));
  EXPECT_EQ(side["segment_index"], index);
  EXPECT_EQ(side["byte_offset"].get<uint64_t>(), fs::file_size(segment)) << segment;
  EXPECT_EQ(side["frames_written"].get<uint64_t>(), (fs::file_size(segment) - 68) / 2) << segment;
  EXPECT_FALSE(fs::exists(fs::path(segment).replace_extension(".checkpoint.tmp")));
}

std::string bytesAt(const fs::path& file, size_t offset, size_t n) {
  return testsupport::readFile(file).substr(offset, n);
}

TEST(SegmentWriterMode, DefaultRunWritesTenSecondsOfSilenceIntoOneSegment) {
  testsupport::TempDir dir;
  const auto r = runTasmerig({"--mode", "test-segment-writer", "--out", dir.path().string(), "--source", "mic"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const auto events = r.errEvents();
  EXPECT_EQ(typesOf(events), (std::vector<std::string>{"segment_opened", "capture_started", "test_segment_written"}));
  const fs::path segment = fs::canonical(dir.path()) / "mic" / "000001.caf";
  const auto report = eventsOfType(events, "test_segment_written").at(0);
  EXPECT_EQ(report, (nlohmann::json{{"type", "test_segment_written"},
                                    {"path", segment.string()},
                                    {"bytes", 480068},
                                    {"frames", 240000},
                                    {"canonical_rate", 24000.0},
                                    {"canonical_channels", 1},
                                    {"format", "caf_pcm_s16le"}}));
  EXPECT_TRUE(report["canonical_rate"].is_number_float());
  EXPECT_EQ(fs::file_size(segment), 480068u);
  EXPECT_EQ(bytesAt(segment, 20, 8), std::string("\x40\xD7\x70\0\0\0\0\0", 8));
  EXPECT_EQ(testsupport::readFile(segment).substr(68), std::string(480000, '\0'));
  expectSidecarMatches(segment, 1);
}

TEST(SegmentWriterMode, FortySecondsRotateOnceAndReportTheSecondSegment) {
  testsupport::TempDir dir;
  const auto r = runTasmerig(
      {"--mode", "test-segment-writer", "--out", dir.path().string(), "--source", "mic", "--duration-sec", "40"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto events = r.errEvents();
  const auto closed = eventsOfType(events, "segment_closed");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0]["index"], 1);
  EXPECT_EQ(closed[0]["frames"], 720896);  // the 1024-frame write that passed 719999
  EXPECT_EQ(closed[0]["bytes"], 68 + 2 * 720896);
  EXPECT_EQ(closed[0]["path"], "mic/000001.caf");
  const auto types = typesOf(events);
  const auto closedAt = std::find(types.begin(), types.end(), "segment_closed");
  const auto secondOpen = std::find(closedAt, types.end(), "segment_opened");
  EXPECT_NE(secondOpen, types.end());
  EXPECT_EQ(eventsOfType(events, "segment_opened").back()["index"], 2);

  const auto report = eventsOfType(events, "test_segment_written").at(0);
  EXPECT_EQ(report["path"], (fs::canonical(dir.path()) / "mic" / "000002.caf").string());
  EXPECT_EQ(report["bytes"], 478276);
  EXPECT_EQ(report["frames"], 960000);
  expectSidecarMatches(dir / "mic" / "000001.caf", 1);
  expectSidecarMatches(dir / "mic" / "000002.caf", 2);
  EXPECT_EQ(fs::file_size(dir / "mic" / "000001.caf"), 68u + 2 * 720896);
}

TEST(SegmentWriterMode, SystemSourceAt48kHzUsesTheSystemChannelCount) {
  testsupport::TempDir dir;
  const auto r = runTasmerig({"--mode", "test-segment-writer", "--out", dir.path().string(), "--source", "system",
                              "--canonical-rate", "48000", "--duration-sec", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto report = eventsOfType(r.errEvents(), "test_segment_written").at(0);
  EXPECT_EQ(report["canonical_channels"], 2);
  EXPECT_EQ(report["canonical_rate"], 48000.0);
  EXPECT_EQ(report["frames"], 48000);
  const fs::path segment = dir / "system" / "000001.caf";
  EXPECT_EQ(report["bytes"], 68 + 96000);
  EXPECT_EQ(bytesAt(segment, 20, 8), std::string("\x40\xE7\x70\0\0\0\0\0", 8));
  EXPECT_EQ(bytesAt(segment, 56, 8), std::string(8, '\xFF'));
  expectSidecarMatches(segment, 1);
}

TEST(SegmentWriterMode, ASecondRunInTheSameDirectoryKeepsTheFirstRunsSegment) {
  testsupport::TempDir dir;
  const std::vector<std::string> args = {"--mode", "test-segment-writer", "--out", dir.path().string(), "--source",
                                         "mic",    "--duration-sec",      "1"};
  ASSERT_EQ(runTasmerig(args).exitCode, 0);
  const std::string first = testsupport::readFile(dir / "mic" / "000001.caf");
  const auto again = runTasmerig(args);
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(eventsOfType(again.errEvents(), "segment_opened").at(0)["index"], 2);
  EXPECT_EQ(eventsOfType(again.errEvents(), "test_segment_written").at(0)["path"],
            (fs::canonical(dir.path()) / "mic" / "000002.caf").string());
  EXPECT_EQ(testsupport::readFile(dir / "mic" / "000001.caf"), first);
  expectSidecarMatches(dir / "mic" / "000001.caf", 1);
}

void expectFatalLast(const testsupport::RunResult& r, const std::string& reason, const std::string& ctx) {
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const auto events = r.errEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (nlohmann::json{{"type", "fatal_error"}, {"reason", reason}, {"ctx", ctx}}));
}

TEST(SegmentWriterMode, FailuresEndTheRunWithAFatalError) {
  testsupport::TempDir dir;
  // Nothing written: nothing to seal.
  auto zero = runTasmerig(
      {"--mode", "test-segment-writer", "--out", dir.path().string(), "--source", "mic", "--duration-sec", "0"});
  expectFatalLast(zero, "writer_failed", "sealFinal produced no segment");
  EXPECT_EQ(typesOf(zero.errEvents()).front(), "segment_opened");

  auto noChannels = runTasmerig({"--mode", "test-segment-writer", "--out", (dir / "b").string(), "--source", "system",
                                 "--canonical-system-channels", "0"});
  expectFatalLast(noChannels, "test_setup_failed", "Could not build canonical PCM format");

  // An output "directory" that is a file: the writer cannot open its segment.
  testsupport::writeFile(dir / "plain", "x");
  auto blocked = runTasmerig({"--mode", "test-segment-writer", "--out", (dir / "plain").string(), "--source", "mic"});
  expectFatalLast(blocked, "writer_failed", "sealFinal produced no segment");
  const auto warnings = eventsOfType(blocked.errEvents(), "warning");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0]["code"], "writer_open_failed");
}

}  // namespace
