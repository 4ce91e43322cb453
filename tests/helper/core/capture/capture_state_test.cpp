#include "helper/core/capture/capture_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "helper/core/capture/capture_watchers.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"
#include "platform/permissions/permissions.h"
#include "platform/permissions/permissions_testing.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kSec = 1'000'000'000ULL;

CaptureConfig micConfig(const std::string& dir) {
  CaptureConfig c;
  c.sessionDir = dir;
  c.includeMic = true;
  return c;
}

TEST(CaptureStateTest, WritersFollowTheIncludedSources) {
  testsupport::TempDir dir;
  CaptureConfig c = micConfig(dir.path().string());
  auto micOnly = std::make_shared<CaptureState>(c);
  EXPECT_TRUE(micOnly->micWriter());
  EXPECT_FALSE(micOnly->sysWriter());
  EXPECT_EQ(micOnly->micRouteKind(), "unknown");
  EXPECT_EQ(micOnly->aecMode(), "passthrough");
  EXPECT_EQ(micOnly->micDeviceUID(), "");
  EXPECT_FALSE(micOnly->hasPendingMicReconnect());
  EXPECT_EQ(micOnly->sourceFailedSnapshot(), std::make_pair(false, false));
  c.includeMic = false;
  c.includeSystem = true;
  auto sysOnly = std::make_shared<CaptureState>(c);
  EXPECT_FALSE(sysOnly->micWriter());
  EXPECT_TRUE(sysOnly->sysWriter());
}

TEST(CaptureStateTest, ReconnectCooldownAndStormWindow) {
  testsupport::TempDir dir;
  auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
  EXPECT_EQ(s->micReconnectCooldownDelayNs(5 * kSec), 0u);
  s->markMicReconnectStarted(10 * kSec);
  EXPECT_EQ(s->micReconnectCooldownDelayNs(12 * kSec), 6 * kSec);
  EXPECT_EQ(s->micReconnectCooldownDelayNs(18 * kSec), 0u);
  EXPECT_EQ(s->micReconnectCooldownDelayNs(9 * kSec), 8 * kSec);  // a clock behind the start
  EXPECT_FALSE(s->shouldRestartExistingMicEngineDuringRouteStorm(100 * kSec));
  s->markMicFreshEngineRebuildStarted(100 * kSec);
  EXPECT_TRUE(s->shouldRestartExistingMicEngineDuringRouteStorm(129'999'000'000ULL));
  EXPECT_FALSE(s->shouldRestartExistingMicEngineDuringRouteStorm(130 * kSec));
  s->resetMicReconnectSerialization();
  EXPECT_EQ(s->micReconnectCooldownDelayNs(12 * kSec), 0u);
  EXPECT_FALSE(s->shouldRestartExistingMicEngineDuringRouteStorm(101 * kSec));
}

TEST(CaptureStateTest, ReconnectsInFlightCollapseIntoOneReplay) {
  testsupport::TempDir dir;
  auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
  EXPECT_TRUE(s->beginMicReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginMicReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginMicReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginMicReconnectOrQueueReplay());
  EXPECT_TRUE(s->finishMicReconnectAndTakeQueuedReplay());
  EXPECT_FALSE(s->finishMicReconnectAndTakeQueuedReplay());
  EXPECT_TRUE(s->beginMicReconnectOrQueueReplay());
  EXPECT_FALSE(s->beginMicReconnectOrQueueReplay());
  gIsRunning.store(false);  // the run loop has ended: no replay
  EXPECT_FALSE(s->finishMicReconnectAndTakeQueuedReplay());
  gIsRunning.store(true);
}

TEST(CaptureStateTest, OnlyTheLatestScheduledReconnectRuns) {
  testsupport::TempDir dir;
  auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
  std::atomic<int> first{0}, second{0};
  s->scheduleMicReconnectAfterRouteSettle(20'000'000, [&] { ++first; });
  s->scheduleMicReconnectAfterRouteSettle(20'000'000, [&] { ++second; });
  EXPECT_TRUE(s->hasPendingMicReconnect());
  for (int i = 0; i < 20 && second.load() == 0; ++i) platform::dispatch::runMainQueueFor(0.02);
  platform::dispatch::runMainQueueFor(0.05);
  EXPECT_EQ(first.load(), 0);
  EXPECT_EQ(second.load(), 1);
  EXPECT_FALSE(s->hasPendingMicReconnect());

  std::atomic<int> cancelled{0};
  s->scheduleMicReconnectAfterRouteSettle(10'000'000, [&] { ++cancelled; });
  s->cancelPendingMicReconnect();
  platform::dispatch::runMainQueueFor(0.1);
  EXPECT_EQ(cancelled.load(), 0);
}

TEST(CaptureStateTest, GenerationFormatsKeepTheEightLargestGenerations) {
  testsupport::TempDir dir;
  auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
  for (uint32_t g : {9u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) s->recordMicGenerationFormat(g, 48000, 1, "u", "usb", "t");
  s->recordMicGenerationFormat(8, 16000, 1, "h", "bluetooth_hfp", "t");
  EXPECT_FALSE(s->micGenerationFormat(1));  // the smallest, though not the oldest
  EXPECT_TRUE(s->micGenerationFormat(9));
  auto g8 = s->micGenerationFormat(8);
  ASSERT_TRUE(g8);
  EXPECT_EQ(g8->sampleRate, 16000);
  EXPECT_EQ(g8->routeKind, "bluetooth_hfp");
  s->resetMicReconnectSerialization();
  EXPECT_FALSE(s->micGenerationFormat(9));
}

TEST(CaptureStateTest, RetiredEnginesKeepTheNewestFourThenAreReleased) {
  testsupport::TempDir dir;
  auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
  std::vector<std::weak_ptr<platform::audio::AudioEngine>> engines;
  for (int i = 0; i < 6; ++i) {
    auto e = std::make_shared<platform::audio::AudioEngine>();
    engines.push_back(e);
    s->retainRetiredMicEngine(std::move(e), "test");
  }
  EXPECT_EQ(s->retiredMicEngineCount(), 4u);
  EXPECT_TRUE(engines[0].expired());
  EXPECT_TRUE(engines[1].expired());
  EXPECT_FALSE(engines[5].expired());
  // About two seconds later the main queue releases them.
  for (int i = 0; i < 40 && s->retiredMicEngineCount() > 0; ++i) platform::dispatch::runMainQueueFor(0.1);
  EXPECT_EQ(s->retiredMicEngineCount(), 0u);
  EXPECT_TRUE(engines[5].expired());
}

TEST(Drain, AStaleAnswerNeverSatisfiesANewRequest) {
  std::atomic<uint32_t> requested{0};
  platform::dispatch::Semaphore done;
  done.signal();  // left over from an earlier drain that timed out
  EXPECT_FALSE(requestDrain(requested, done, 50'000'000));
  EXPECT_EQ(requested.load(), 0u);  // withdrawn after the time-out

  std::thread consumer([&] {
    while (requested.load() == 0) std::this_thread::yield();
    requested.store(0);
    done.signal();
  });
  EXPECT_TRUE(requestDrain(requested, done, 5 * kSec));
  consumer.join();
}

class CaptureStateDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  // The child ends in _Exit: its session directories must land in ours.
  testsupport::ChildTempRoot tempRoot_;
};

TEST_F(CaptureStateDeathTest, StopWaitsOnlyForAConsumerThatExists) {
  testsupport::TempDir dir;
  EXPECT_EXIT(
      {
        gEventBus.start();
        auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
        s->performStop(true, std::nullopt, std::string("r1"));
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("\"stop_fence_complete\""), HasSubstr("\"session_end\""),
            Not(HasSubstr("mic_consumer_join_timeout"))));
}

TEST_F(CaptureStateDeathTest, APauseAfterATimedOutDrainWaitsForItsOwnAnswer) {
  testsupport::TempDir dir;
  EXPECT_EXIT(
      {
        gEventBus.start();
        auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
        s->setMicConsumerStarted(true);          // a consumer that never answers
        s->micPipeline()->drainDone().signal();  // a late answer to an earlier drain
        s->handleCommand({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
        gEventBus.flushAndStop();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("mic ring drain timed out during pause; proceeding to seal"),
            HasSubstr("\"pause_fence_complete\"")));
}

TEST_F(CaptureStateDeathTest, APauseWithoutAConsumerAsksNoDrain) {
  testsupport::TempDir dir;
  EXPECT_EXIT(
      {
        gEventBus.start();
        auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
        s->handleCommand({{"type", "pause"}, {"request_id", "p"}, {"source", "all"}});
        gEventBus.flushAndStop();
        std::_Exit(s->micPipeline()->drainRequested().load() == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), AllOf(HasSubstr("\"pause_fence_complete\""), Not(HasSubstr("drain_timeout"))));
}

TEST_F(CaptureStateDeathTest, ACommandAfterTheStopClaimChangesNothing) {
  testsupport::TempDir dir;
  EXPECT_EXIT(
      {
        gEventBus.start();
        auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
        s->micWriter()->setPaused(true);
        // The main thread's stop and a resume arriving behind it.
        std::thread stopper([s] { s->performStop(false, std::string("sigterm"), std::nullopt); });
        while (!s->isStopClaimed()) std::this_thread::yield();
        s->handleCommand({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
        stopper.join();
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("\"session_end\""), Not(HasSubstr("segment_opened")), Not(HasSubstr("resume_fence_complete"))));
}

TEST_F(CaptureStateDeathTest, PermissionRevokedAfterThreeRegainsIsFatal) {
  namespace perm = platform::permissions::testing;
  EXPECT_EXIT(
      {
        gEventBus.start();
        PermissionWatch watch(PermissionWatchConfig{true, false, false, false});
        for (int cycle = 0; cycle < 4; ++cycle) {
          perm::setMicrophone({platform::permissions::kMicDenied, true, 0});
          watch.tick();
          perm::setMicrophone({platform::permissions::kMicAuthorized, true, 0});
          watch.tick();
        }
      },
      ::testing::ExitedWithCode(1),
      AllOf(HasSubstr("\"mic (cycle 1)\""), HasSubstr("\"mic (cycle 3)\""), Not(HasSubstr("cycle 4")),
            HasSubstr("Permission cycled 3 times then revoked again"), HasSubstr("permission_denied_runtime")));
}

TEST(CommandLines, WhatTheReaderSkips) {
  EXPECT_FALSE(parseCommandLine(""));
  EXPECT_FALSE(parseCommandLine("   \t "));
  EXPECT_FALSE(parseCommandLine("not json"));
  EXPECT_FALSE(parseCommandLine("[1,2]"));
  EXPECT_FALSE(parseCommandLine("\"stop\""));
  EXPECT_FALSE(parseCommandLine(std::string(65, '[') + std::string(65, ']')));
  auto deep = std::string("{\"a\":") + std::string(62, '[') + std::string(62, ']') + "}";
  EXPECT_TRUE(parseCommandLine(deep));
  auto cmd = parseCommandLine("  {\"type\":\"stop\",\"request_id\":\"x\"}\r");
  ASSERT_TRUE(cmd);
  EXPECT_EQ((*cmd)["type"], "stop");
  // Brackets inside strings are not nesting.
  EXPECT_TRUE(parseCommandLine("{\"type\":\"" + std::string(200, '[') + "\"}"));
  EXPECT_TRUE(parseCommandLine("{}"));
}

TEST(MicOverflow, ReportsGrowthAtMostEveryFiveSeconds) {
  MicOverflowCounters overflow;
  std::vector<Event> reported;
  const EventSink sink = [&](const Event& e) { reported.push_back(e); };
  overflow.bytes.store(1000);
  uint64_t lastReport = 0, lastBytes = 0;
  checkMicOverflow(overflow, sink, lastReport, lastBytes);
  EXPECT_EQ(lastBytes, 1000u);
  EXPECT_GT(lastReport, 0u);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0]["dropped_bytes"], 1000);
  overflow.bytes.store(3000);
  checkMicOverflow(overflow, sink, lastReport, lastBytes);  // too soon
  EXPECT_EQ(lastBytes, 1000u);
  EXPECT_EQ(reported.size(), 1u);
}

}  // namespace
}  // namespace helper
