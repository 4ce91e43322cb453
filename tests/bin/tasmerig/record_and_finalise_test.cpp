// A host's whole round: record with tasmerig, then finalise with kelvaro.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "segment_format/segment_format.h"
#include "tests/support/capture_session.h"
#include "tests/support/host_session.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;
using testsupport::keyValues;
using testsupport::runKelvaro;
namespace fs = std::filesystem;

constexpr int64_t kCafHeaderBytes = segment_format::kHeaderBytes;

TEST(RecordAndFinalise, AStoppedRecordingBecomesAnUploadOfItsLength) {
  CaptureSession s;
  s.waitFor("capture_started");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0);

  // The host keeps the segment records in the manifest and knows the length.
  testsupport::writeManifest(s.sessionDir(), s.events());
  int64_t frames = 0;
  for (const auto& closed : s.eventsOfType("segment_closed")) frames += closed["frames"].get<int64_t>();
  const int64_t durationMs = testsupport::recordedMs(s.events(), "mic");
  ASSERT_GT(frames, 24000 * 2);
  // "session_end" counts (in nanoseconds) from where the audio starts, not
  // from the helper's start-up: the length a host hands on to kelvaro.
  const auto ended = s.eventsOfType("session_end");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_NEAR(static_cast<double>(ended[0]["duration_ms"].get<int64_t>()) / 1e6, static_cast<double>(durationMs), 30.0);

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
