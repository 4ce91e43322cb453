#include <gtest/gtest.h>

#include "tests/bin/tasmerig/tasmerig_run.h"

namespace {

using tasmerigtest::runTasmerig;
using testsupport::eventsOfType;

TEST(MicTapScratchMode, AllThreeCasesPassThroughTheProductionPush) {
  const auto r = runTasmerig({"--mode", "test-mic-tap-scratch"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const auto events = r.errEvents();
  ASSERT_EQ(events.size(), 4u) << r.err;
  const auto cases = eventsOfType(events, "mic_tap_scratch_case");
  ASSERT_EQ(cases.size(), 3u);
  EXPECT_EQ(cases[0], (nlohmann::json{{"type", "mic_tap_scratch_case"},
                                      {"case", "exact_400ms_noninterleaved_mono"},
                                      {"raw_frames", 19200},
                                      {"written_frames", 19200},
                                      {"message_bytes", 76808},
                                      {"tail_overflow_bytes", 0},
                                      {"overflow_bytes", 0},
                                      {"first_payload", 0.4},
                                      {"last_payload", 0.4}}));
  EXPECT_EQ(cases[1]["case"], "exact_400ms_interleaved_stereo_uses_channel_zero");
  EXPECT_EQ(cases[1]["first_payload"], -0.25);
  EXPECT_EQ(cases[1]["last_payload"], -0.25);
  EXPECT_EQ(cases[1]["message_bytes"], 76808);
  EXPECT_EQ(cases[2], (nlohmann::json{{"type", "mic_tap_scratch_case"},
                                      {"case", "oversized_callback_clamps_and_counts_tail"},
                                      {"raw_frames", 23313},
                                      {"written_frames", 23296},
                                      {"message_bytes", 93192},
                                      {"tail_overflow_bytes", 68},
                                      {"overflow_bytes", 68},
                                      {"first_payload", 1.0},
                                      {"last_payload", 1.0}}));
  EXPECT_EQ(events.back(), (nlohmann::json{{"type", "mic_tap_scratch_integration"},
                                           {"passed", true},
                                           {"cases", 3},
                                           {"exact_400ms_frames", 19200},
                                           {"exact_400ms_message_bytes", 76808},
                                           {"oversized_written_frames", 23296},
                                           {"oversized_tail_overflow_bytes", 68},
                                           {"failures", nlohmann::json::array()}}));
}

}  // namespace
