#include "helper/core/capture/capture_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "helper/core/await/drain_request.h"
#include "helper/core/capture/capture_watchers.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/system/system_source.h"
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
  ASSERT_TRUE(micOnly->mic());
  EXPECT_TRUE(micOnly->mic()->writer());
  EXPECT_FALSE(micOnly->system());
  EXPECT_EQ(micOnly->mic()->routeKind(), "unknown");
  EXPECT_EQ(micOnly->mic()->aecMode(), "passthrough");
  EXPECT_EQ(micOnly->mic()->deviceUID(), "");
  EXPECT_FALSE(micOnly->mic()->hasPendingReconnect());
  EXPECT_FALSE(micOnly->mic()->recovery().failed());
  c.includeMic = false;
  c.includeSystem = true;
  auto sysOnly = std::make_shared<CaptureState>(c);
  EXPECT_FALSE(sysOnly->mic());
  ASSERT_TRUE(sysOnly->system());
  EXPECT_TRUE(sysOnly->system()->writer());
  EXPECT_FALSE(sysOnly->system()->recovery().failed());
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
        s->mic()->setConsumerStarted(true);         // a consumer that never answers
        s->mic()->pipeline().drainDone().signal();  // a late answer to an earlier drain
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
        std::_Exit(s->mic()->pipeline().drainRequested().load() == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), AllOf(HasSubstr("\"pause_fence_complete\""), Not(HasSubstr("drain_timeout"))));
}

TEST_F(CaptureStateDeathTest, ACommandAfterTheStopClaimChangesNothingButIsAnswered) {
  testsupport::TempDir dir;
  EXPECT_EXIT(
      {
        gEventBus.start();
        auto s = std::make_shared<CaptureState>(micConfig(dir.path().string()));
        s->mic()->writer()->setPaused(true);
        // The main thread's stop and a resume arriving behind it.
        std::thread stopper([s] { s->performStop(false, std::string("sigterm"), std::nullopt); });
        while (!s->isStopClaimed()) std::this_thread::yield();
        s->handleCommand({{"type", "resume"}, {"request_id", "r"}, {"source", "all"}});
        stopper.join();
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("\"session_end\""), Not(HasSubstr("segment_opened")), HasSubstr("resume_fence_complete")));
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
