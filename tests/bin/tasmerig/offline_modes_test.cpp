// concat and mix through the built helper, their outputs read back with
// ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"
#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/slow_close.h"

namespace {

using kelvarotest::caf_file;
using kelvarotest::Samples;
using kelvarotest::tone;
namespace fs = std::filesystem;

using tasmerigtest::runTasmerig;

std::string probe(const fs::path& file) {
  testsupport::RunOptions o;
  o.args = {"-v",         "error", "-show_entries", "stream=codec_name,sample_rate,channels", "-of", "compact=p=0:nk=1",
            file.string()};
  return testsupport::runProgram("/usr/bin/ffprobe", o).out;
}

// The file's first audio stream decoded to raw samples of the given format.
std::string decode(const fs::path& file, const std::string& format) {
  testsupport::RunOptions o;
  o.args = {"-v", "error", "-i", file.string(), "-f", format, "-"};
  return testsupport::runProgram("/usr/bin/ffmpeg", o).out;
}

std::string le16(const Samples& s) {
  std::string out;
  for (auto v : s) {
    const auto u = static_cast<std::uint16_t>(v);
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string segmentLine(int seq, const std::string& path, std::size_t frames) {
  return nlohmann::json{{"type", "segment_closed"},  {"source", "mic"}, {"seq", seq}, {"index", seq}, {"path", path},
                        {"canonical_frames", frames}}
             .dump() +
         "\n";
}

TEST(TasmerigConcat, JoinsTheListedSegmentsSampleForSampleAndSkipsAMissingOne) {
  testsupport::TempDir dir;
  const Samples a = tone(24000, 440, 3000), b = tone(12000, 660, 2000);
  testsupport::writeFile(dir.path() / "mic" / "000001.caf", caf_file(a));
  testsupport::writeFile(dir.path() / "mic" / "000002.caf", caf_file(b));
  testsupport::writeFile(dir.path() / "manifest.jsonl", segmentLine(1, "mic/000001.caf", 24000) +
                                                            segmentLine(2, "mic/000003.caf", 100) +
                                                            segmentLine(3, "mic/000002.caf", 12000));
  const auto out = dir.path() / "mic.mov";
  const auto r = runTasmerig({"--mode", "concat", "--manifest", (dir.path() / "manifest.jsonl").string(), "--source",
                              "mic", "--out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(probe(out), "pcm_s16le|24000|1\n");
  EXPECT_EQ(decode(out, "s16le"), le16(a) + le16(b));

  const auto events = r.errEvents();
  const auto progress = testsupport::eventsOfType(events, "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["done_frames"], progress.back()["total_frames"]);
  EXPECT_EQ(progress.back()["total_frames"], 36000);
  bool warned = false;
  for (const auto& w : testsupport::eventsOfType(events, "warning")) warned |= w["code"] == "seg_asset_load_failed";
  EXPECT_TRUE(warned) << r.err;
}

TEST(TasmerigConcat, UnplayableAndAudiolessSegmentsAreWarnedAndLeftOut) {
  testsupport::TempDir dir;
  const Samples a = tone(4800, 440, 3000);
  // Header rates of 0 and NaN: streams without timing, first and last.
  testsupport::writeFile(dir.path() / "mic" / "000001.caf", caf_file(tone(47864, 440, 3000), 0.0));
  testsupport::writeFile(dir.path() / "mic" / "000002.caf", caf_file(a));
  testsupport::writeFile(dir.path() / "mic" / "000003.caf", std::string(4096, 'x'));
  // A recognised container that holds only a picture.
  testsupport::RunOptions video;
  video.args = {"-v",
                "error",
                "-f",
                "lavfi",
                "-i",
                "color=c=black:s=16x16:d=0.2",
                "-c:v",
                "mpeg4",
                "-f",
                "mov",
                (dir.path() / "mic" / "000004.caf").string()};
  ASSERT_EQ(testsupport::runProgram("/usr/bin/ffmpeg", video).exitCode, 0);
  testsupport::writeFile(dir.path() / "mic" / "000005.caf", caf_file(tone(2400, 440, 3000), std::nan("")));
  testsupport::writeFile(dir.path() / "manifest.jsonl",
                         segmentLine(1, "mic/000001.caf", 47864) + segmentLine(2, "mic/000002.caf", 4800) +
                             segmentLine(3, "mic/000003.caf", 100) + segmentLine(4, "mic/000004.caf", 100) +
                             segmentLine(5, "mic/000005.caf", 2400));
  const auto out = dir.path() / "mic.mov";
  const auto r = runTasmerig({"--mode", "concat", "--manifest", (dir.path() / "manifest.jsonl").string(), "--source",
                              "mic", "--out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(decode(out, "s16le"), le16(a));
  std::vector<std::string> warnings;
  for (const auto& w : testsupport::eventsOfType(r.errEvents(), "warning"))
    warnings.push_back(w["code"].get<std::string>() + " " + w["ctx"].get<std::string>());
  EXPECT_EQ(warnings,
            (std::vector<std::string>{"seg_unplayable Skipping unplayable segment: mic/000001.caf",
                                      "seg_unplayable Skipping unplayable segment: mic/000003.caf",
                                      "seg_no_audio_track Skipping segment with no audio track: mic/000004.caf",
                                      "seg_unplayable Skipping unplayable segment: mic/000005.caf"}))
      << r.err;
  // The totals count only the segment that was written.
  const auto progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["done_frames"], 4800);
  EXPECT_EQ(progress.back()["total_frames"], 4800);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kPreloadSkipReason = "a preload library cannot come before the sanitizers' runtime";
#else
constexpr const char* kPreloadSkipReason = nullptr;
#endif

TEST(TasmerigConcat, WaitsForAFinishingStepOfAnyLength) {
  if (kPreloadSkipReason != nullptr) GTEST_SKIP() << kPreloadSkipReason;
  testsupport::TempDir dir;
  const Samples a = tone(24000, 440, 3000);
  testsupport::writeFile(dir.path() / "mic" / "000001.caf", caf_file(a));
  testsupport::writeFile(dir.path() / "manifest.jsonl", segmentLine(1, "mic/000001.caf", 24000));
  fs::create_directory(dir.path() / "out");
  const auto out = dir.path() / "out" / "mic.mov";
  const auto mark = dir.path() / "slow-close-happened";
  // Closing the finished output takes 12 s, longer than any bound a
  // finishing wait might have.
  testsupport::RunOptions slowDisk;
  slowDisk.env = {{"LD_PRELOAD", VR_SLOW_CLOSE_PATH},
                  {testsupport::kSlowCloseDirEnvVar, fs::canonical(dir.path() / "out").string()},
                  {testsupport::kSlowCloseSecondsEnvVar, "12"},
                  {testsupport::kSlowCloseMarkEnvVar, mark.string()}};
  const auto r = runTasmerig({"--mode", "concat", "--manifest", (dir.path() / "manifest.jsonl").string(), "--source",
                              "mic", "--out", out.string()},
                             slowDisk);
  ASSERT_TRUE(fs::exists(mark)) << "the finishing step was not slowed";
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(testsupport::eventsOfType(r.errEvents(), "fatal_error").empty()) << r.err;
  EXPECT_EQ(decode(out, "s16le"), le16(a));
  const auto progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["done_frames"], 24000);
  EXPECT_EQ(progress.back()["total_frames"], 24000);
}

TEST(TasmerigConcat, FatalReasonsEndWithExitOneAndDeleteNoInput) {
  testsupport::TempDir dir;
  const auto manifest = dir.path() / "manifest.jsonl";
  auto concat = [&](const fs::path& out) {
    return runTasmerig({"--mode", "concat", "--manifest", manifest.string(), "--source", "mic", "--out", out.string()});
  };
  auto reason = [](const testsupport::RunResult& r) {
    const auto f = testsupport::eventsOfType(r.errEvents(), "fatal_error");
    return f.empty() ? std::string() : f.back()["reason"].get<std::string>();
  };
  auto r = concat(dir.path() / "o.mov");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(reason(r), "manifest_read_failed");

  // Only a regular file is a manifest: a directory reads as nothing, and a
  // FIFO without a writer would block the run for good.
  fs::create_directory(dir.path() / "manifest.d");
  ASSERT_EQ(::mkfifo((dir.path() / "manifest.fifo").c_str(), 0600), 0);
  for (const fs::path& notAFile : {dir.path() / "manifest.d", dir.path() / "manifest.fifo"}) {
    testsupport::RunOptions bounded;
    bounded.timeoutSeconds = 20;
    r = runTasmerig({"--mode", "concat", "--manifest", notAFile.string(), "--source", "mic", "--out",
                     (dir.path() / "o.mov").string()},
                    bounded);
    ASSERT_FALSE(r.timedOut) << notAFile;
    EXPECT_EQ(r.exitCode, 1) << notAFile;
    const auto fatal = testsupport::eventsOfType(r.errEvents(), "fatal_error");
    ASSERT_EQ(fatal.size(), 1u) << r.err;
    EXPECT_EQ(fatal[0]["reason"], "manifest_read_failed");
    EXPECT_EQ(fatal[0]["ctx"], "Cannot read manifest at " + notAFile.string());
  }

  testsupport::writeFile(manifest, "{\"type\":\"heartbeat\"}\n");
  r = concat(dir.path() / "o.mov");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(reason(r), "no_segments");

  testsupport::writeFile(dir.path() / "mic" / "000001.caf", caf_file(tone(2400, 440, 3000)));
  testsupport::writeFile(manifest, segmentLine(1, "mic/000001.caf", 2400));
  const std::string before = testsupport::readFile(dir.path() / "mic" / "000001.caf");
  r = concat(dir.path() / "mic" / "000001.caf");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(reason(r), "writer_failed");
  EXPECT_NE(r.err.find("Output path is an input"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::readFile(dir.path() / "mic" / "000001.caf"), before);
}

TEST(TasmerigMix, SumsTheScaledInputsOverTheLongerOne) {
  testsupport::TempDir dir;
  const Samples mic = tone(4800, 440, 8000), system = tone(2400, 660, 4000);
  testsupport::writeFile(dir.path() / "mic.caf", caf_file(mic, 48000));
  testsupport::writeFile(dir.path() / "system.caf", caf_file(system, 48000));
  const auto out = dir.path() / "mixed.mov";
  const auto r = runTasmerig({"--mode", "mix", "--mic", (dir.path() / "mic.caf").string(), "--system",
                              (dir.path() / "system.caf").string(), "--mic-gain", "0.5", "--system-gain", "2.0",
                              "--out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(probe(out), "pcm_f32le|48000|2\n");
  const std::string raw = decode(out, "f32le");
  ASSERT_EQ(raw.size(), mic.size() * 2 * sizeof(float));
  std::vector<float> got(raw.size() / sizeof(float));
  std::memcpy(got.data(), raw.data(), raw.size());
  for (std::size_t i = 0; i < mic.size(); ++i) {
    const double expected = 0.5 * mic[i] / 32768.0 + (i < system.size() ? 2.0 * system[i] / 32768.0 : 0.0);
    ASSERT_NEAR(got[2 * i], expected, 1e-4) << "frame " << i;
    ASSERT_NEAR(got[2 * i + 1], expected, 1e-4) << "frame " << i;
  }
}

TEST(TasmerigMix, OneInputIsCopiedUnchangedWhateverTheGainAndSettings) {
  testsupport::TempDir dir;
  const Samples system = tone(2400, 660, 4000);
  testsupport::writeFile(dir.path() / "system.caf", caf_file(system, 24000));
  const auto out = dir.path() / "single.mov";
  const auto r = runTasmerig({"--mode", "mix", "--system", (dir.path() / "system.caf").string(), "--system-gain", "2.0",
                              "--out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(probe(out), "pcm_s16le|24000|1\n");
  EXPECT_EQ(decode(out, "s16le"), le16(system));
  // Progress counts the input's own frames against a total at the output rate.
  const auto progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["done_frames"], 2400);
  EXPECT_EQ(progress.back()["total_frames"], 4800);
}

TEST(TasmerigMix, AMissingMicIsReportedBeforeAMissingSystem) {
  testsupport::TempDir dir;
  const auto r = runTasmerig({"--mode", "mix", "--mic", (dir.path() / "nomic.caf").string(), "--system",
                              (dir.path() / "nosys.caf").string(), "--out", (dir.path() / "o.mov").string()});
  EXPECT_EQ(r.exitCode, 1);
  const auto f = testsupport::eventsOfType(r.errEvents(), "fatal_error");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0]["reason"], "input_not_found");
  EXPECT_NE(f[0]["ctx"].get<std::string>().find("Mic input not found"), std::string::npos);
}

}  // namespace
