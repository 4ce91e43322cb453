#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tasmerigtest::runTasmerig;

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  }
  return out;
}

std::set<std::string> entriesOf(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The suite runs in its own temporary directory (TMPDIR), in which a file
// and a directory of someone else's already lie; the run must leave exactly
// those behind.
TEST(SelfTestMode, AllChecksPassAndTheTemporaryDirectoryIsLeftAsFound) {
  testsupport::TempDir tmp;
  testsupport::writeFile(tmp / "keep-me", "untouched");
  fs::create_directory(tmp / "mic");
  testsupport::writeFile(tmp / "mic" / "000001.caf", "not a segment");
  testsupport::RunOptions options;
  options.env["TMPDIR"] = tmp.path().string();

  const auto r = runTasmerig({"--mode", "self-test"}, options);

  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const auto lines = r.errLines();
  const auto passed = linesStartingWith(lines, "PASS: ");
  EXPECT_EQ(passed.size(), 214u) << r.err;
  EXPECT_TRUE(linesStartingWith(lines, "FAIL: ").empty()) << r.err;
  EXPECT_NE(r.err.find("\n\nself-test: 214/214 passed, 0 failed\n"), std::string::npos) << r.err;

  // Beside the check lines and the summary, only event lines the code under
  // test sent through the event bus.
  for (const auto& l : lines) {
    if (l.empty() || l.rfind("PASS: ", 0) == 0 || l.rfind("self-test: ", 0) == 0) continue;
    const auto event = nlohmann::json::parse(l, nullptr, false);
    EXPECT_TRUE(event.is_object() && event.contains("type")) << l;
  }

  ASSERT_FALSE(passed.empty());
  EXPECT_EQ(passed.front(), "source_health_peak_max");
  EXPECT_EQ(passed.back(), "converter_fix_correct_frames");
  for (const char* name :
       {"mic_tap_request_100ms_44100", "mic_tap_scratch_exact_400ms_plus_quantum_192000", "saturate(-1.0) == -32768",
        "saturate(nan) == 0", "saturate(-inf) == -32768", "ring_no_overflow_48k_250ms",
        "missing_request_id_detected_shutdown", "command_bypasses_main_queue_heartbeat",
        "rate_resolve_bt_hfp_nil_rates_mic_8k_same_device", "capture_mic_gain_explicit_override_preserved"}) {
    EXPECT_EQ(std::count(passed.begin(), passed.end(), name), 1) << name;
  }
  // Groups 20 and 27 share names; each check has its own line.
  EXPECT_EQ(std::count(passed.begin(), passed.end(), "pause_fence_has_request_id"), 2);
  EXPECT_EQ(std::count(passed.begin(), passed.end(), "resume_fence_has_request_id"), 2);

  EXPECT_EQ(entriesOf(tmp.path()), (std::set<std::string>{"keep-me", "mic"}));
  EXPECT_EQ(entriesOf(tmp / "mic"), (std::set<std::string>{"000001.caf"}));
  EXPECT_EQ(testsupport::readFile(tmp / "keep-me"), "untouched");
}

// Without a usable temporary directory the checks that need one fail,
// nothing is written elsewhere, and the status says so.
TEST(SelfTestMode, AMissingTemporaryDirectoryFailsTheChecksThatNeedOne) {
  testsupport::TempDir tmp;
  testsupport::RunOptions options;
  options.env["TMPDIR"] = (tmp / "does-not-exist").string();
  options.cwd = tmp.path().string();

  const auto r = runTasmerig({"--mode", "self-test"}, options);

  EXPECT_EQ(r.exitCode, 1) << r.err;
  const auto lines = r.errLines();
  const auto failed = linesStartingWith(lines, "FAIL: ");
  EXPECT_NE(std::find(failed.begin(), failed.end(),
                      "segment_path_canonical \u2014 no private scratch directory could be made"),
            failed.end())
      << r.err;
  const auto passed = linesStartingWith(lines, "PASS: ");
  EXPECT_EQ(passed.size() + failed.size(), 214u);
  EXPECT_NE(r.err.find("\nself-test: " + std::to_string(passed.size()) + "/214 passed, " +
                       std::to_string(failed.size()) + " failed\n"),
            std::string::npos);
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
