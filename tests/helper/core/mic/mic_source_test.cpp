// The mic source's own state, on a fake session: the reconnect
// serialisation, the generation formats and the retired engines.
#include "helper/core/mic/mic_source.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/fake_source_session.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

constexpr uint64_t kSec = 1'000'000'000ULL;

class MicSourceTest : public ::testing::Test {
 protected:
  std::shared_ptr<MicSource> make() {
    return MicSource::make(session, std::make_shared<SegmentWriter>("mic", dir.path().string(), 24000.0, 1, 30, 0));
  }
  testsupport::TempDir dir;
  testsupport::FakeSourceSession session;
};

TEST_F(MicSourceTest, ReconnectCooldownAndStormWindow) {
  auto s = make();
  EXPECT_EQ(s->reconnectCooldownDelayNs(5 * kSec), 0u);
  s->markReconnectStarted(10 * kSec);
  EXPECT_EQ(s->reconnectCooldownDelayNs(12 * kSec), 6 * kSec);
  EXPECT_EQ(s->reconnectCooldownDelayNs(18 * kSec), 0u);
  EXPECT_EQ(s->reconnectCooldownDelayNs(9 * kSec), 8 * kSec);  // a clock behind the start
  EXPECT_FALSE(s->shouldRestartExistingEngineDuringRouteStorm(100 * kSec));
  s->markFreshEngineRebuildStarted(100 * kSec);
  EXPECT_TRUE(s->shouldRestartExistingEngineDuringRouteStorm(129'999'000'000ULL));
  EXPECT_FALSE(s->shouldRestartExistingEngineDuringRouteStorm(130 * kSec));
  s->resetReconnectSerialization();
  EXPECT_EQ(s->reconnectCooldownDelayNs(12 * kSec), 0u);
  EXPECT_FALSE(s->shouldRestartExistingEngineDuringRouteStorm(101 * kSec));
}

TEST_F(MicSourceTest, ReconnectsInFlightCollapseIntoOneReplay) {
  auto s = make();
  EXPECT_TRUE(s->beginReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginReconnectOrQueueReplay());
  EXPECT_TRUE(s->finishReconnectAndTakeQueuedReplay());
  EXPECT_FALSE(s->finishReconnectAndTakeQueuedReplay());
  EXPECT_TRUE(s->beginReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginReconnectOrQueueReplay());
  session.stopClaimed = true;  // the stop is claimed: no replay
  EXPECT_FALSE(s->finishReconnectAndTakeQueuedReplay());
  session.stopClaimed = false;
}

TEST_F(MicSourceTest, OnlyTheLatestScheduledReconnectRuns) {
  auto s = make();
  std::atomic<int> first{0}, second{0};
  s->scheduleReconnectAfterRouteSettle(20'000'000, [&] { ++first; });
  s->scheduleReconnectAfterRouteSettle(20'000'000, [&] { ++second; });
  EXPECT_TRUE(s->hasPendingReconnect());
  for (int i = 0; i < 20 && second.load() == 0; ++i) platform::dispatch::runMainQueueFor(0.02);
  platform::dispatch::runMainQueueFor(0.05);
  EXPECT_EQ(first.load(), 0);
  EXPECT_EQ(second.load(), 1);
  EXPECT_FALSE(s->hasPendingReconnect());

  std::atomic<int> cancelled{0};
  s->scheduleReconnectAfterRouteSettle(10'000'000, [&] { ++cancelled; });
  s->cancelPendingReconnect();
  platform::dispatch::runMainQueueFor(0.1);
  EXPECT_EQ(cancelled.load(), 0);
}

TEST_F(MicSourceTest, GenerationFormatsKeepTheEightLargestGenerations) {
  auto s = make();
  for (uint32_t g : {9u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) s->generationFormats().record(g, 48000, 1, "u", "usb", "t");
  s->generationFormats().record(8, 16000, 1, "h", "bluetooth_hfp", "t");
  EXPECT_FALSE(s->generationFormats().find(1));  // the smallest, though not the oldest
  EXPECT_TRUE(s->generationFormats().find(9));
  auto g8 = s->generationFormats().find(8);
  ASSERT_TRUE(g8);
  EXPECT_EQ(g8->sampleRate, 16000);
  EXPECT_EQ(g8->routeKind, "bluetooth_hfp");
  s->resetReconnectSerialization();
  EXPECT_FALSE(s->generationFormats().find(9));
}

TEST_F(MicSourceTest, RetiredEnginesKeepTheNewestFourThenAreReleased) {
  auto s = make();
  std::vector<std::weak_ptr<platform::audio::AudioEngine>> engines;
  for (int i = 0; i < 6; ++i) {
    auto e = std::make_shared<platform::audio::AudioEngine>();
    engines.push_back(e);
    s->retainRetiredEngine(std::move(e), "test");
  }
  EXPECT_EQ(s->retiredEngineCount(), 4u);
  EXPECT_TRUE(engines[0].expired());
  EXPECT_TRUE(engines[1].expired());
  EXPECT_FALSE(engines[5].expired());
  // About two seconds later the main queue releases them.
  for (int i = 0; i < 40 && s->retiredEngineCount() > 0; ++i) platform::dispatch::runMainQueueFor(0.1);
  EXPECT_EQ(s->retiredEngineCount(), 0u);
  EXPECT_TRUE(engines[5].expired());
}

}  // namespace
}  // namespace helper
