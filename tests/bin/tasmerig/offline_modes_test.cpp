// concat and mix through the built helper, their outputs read back with
// ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
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

// Minimised inputs a fuzzer found against the media layer.
fs::path hostileMedia(const std::string& name) { return fs::path(VR_TEST_SOURCE_DIR) / "fuzz/corpus/media" / name; }

std::vector<std::string> warningsOf(const testsupport::RunResult& r) {
  std::vector<std::string> out;
  for (const auto& w : testsupport::eventsOfType(r.errEvents(), "warning"))
    out.push_back(w["code"].get<std::string>() + " " + w["ctx"].get<std::string>());
  return out;
}

TEST(TasmerigConcat, AFileThatCannotBePlacedIsWarnedAndTheLaterSegmentsKept) {
  testsupport::TempDir dir;
  // Two short AAC segments around one whose blocks claim durations near 2^62 ms.
  testsupport::RunOptions encode;
  encode.args = {"-v",
                 "error",
                 "-f",
                 "lavfi",
                 "-i",
                 "sine=frequency=440:sample_rate=24000:duration=1",
                 "-ac",
                 "1",
                 "-c:a",
                 "aac",
                 "-f",
                 "matroska",
                 (dir.path() / "aac.mka").string()};
  ASSERT_EQ(testsupport::runProgram("/usr/bin/ffmpeg", encode).exitCode, 0);
  fs::create_directories(dir.path() / "mic");
  fs::copy_file(dir.path() / "aac.mka", dir.path() / "mic" / "000001.caf");
  fs::copy_file(hostileMedia("passthrough-position-overflow.mka"), dir.path() / "mic" / "000002.caf");
  fs::copy_file(dir.path() / "aac.mka", dir.path() / "mic" / "000003.caf");
  testsupport::writeFile(dir.path() / "manifest.jsonl", segmentLine(1, "mic/000001.caf", 24000) +
                                                            segmentLine(2, "mic/000002.caf", 24000) +
                                                            segmentLine(3, "mic/000003.caf", 24000));
  const auto out = dir.path() / "mic.mov";
  const auto r = runTasmerig({"--mode", "concat", "--manifest", (dir.path() / "manifest.jsonl").string(), "--source",
                              "mic", "--out", out.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(warningsOf(r), std::vector<std::string>{"seg_insert_failed Failed to insert segment mic/000002.caf: "
                                                    "time range too long to place"});
  const auto progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["total_frames"], 48000);
  // Both placed segments are in the output, the third after the first.
  EXPECT_GE(decode(out, "s16le").size(), 2u * 2 * 24000) << r.err;
}

TEST(TasmerigOffline, HostileMediaFilesAreLeftOutOrRefused) {
  struct Case {
    const char* file;
    const char* concatWarning;  // for each of three segments of the file
    int singleExit;             // mix of the file alone
    const char* singleReason;
    const char* pairReason;  // mix of the file with itself
  };
  const Case cases[] = {
      {"channels-overflow.caf", "seg_unplayable Skipping unplayable segment: ", 1, "reader_failed", "reader_failed"},
      {"probe-duration-overflow.mka", "seg_insert_failed Failed to insert segment %: time range too long to place", 1,
       "reader_failed", "composition_failed"},
      {"passthrough-position-overflow.mka",
       "seg_insert_failed Failed to insert segment %: time range too long to place", 1, "reader_failed",
       "composition_failed"},
      {"decoder-open-fails.wav", "seg_unplayable Skipping unplayable segment: ", 0, "", "mix_pump_failed"},
  };
  auto fatalReason = [](const testsupport::RunResult& r) {
    const auto f = testsupport::eventsOfType(r.errEvents(), "fatal_error");
    return f.empty() ? std::string() : f.back()["reason"].get<std::string>();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    testsupport::TempDir dir;
    std::string manifest;
    std::vector<std::string> expected;
    for (int seq = 1; seq <= 3; ++seq) {
      const std::string path = "mic/00000" + std::to_string(seq) + ".caf";
      fs::create_directories(dir.path() / "mic");
      fs::copy_file(hostileMedia(c.file), dir.path() / path);
      manifest += segmentLine(seq, path, 24000);
      std::string warning = c.concatWarning;
      const size_t mark = warning.find('%');
      expected.push_back(mark == std::string::npos ? warning + path : warning.replace(mark, 1, path));
    }
    testsupport::writeFile(dir.path() / "manifest.jsonl", manifest);
    auto r = runTasmerig({"--mode", "concat", "--manifest", (dir.path() / "manifest.jsonl").string(), "--source", "mic",
                          "--out", (dir.path() / "o.mov").string()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(warningsOf(r), expected) << r.err;
    EXPECT_EQ(fatalReason(r), "no_segments") << r.err;

    const std::string input = hostileMedia(c.file).string();
    r = runTasmerig({"--mode", "mix", "--mic", input, "--out", (dir.path() / "single.mov").string()});
    EXPECT_EQ(r.exitCode, c.singleExit) << r.err;
    EXPECT_EQ(fatalReason(r), c.singleReason) << r.err;
    r = runTasmerig({"--mode", "mix", "--mic", input, "--system", input, "--out", (dir.path() / "pair.mov").string()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(fatalReason(r), c.pairReason) << r.err;
  }
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
                  {testsupport::kSlowCloseMsEnvVar, "12000"},
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

  // An output that cannot be put in place (a directory is in the way) fails
  // once it is written, and what was written goes with the run.
  fs::create_directories(dir.path() / "taken" / "keep");
  r = concat(dir.path() / "taken");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(reason(r), "writer_failed");
  EXPECT_TRUE(fs::exists(dir.path() / "taken" / "keep"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"manifest.d", "manifest.fifo", "manifest.jsonl", "mic", "taken"}))
      << r.err;
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

std::vector<float> floats(const std::string& raw) {
  std::vector<float> out(raw.size() / sizeof(float));
  std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
  return out;
}

TEST(TasmerigMix, ACompressedInputKeepsItsEncoderDelay) {
  testsupport::TempDir dir;
  // 2.000 s of AAC: the encoder's 1024 frames of priming lie before the
  // start of the file's edit list.
  const auto aac = dir.path() / "mic.m4a";
  testsupport::RunOptions encode;
  encode.args = {"-v",   "error", "-f",        "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2",
                 "-c:a", "aac",   aac.string()};
  ASSERT_EQ(testsupport::runProgram("/usr/bin/ffmpeg", encode).exitCode, 0);
  const std::vector<float> heard = floats(decode(aac, "f32le"));
  ASSERT_GE(heard.size(), 96000u);
  auto timing = [](const fs::path& file) {
    testsupport::RunOptions o;
    o.args = {"-v",         "error", "-show_entries", "stream=start_time,duration_ts", "-of", "compact=p=0:nk=1",
              file.string()};
    return testsupport::runProgram("/usr/bin/ffprobe", o).out;
  };
  ASSERT_EQ(timing(aac), "0.000000|96000\n");

  // Alone, it is copied with its timing: the output plays what the input plays.
  const auto single = dir.path() / "single.mov";
  auto r = runTasmerig({"--mode", "mix", "--mic", aac.string(), "--out", single.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(timing(single), timing(aac));
  EXPECT_EQ(floats(decode(single, "f32le")), heard);
  auto progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["done_frames"], 96000);
  EXPECT_EQ(progress.back()["total_frames"], 96000);

  // Mixed, it lasts its 2 s and starts on time.
  const Samples system = tone(96000, 660, 4000, 48000);
  testsupport::writeFile(dir.path() / "system.caf", caf_file(system, 48000));
  const auto mixed = dir.path() / "mixed.mov";
  r = runTasmerig({"--mode", "mix", "--mic", aac.string(), "--system", (dir.path() / "system.caf").string(), "--out",
                   mixed.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  progress = testsupport::eventsOfType(r.errEvents(), "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["total_frames"], 96000);
  const std::vector<float> got = floats(decode(mixed, "f32le"));
  ASSERT_EQ(got.size(), 2u * 96000);
  for (std::size_t i = 0; i < 96000; ++i) {
    const double expected = heard[i] + system[i] / 32768.0;
    ASSERT_NEAR(got[2 * i], expected, 1e-5) << "frame " << i;
    ASSERT_NEAR(got[2 * i + 1], expected, 1e-5) << "frame " << i;
  }
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

TEST(TasmerigOffline, ConcurrentRunsOnOneOutputEachLeaveAWholeFile) {
  if (kPreloadSkipReason != nullptr) GTEST_SKIP() << kPreloadSkipReason;
  testsupport::TempDir dir;
  const auto in = dir.path() / "in";
  testsupport::writeFile(in / "mic" / "000001.caf", caf_file(tone(120000, 440, 3000)));
  testsupport::writeFile(in / "manifest.jsonl", segmentLine(1, "mic/000001.caf", 120000));
  testsupport::writeFile(in / "mic.caf", caf_file(tone(96000, 440, 8000), 48000));
  testsupport::writeFile(in / "long-mic.caf", caf_file(tone(144000, 550, 8000), 48000));
  testsupport::writeFile(in / "system.caf", caf_file(tone(96000, 660, 8000), 48000));
  // Three kinds of run, each with an output of its own length.
  auto argsFor = [&](int kind, const fs::path& out) -> std::vector<std::string> {
    if (kind == 0)
      return {"--mode",   "concat", "--manifest", (in / "manifest.jsonl").string(),
              "--source", "mic",    "--out",      out.string()};
    return {"--mode",   "mix",
            "--mic",    (in / (kind == 1 ? "mic.caf" : "long-mic.caf")).string(),
            "--system", (in / "system.caf").string(),
            "--out",    out.string()};
  };
  // What one run of each kind leaves on its own.
  std::vector<std::string> whole;
  for (int kind = 0; kind < 3; ++kind) {
    const auto out = dir.path() / ("alone" + std::to_string(kind) + ".mov");
    ASSERT_EQ(runTasmerig(argsFor(kind, out)).exitCode, 0);
    whole.push_back(testsupport::readFile(out));
  }
  ASSERT_NE(whole[1].size(), whole[2].size());

  // Twelve runs on one output, their inputs on a slow disk where closing a
  // file takes 200 ms: a mix run spends 0.8 s reading its inputs after it
  // has cleared the output and before it writes, and a long mix pauses
  // 0.2 s partway through writing, when its shorter input ends. The short
  // mixes start 100 ms after the others, so they open the output during
  // that pause.
  fs::create_directory(dir.path() / "shared");
  const auto shared = dir.path() / "shared" / "out.mov";
  const auto mark = dir.path() / "slow-close-happened";
  std::vector<std::unique_ptr<testsupport::Child>> runs;
  auto start = [&](int kind) {
    testsupport::RunOptions o;
    o.args = argsFor(kind, shared);
    o.env = {{"LD_PRELOAD", VR_SLOW_CLOSE_PATH},
             {testsupport::kSlowCloseDirEnvVar, fs::canonical(in).string()},
             {testsupport::kSlowCloseMsEnvVar, "200"},
             {testsupport::kSlowCloseMarkEnvVar, mark.string()}};
    runs.push_back(std::make_unique<testsupport::Child>(VR_TASMERIG_PATH, o));
  };
  for (int i = 0; i < 4; ++i) {
    start(2);
    start(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < 4; ++i) start(1);
  for (auto& run : runs) {
    const auto r = run->wait(std::chrono::seconds(60));
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  ASSERT_TRUE(fs::exists(mark)) << "the inputs were not read slowly";
  const std::string left = testsupport::readFile(shared);
  EXPECT_TRUE(left == whole[0] || left == whole[1] || left == whole[2])
      << left.size() << " bytes that no single run wrote";
  // Nothing but the output itself remains.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path() / "shared")) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"out.mov"});
}

}  // namespace
