// The real-time rule, checked on the real program: a recording in which the
// audio threads allocate nothing. The preload library counts every heap
// allocation of the recording tasmerig per thread name.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/alloc_counts.h"
#include "tests/support/capture_session.h"
#include "tests/support/temp_dir.h"

namespace {

using json = nlohmann::json;
using testsupport::CaptureSession;

// The threads on which the rule holds, by the names the simulated platform
// gives them: "sim-input-tap" runs the engine's input tap (the render
// thread), "sim-io-proc" the system tap's IO procedure.
constexpr const char* kRenderThread = "sim-input-tap";
constexpr const char* kIOProcThread = "sim-io-proc";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kSkipReason =
    "the sanitizers replace the allocation functions themselves; the release suite runs this test";
#else
constexpr const char* kSkipReason = nullptr;
#endif

// Records five seconds with `args` and checks that each source delivered
// audio and each named thread ran without allocating.
void expectNoAllocations(const std::vector<std::string>& args, const std::vector<std::string>& sources,
                         const std::vector<const char*>& threads) {
  testsupport::TempDir tmp;
  const auto countFile = tmp / "alloc-counts";
  CaptureSession s(args, nullptr,
                   {{"LD_PRELOAD", VR_ALLOC_COUNTER_PATH}, {testsupport::kAllocCountFileEnvVar, countFile.string()}});
  s.waitFor("helper_ready");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  s.send({{"type", "stop"}, {"request_id", "s"}});
  ASSERT_EQ(s.finish().exitCode, 0) << s.joined();

  // The audio threads did deliver audio in this run.
  for (const auto& source : sources) {
    std::int64_t frames = 0;
    for (const json& e : s.eventsOfType("segment_closed")) {
      if (e.value("source", "") == source) frames += e.value("frames", std::int64_t{0});
    }
    EXPECT_GT(frames, 0) << source << "\n" << s.joined();
  }

  const auto counts = testsupport::readAllocCounts(countFile);
  ASSERT_TRUE(counts.has_value()) << "the preload library wrote no counts to " << countFile;
  for (const char* name : threads) {
    const auto it = counts->find(name);
    ASSERT_NE(it, counts->end()) << "no thread named \"" << name << "\" ran";
    EXPECT_EQ(it->second, 0U) << "heap allocations on \"" << name << "\"";
  }
}

TEST(RealtimeRule, AMicRecordingAllocatesNothingOnTheAudioThreads) {
  if (kSkipReason != nullptr) GTEST_SKIP() << kSkipReason;
  expectNoAllocations({}, {"mic"}, {kRenderThread});
}

TEST(RealtimeRule, ATwoSourceRecordingAllocatesNothingOnTheRenderAndIOProcThreads) {
  if (kSkipReason != nullptr) GTEST_SKIP() << kSkipReason;
  expectNoAllocations({"--include-system", "true"}, {"mic", "system"}, {kRenderThread, kIOProcThread});
}

}  // namespace
