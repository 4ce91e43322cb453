// The real-time rule, checked on the real program: a recording in which the
// audio threads allocate nothing. The preload library counts every heap
// allocation of the recording tasmerig per thread name.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "tests/bin/tasmerig/capture_session.h"
#include "tests/support/alloc_counts.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
using tasmerigtest::CaptureSession;

// The threads on which the rule holds, by the names the simulated platform
// gives them: "sim-audio-io" runs the engine's input tap (the render
// thread) and, in a recording with system audio, the IO procedure as well.
constexpr std::array<const char*, 1> kRealtimeThreadNames{"sim-audio-io"};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kSkipReason =
    "the sanitizers replace the allocation functions themselves; the release suite runs this test";
#else
constexpr const char* kSkipReason = nullptr;
#endif

TEST(RealtimeRule, AMicRecordingAllocatesNothingOnTheAudioThreads) {
  if (kSkipReason != nullptr) GTEST_SKIP() << kSkipReason;
  testsupport::TempDir tmp;
  const auto countFile = tmp / "alloc-counts";
  CaptureSession s({}, nullptr,
                   {{"LD_PRELOAD", VR_ALLOC_COUNTER_PATH}, {testsupport::kAllocCountFileEnvVar, countFile.string()}});
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  // The render thread did deliver audio in this run.
  std::int64_t frames = 0;
  for (const json& e : s.eventsOfType("segment_closed")) frames += e.value("frames", std::int64_t{0});
  EXPECT_GT(frames, 0) << s.joined();

  const auto counts = testsupport::readAllocCounts(countFile);
  ASSERT_TRUE(counts.has_value()) << "the preload library wrote no counts to " << countFile;
  for (const char* name : kRealtimeThreadNames) {
    const auto it = counts->find(name);
    ASSERT_NE(it, counts->end()) << "no thread named \"" << name << "\" ran";
    EXPECT_EQ(it->second, 0U) << "heap allocations on \"" << name << "\"";
  }
}

}  // namespace
