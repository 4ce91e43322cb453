// Device-change handling called directly on a recording mic in a simulated
// world: which road a stopped engine takes, depending on whether its tap
// and segment are still there, and a pending switch it no longer waits for.
#include "helper/core/mic/mic_device_change.h"

#include <gtest/gtest.h>

#include <atomic>

#include "helper/core/mic/mic_source.h"
#include "helper/core/mic/mic_startup.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/sim_testing.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/fake_source_session.h"
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
    simt::loadWorld(json{{"devices",
                          {{{"uid", "Mic"},
                            {"transport", "bltn"},
                            {"nominal_rate", 48000},
                            {"input_channels", 1},
                            {"signal", {{"type", "tone"}, {"frequency", 440}, {"amplitude", 0.1}}}}}}},
                    sim::ClockMode::realTime);
    auto writer = std::make_shared<SegmentWriter>("mic", (dir.path() / "session").string(), 24000.0, 1, 30, 0);
    mic = MicSource::make(session, writer);
    mic->recovery().setTimeoutScheduler([](uint64_t, std::function<void()>) {});
    startMicPipeline(mic);
    engine = mic->engine();
  }
  void TearDown() override { EXPECT_TRUE(stopMicPipeline(*mic, 3'000'000'000ULL)); }

  void change() { handleMicDeviceChange(mic, engine, true, false, std::nullopt); }

  testsupport::TempDir dir;
  testsupport::FakeSourceSession session;
  std::shared_ptr<MicSource> mic;
  std::shared_ptr<platform::audio::AudioEngine> engine;
};

TEST_F(MicDeviceChangeTest, AStoppedEngineWithItsTapRestartsInPlace) {
  engine->stop();
  mic->pipeline().generation().store(UINT32_MAX);
  change();
  EXPECT_EQ(mic->engine(), engine);
  EXPECT_TRUE(engine->isRunning());
  EXPECT_EQ(mic->writer()->seq(), 1);                  // the segment goes on
  EXPECT_EQ(mic->pipeline().generation().load(), 0u);  // wrapped
  EXPECT_EQ(mic->pipeline().tapOpen(), true);
  ASSERT_TRUE(mic->generationFormats().find(0));
  EXPECT_EQ(mic->generationFormats().find(0)->sampleRate, 48000);
}

TEST_F(MicDeviceChangeTest, AStoppedEngineWithoutItsTapIsReplaced) {
  // As a device that went away leaves it: stopped, its tap removed.
  engine->inputNode().removeTap(0);
  engine->stop();
  mic->setTapInstalled(false);
  change();
  ASSERT_NE(mic->engine(), engine);
  EXPECT_TRUE(mic->engine()->isRunning());
  EXPECT_TRUE(mic->tapInstalled());
  EXPECT_EQ(mic->writer()->seq(), 2);  // sealed, and the next segment open
  EXPECT_EQ(mic->pipeline().generation().load(), 2u);
  EXPECT_EQ(mic->pipeline().tapOpen(), true);
}

TEST_F(MicDeviceChangeTest, AStoppedEngineWithoutASegmentIsReplaced) {
  engine->stop();
  mic->writer()->sealFinal();
  change();
  EXPECT_NE(mic->engine(), engine);
  EXPECT_TRUE(mic->writer()->hasOpenSegment());
}

TEST_F(MicDeviceChangeTest, AStoppedEngineNoLongerWaitsOutTheCooldownOfAPendingSwitch) {
  // A switch put off by the cool-down after its route settled (as while the
  // engine still recorded); then the engine stops and says so.
  std::atomic<int> switched{0};
  mic->scheduleReconnectAfterRouteSettle(60'000'000'000ULL, 20'000'000ULL, [&] { ++switched; });
  handleMicDeviceChange(mic, engine, false, false, std::nullopt);
  platform::dispatch::runMainQueueFor(0.2);
  EXPECT_EQ(switched.load(), 0);  // the engine records: the cool-down holds
  engine->stop();
  handleMicDeviceChange(mic, engine, false, false, std::nullopt);
  for (int i = 0; i < 50 && switched.load() == 0; ++i) platform::dispatch::runMainQueueFor(0.02);
  EXPECT_EQ(switched.load(), 1);
  EXPECT_FALSE(mic->hasPendingReconnect());
}

}  // namespace
}  // namespace helper
