// The helper started the way a careless or crashing host may start it.
#include <gtest/gtest.h>

#include <filesystem>
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
