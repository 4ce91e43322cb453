// The helper started the way a careless or crashing host may start it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(TasmerigHostileInput, ClosedStandardErrorNeverLandsInTheAudio) {
  testsupport::TempDir dir;
  const auto session = dir.path() / "session";
  testsupport::RunOptions o;
  o.args = {"-c",      "exec \"$0\" \"$@\" 2>&-", VR_TASMERIG_PATH, "--mode",
            "capture", "--session-dir",           session.string(), "--include-mic",
            "true"};
  o.unsetEnv.push_back("VORLANTHEA_ROUTE_TRACE");
  o.stdinData = "{\"type\":\"stop\",\"request_id\":\"s1\"}\n";
  const auto r = testsupport::runProgram("/bin/sh", o);
  ASSERT_EQ(r.exitCode, 0);
  const auto segment = session / "mic" / "000001.caf";
  ASSERT_TRUE(fs::exists(segment));
  const std::string bytes = testsupport::readFile(segment);
  EXPECT_EQ(bytes.substr(0, 4), "caff");
  EXPECT_EQ(bytes.find("\"type\""), std::string::npos);
}

}  // namespace

namespace {

// An MP3 file without its Xing header: the demuxer warns in the media
// libraries' own log that it estimates the duration from the bit rate.
bool writeMp3WithoutXingHeader(const fs::path& path) {
  const std::string cmd =
      "ffmpeg -v quiet -y -f lavfi -i sine=f=440:d=2 -ar 48000 -ac 1 -write_xing 0 '" + path.string() + "'";
  return std::system(cmd.c_str()) == 0;
}

TEST(TasmerigHostileInput, MediaLibraryLogLinesNeverReachTheEventStream) {
  testsupport::TempDir dir;
  const auto wav = dir.path() / "tone.mp3";
  ASSERT_TRUE(writeMp3WithoutXingHeader(wav));
  const nlohmann::json world = {
      {"audio",
       {{"devices",
         {{{"uid", "Mic"}, {"input_channels", 1}, {"signal", {{"type", "file"}, {"path", wav.string()}}}},
          {{"uid", "Speakers"}, {"output_channels", 2}}}},
        {"defaults", {{"input", "Mic"}, {"output", "Speakers"}, {"system_output", "Speakers"}}}}}};
  testsupport::writeFile(dir.path() / "world.json", world.dump());
  testsupport::RunOptions o;
  o.args = {"--mode", "capture", "--session-dir", (dir.path() / "session").string(), "--include-mic", "true"};
  o.env["VORLANTHEA_SIM_SCENARIO"] = (dir.path() / "world.json").string();
  o.unsetEnv.push_back("VORLANTHEA_ROUTE_TRACE");
  o.stdinData = "{\"type\":\"stop\",\"request_id\":\"s1\"}\n";
  const auto r = testsupport::runProgram(VR_TASMERIG_PATH, o);
  ASSERT_FALSE(r.timedOut);
  for (const auto& line : r.errLines()) {
    EXPECT_TRUE(nlohmann::json::accept(line)) << "not an event line: " << line;
  }
  EXPECT_FALSE(r.errLines().empty());
}

}  // namespace
