// The encoder and inspector child processes, through stand-in tools.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using Lines = std::vector<std::string>;
using testsupport::readFile;
using testsupport::RunOptions;

const std::string kSystemPath = "/usr/bin:/bin";

class KelvaroTools : public ::testing::Test {
 protected:
  KelvaroTools() {
    s_.segment("mic", 1, tone(72000, 440, 3000));
    fs::create_directories(tools());
    fs::create_directories(bin());
  }
  // Where VORLANTHEA_FFMPEG points, and a directory for the search path.
  fs::path tools() const { return s_.tmp() / "tools"; }
  fs::path bin() const { return s_.tmp() / "bin"; }

  fs::path tool(const std::string& name, const std::string& body) { return write_script(tools() / name, body); }
  void real_ffprobe_beside() { fs::create_symlink("/usr/bin/ffprobe", tools() / "ffprobe"); }

  RunOptions with_ffmpeg(const fs::path& ffmpeg, const std::string& path = kSystemPath) const {
    RunOptions o;
    o.env["VORLANTHEA_FFMPEG"] = ffmpeg.string();
    o.env["PATH"] = path;
    return o;
  }
  testsupport::RunResult run(const RunOptions& options) { return run_kelvaro({s_.dir().string(), "3000"}, options); }

  Session s_;
};

TEST_F(KelvaroTools, EncoderFailureNamesBothToolsAndRemovesThePartialFile) {
  const auto ffmpeg =
      tool("ffmpeg", "for a; do out=\"$a\"; done; echo partial > \"$out\"; echo ' boom: bad input ' >&2; exit 3");
  real_ffprobe_beside();
  const auto r = run(with_ffmpeg(ffmpeg));
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines().size(), 2U);
  EXPECT_EQ(r.errLines()[1],
            "finalize failed: IO error: afconvert failed: No such file or directory (os error 2); ffmpeg fallback "
            "failed: ffmpeg exited with exit status: 3; stderr: boom: bad input");
  EXPECT_FALSE(fs::exists(s_.upload()));
  EXPECT_TRUE(fs::exists(s_.final_dir() / "mixed.caf"));
  EXPECT_EQ(s_.journal_types(), (Lines{"export_started"}));
}

TEST_F(KelvaroTools, ChattyEncoderNeitherBlocksNorFloodsTheMessage) {
  const auto chatty = tool("ffmpeg", "head -c 1048576 /dev/zero | tr '\\0' x >&2; exec /usr/bin/ffmpeg \"$@\"");
  real_ffprobe_beside();
  const auto r = run(with_ffmpeg(chatty));
  ASSERT_EQ(r.exitCode, 0) << r.err.substr(0, 500);

  fs::remove_all(s_.final_dir());
  const auto failing = tool("ffmpeg", "head -c 1048576 /dev/zero | tr '\\0' x >&2; echo TAIL >&2; exit 1");
  const auto f = run(with_ffmpeg(failing));
  EXPECT_EQ(f.exitCode, 1);
  ASSERT_EQ(f.errLines().size(), 2U);
  const std::string line = f.errLines()[1];
  EXPECT_TRUE(line.ends_with("xxxxTAIL")) << line.substr(0, 200);
  EXPECT_LT(line.size(), 66000U);
}

TEST_F(KelvaroTools, AfconvertRunsFirstWithAbsolutePaths) {
  write_script(bin() / "afconvert", "printf '%s|' \"$@\" > '" + (s_.tmp() / "afconvert.args").string() +
                                        "'; exec /usr/bin/ffmpeg -loglevel error -y -i \"$9\" -c:a aac \"${10}\"");
  const auto ffmpeg = tool("ffmpeg", "touch '" + (s_.tmp() / "ffmpeg.ran").string() + "'; exit 1");
  real_ffprobe_beside();
  testsupport::RunOptions options = with_ffmpeg(ffmpeg, bin().string() + ":" + kSystemPath);
  options.cwd = s_.dir().parent_path().string();
  const auto r = run_kelvaro({s_.dir().filename().string(), "3000"}, options);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(s_.tmp() / "afconvert.args"), "-d|aac|-f|m4af|-b|48000|-s|3|" +
                                                       (s_.dir() / "final" / "mixed.caf").string() + "|" +
                                                       (s_.dir() / "final" / "upload.m4a").string() + "|");
  EXPECT_FALSE(fs::exists(s_.tmp() / "ffmpeg.ran"));
}

TEST_F(KelvaroTools, FailedAfconvertFallsBackToFfmpeg) {
  write_script(bin() / "afconvert",
               "for a; do out=\"$a\"; done; echo partial > \"$out\"; echo 'no aac here' >&2; exit 1");
  const auto ffmpeg = tool(
      "ffmpeg", "printf '%s|' \"$@\" > '" + (s_.tmp() / "ffmpeg.args").string() + "'; exec /usr/bin/ffmpeg \"$@\"");
  real_ffprobe_beside();
  const auto r = run(with_ffmpeg(ffmpeg, bin().string() + ":" + kSystemPath));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(s_.tmp() / "ffmpeg.args"),
            "-hide_banner|-loglevel|error|-y|-i|" + (s_.dir() / "final" / "mixed.caf").string() +
                "|-vn|-c:a|aac|-b:a|48k|" + (s_.dir() / "final" / "upload.m4a").string() + "|");

  fs::remove_all(s_.final_dir());
  const auto failing = tool("ffmpeg", "exit 9");
  const auto f = run(with_ffmpeg(failing, bin().string() + ":" + kSystemPath));
  ASSERT_EQ(f.errLines().size(), 2U);
  EXPECT_EQ(f.errLines()[1],
            "finalize failed: IO error: afconvert failed: afconvert exited with exit status: 1; stderr: no aac here; "
            "ffmpeg fallback failed: ffmpeg exited with exit status: 9; stderr: ");
  EXPECT_FALSE(fs::exists(s_.upload()));
}

TEST_F(KelvaroTools, FfmpegFromTheSearchPathWhenTheVariableNamesNothing) {
  write_script(bin() / "ffmpeg",
               "touch '" + (s_.tmp() / "path-ffmpeg.ran").string() + "'; exec /usr/bin/ffmpeg \"$@\"");
  const auto r = run(with_ffmpeg(tools() / "no-such-ffmpeg", bin().string() + ":" + kSystemPath));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(s_.tmp() / "path-ffmpeg.ran"));

  fs::remove(s_.tmp() / "path-ffmpeg.ran");
  fs::remove_all(s_.final_dir());
  RunOptions unset;
  unset.env["PATH"] = bin().string() + ":" + kSystemPath;
  ASSERT_EQ(run_kelvaro({s_.dir().string(), "3000"}, unset).exitCode, 0);
  EXPECT_TRUE(fs::exists(s_.tmp() / "path-ffmpeg.ran"));
}

TEST_F(KelvaroTools, ValidationFailuresNameTheInspector) {
  const auto ffmpeg = tool("ffmpeg", "exec /usr/bin/ffmpeg \"$@\"");
  struct Case {
    std::string probe;
    std::string line;
  };
  const std::vector<Case> cases{
      {"printf 'nb_read_packets=0\\nduration=3.000000\\n'", "finalize failed: validation failed: no audio packets"},
      {"exit 1", "finalize failed: validation failed: ffprobe failed to open file"},
      {"printf 'nb_read_packets=50\\nduration=9.000000\\n'",
       "finalize failed: validation failed: duration 9000ms vs expected 3000ms (delta 6000ms, tolerance 500ms)"},
  };
  for (const auto& c : cases) {
    fs::remove_all(s_.final_dir());
    fs::remove(s_.dir() / "journal.jsonl");
    tool("ffprobe", c.probe);
    const auto r = run(with_ffmpeg(ffmpeg));
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.errLines().size(), 2U);
    EXPECT_EQ(r.errLines()[1], c.line);
    EXPECT_EQ(s_.journal_types(), (Lines{"export_started", "export_completed"}));
    EXPECT_FALSE(fs::exists(s_.final_dir() / "final-audio.sha256"));
  }
}

TEST_F(KelvaroTools, MissingInspectorIsAnIoError) {
  // No ffprobe beside the ffmpeg: the one on the search path validates.
  const auto ffmpeg = tool("ffmpeg", "exec /usr/bin/ffmpeg \"$@\"");
  const auto found = run(with_ffmpeg(ffmpeg));
  ASSERT_EQ(found.exitCode, 0) << found.err;
  // None anywhere: the failure names the tool.
  fs::remove_all(s_.final_dir());
  const auto r = run(with_ffmpeg(ffmpeg, bin().string()));
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.errLines().size(), 2U);
  EXPECT_EQ(r.errLines()[1],
            "finalize failed: IO error: ffprobe could not be run (ffprobe): No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kelvarotest
