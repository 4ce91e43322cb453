// A host's whole round: record with tasmerig, then finalise with kelvaro.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/bin/tasmerig/capture_session.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
using tasmerigtest::CaptureSession;
namespace fs = std::filesystem;

constexpr int64_t kCafHeaderBytes = 68;

// kelvaro's key=value lines.
std::map<std::string, std::string> keyValues(const std::string& err) {
  std::map<std::string, std::string> out;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos && line.find(' ') > eq) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

testsupport::RunResult runKelvaro(const fs::path& session, std::optional<int64_t> expectedMs = std::nullopt) {
  testsupport::RunOptions o;
  o.args = {session.string()};
  if (expectedMs) o.args.push_back(std::to_string(*expectedMs));
  o.timeoutSeconds = 120;
  return testsupport::runProgram(VR_KELVARO_PATH, o);
}

TEST(RecordAndFinalise, AStoppedRecordingBecomesAnUploadOfItsLength) {
  CaptureSession s;
  s.waitFor("capture_started");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);

  // The host keeps the segment records in the manifest and knows the length.
  std::ofstream manifest(s.sessionDir() / "manifest.jsonl");
  int64_t frames = 0, durationMs = 0;
  for (const auto& closed : s.eventsOfType("segment_closed")) {
    manifest << closed.dump() << "\n";
    frames += closed["frames"].get<int64_t>();
    durationMs += closed["duration_ms"].get<int64_t>();
  }
  manifest.close();
  ASSERT_GT(frames, 24000 * 2);

  auto r = runKelvaro(s.sessionDir(), durationMs);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  auto kv = keyValues(r.err);
  EXPECT_EQ(kv["recovered_m4a"], (s.sessionDir() / "final" / "upload.m4a").string());
  const int64_t encodedMs = std::stoll(kv.at("duration_ms"));
  EXPECT_NEAR(static_cast<double>(encodedMs), frames / 24.0, 500.0);
  EXPECT_TRUE(fs::exists(s.sessionDir() / "final" / "upload.m4a"));
  EXPECT_TRUE(fs::exists(s.sessionDir() / "final" / "export-report.json"));
}

TEST(RecordAndFinalise, AKilledRecordingKeepsEveryFrameThatReachedTheFile) {
  CaptureSession s;
  s.waitFor("capture_started");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  s.child().sendSignal(SIGKILL);
  auto killed = s.child().wait(std::chrono::seconds(10), false);
  ASSERT_EQ(killed.termSignal, SIGKILL);

  const fs::path segment = s.sessionDir() / "mic" / "000001.caf";
  const std::string data = testsupport::readFile(segment);
  ASSERT_GT(static_cast<int64_t>(data.size()), kCafHeaderBytes);
  // Whole frames only, even when killed mid-write.
  ASSERT_EQ((data.size() - kCafHeaderBytes) % 2, 0u);
  const int64_t frames = static_cast<int64_t>(data.size() - kCafHeaderBytes) / 2;
  ASSERT_GT(frames, 24000);

  // A crashed host has no manifest and no length: kelvaro recovers from the files.
  auto r = runKelvaro(s.sessionDir());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto kv = keyValues(r.err);
  EXPECT_NEAR(static_cast<double>(std::stoll(kv.at("duration_ms"))), frames / 24.0, 500.0);

  // The rebuilt mic timeline holds the segment's samples unchanged.
  const std::string timeline = testsupport::readFile(s.sessionDir() / "mic_timeline.caf");
  ASSERT_GE(timeline.size(), data.size());
  EXPECT_EQ(timeline.compare(kCafHeaderBytes, data.size() - kCafHeaderBytes, data, kCafHeaderBytes,
                             data.size() - kCafHeaderBytes),
            0);
}

}  // namespace
