// Device-change handling called directly on a recording mic in a simulated
// world: which road a stopped engine takes, depending on whether its tap
// and segment are still there.
#include "helper/core/mic/mic_device_change.h"

#include <gtest/gtest.h>

#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_startup.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/sim_testing.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;
using json = nlohmann::json;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;

class MicDeviceChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gIsRunning.store(true);
    simt::loadWorld(json{{"devices",
                          {{{"uid", "Mic"},
                            {"transport", "bltn"},
                            {"nominal_rate", 48000},
                            {"input_channels", 1},
                            {"signal", {{"type", "tone"}, {"frequency", 440}, {"amplitude", 0.1}}}}}}},
                    sim::ClockMode::realTime);
    CaptureConfig c;
    c.sessionDir = (dir.path() / "session").string();
    c.includeMic = true;
    state = std::make_shared<CaptureState>(c);
    state->setSourceRecoveryTimeoutScheduler([](uint64_t, std::function<void()>) {});
    startMicPipeline(state);
    engine = state->engine();
    canonical = *AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, true);
  }
  void TearDown() override { EXPECT_TRUE(stopMicPipeline(*state, 3'000'000'000ULL)); }

  void change() { handleMicDeviceChange(state, engine, canonical, 4.0f, true, false, std::nullopt); }

  testsupport::TempDir dir;
  std::shared_ptr<CaptureState> state;
  std::shared_ptr<platform::audio::AudioEngine> engine;
  AudioFormat canonical;
};

TEST_F(MicDeviceChangeTest, AStoppedEngineWithItsTapRestartsInPlace) {
  engine->stop();
  state->micPipeline()->generation().store(UINT32_MAX);
  change();
  EXPECT_EQ(state->engine(), engine);
  EXPECT_TRUE(engine->isRunning());
  EXPECT_EQ(state->micWriter()->seq(), 1);                   // the segment goes on
  EXPECT_EQ(state->micPipeline()->generation().load(), 0u);  // wrapped
  EXPECT_EQ(state->micPipeline()->tapEnabled().load(), 1u);
  ASSERT_TRUE(state->micGenerationFormat(0));
  EXPECT_EQ(state->micGenerationFormat(0)->sampleRate, 48000);
}

TEST_F(MicDeviceChangeTest, AStoppedEngineWithoutItsTapIsReplaced) {
  // As a device that went away leaves it: stopped, its tap removed.
  engine->inputNode().removeTap(0);
  engine->stop();
  state->setMicTapInstalled(false);
  change();
  ASSERT_NE(state->engine(), engine);
  EXPECT_TRUE(state->engine()->isRunning());
  EXPECT_TRUE(state->micTapInstalled());
  EXPECT_EQ(state->micWriter()->seq(), 2);  // sealed, and the next segment open
  EXPECT_EQ(state->micPipeline()->generation().load(), 2u);
  EXPECT_EQ(state->micPipeline()->tapEnabled().load(), 1u);
}

TEST_F(MicDeviceChangeTest, AStoppedEngineWithoutASegmentIsReplaced) {
  engine->stop();
  state->micWriter()->sealFinal();
  change();
  EXPECT_NE(state->engine(), engine);
  EXPECT_TRUE(state->micWriter()->hasOpenSegment());
}

}  // namespace
}  // namespace helper
