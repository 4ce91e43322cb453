// Rebuilding the system tap graph: the route-change decision on its rows,
// and the single-flight scheduling on a simulated world whose clock the
// test moves (the rebuild itself runs on the user-initiated queue).
#include "helper/core/system/system_tap_rebuild.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "helper/core/system/system_source.h"
#include "platform/audio/sim_testing.h"
#include "tests/support/fake_source_session.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;
using json = nlohmann::json;
using D = SystemOutputRouteChangeDecision;

TEST(ClassifySystemOutputRouteChange, SameDeviceRebuildsOnlyForAKnownChangedRate) {
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, 44100, true), (D{true, true, false, true}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, 48000, true), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, std::nullopt, true), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, 44100, false), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 0, 44100, true), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, 0.5, true), (D{}));
  // Truncated before comparing.
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 47999, 47999.9, true), (D{}));
  // A rate that is not finite counts as unknown.
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, std::numeric_limits<double>::quiet_NaN(), true), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "A", 48000, INFINITY, true), (D{}));
}

TEST(ClassifySystemOutputRouteChange, AnotherDeviceAlwaysRebuildsUnforced) {
  EXPECT_EQ(classifySystemOutputRouteChange("A", "B", 48000, std::nullopt, true), (D{true, false, true, false}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "B", 48000, 44100, true), (D{true, false, true, true}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "B", 48000, 44100, false), (D{true, false, true, false}));
  EXPECT_EQ(classifySystemOutputRouteChange("A", "B", 48000, 48000, true), (D{true, false, true, false}));
  // Nothing followed yet (a failed start forgot the device): any device rebuilds.
  EXPECT_EQ(classifySystemOutputRouteChange("", "B", 0, 48000, true), (D{true, false, true, false}));
}

TEST(ClassifySystemOutputRouteChange, NoObservedDeviceDecidesNothing) {
  EXPECT_EQ(classifySystemOutputRouteChange("A", "", 48000, 44100, true), (D{}));
  EXPECT_EQ(classifySystemOutputRouteChange("", "", 0, std::nullopt, false), (D{}));
}

json outputDevice(const std::string& uid, json extra = json::object()) {
  json d = {{"uid", uid},           {"name", uid + " Out"},
            {"transport", "bltn"},  {"nominal_rate", 48000},
            {"output_channels", 2}, {"signal", {{"type", "tone"}, {"frequency", 1000}, {"amplitude", 0.5}}}};
  d.update(extra);
  return d;
}

class SystemTapRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simt::loadWorld(json{{"devices", {outputDevice("A"), outputDevice("B"), outputDevice("C"), outputDevice("D")}},
                         {"defaults", {{"output", "A"}, {"system_output", "A"}}}},
                    sim::ClockMode::manual);
    system = SystemSource::make(
        session, std::make_shared<SegmentWriter>("system", (dir.path() / "session").string(), 24000.0, 2, 30, 0));
    // Recovery time-outs never fire here: the tests look at the rebuilds.
    system->recovery().setTimeoutScheduler([](uint64_t, std::function<void()>) {});
    startSystemTapGraph(*system, std::nullopt, true);
    ASSERT_EQ(system->outputUID(), "A");
  }
  void TearDown() override {
    waitUntil([&] { return !system->rebuildScheduled(); });
    // Drops a skipped rebuild's re-check, so that no later test inherits it.
    session.stopClaimed = true;
    recheckSystemTapRebuildAfterResume(*system);
    session.stopClaimed = false;
    stopActiveSystemTapGraph(*system, 3.0, "test");
    system.reset();
    simt::resetWorld(sim::ClockMode::manual);
  }

  static void setOutput(const std::string& uid) {
    const auto id = simt::deviceIDForUID(uid);
    simt::setDefaultOutput(id);
    simt::setDefaultSystemOutput(id);
  }
  void observe() {
    scheduleSystemTapRebuildForCurrentOutput(*system, "output_device_changed", "default_output", true, std::nullopt,
                                             std::nullopt);
  }
  // Rebuilds run on their own queue: waits (generously) for the condition.
  static bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }
  bool settledOn(const std::string& uid) {
    return waitUntil([&] { return !system->rebuildScheduled() && system->outputUID() == uid; });
  }

  testsupport::TempDir dir;
  testsupport::FakeSourceSession session;
  std::shared_ptr<SystemSource> system;
};

TEST_F(SystemTapRebuildTest, AnOutputChangeMovesTheGraphAndOpensTheNextSegment) {
  setOutput("B");
  observe();
  ASSERT_TRUE(settledOn("B"));
  EXPECT_EQ(system->writer()->seq(), 2);
  EXPECT_TRUE(system->pipeline().hasConsumer());
  // The same device again: observed, nothing rebuilt.
  observe();
  ASSERT_TRUE(settledOn("B"));
  EXPECT_EQ(system->writer()->seq(), 2);
}

TEST_F(SystemTapRebuildTest, RequestsDroppedDuringARebuildEndOnTheLastOutput) {
  {
    // The rebuild for B waits for the graph lock while the output moves on.
    std::lock_guard hold(system->graphLock());
    setOutput("B");
    observe();
    setOutput("C");
    observe();
    setOutput("D");
    observe();
  }
  ASSERT_TRUE(settledOn("D"));
  // B, then one re-check straight to D.
  EXPECT_EQ(system->writer()->seq(), 3);
}

TEST_F(SystemTapRebuildTest, ARecheckOfAnUnchangedOutputRebuildsNothing) {
  {
    std::lock_guard hold(system->graphLock());
    setOutput("B");
    observe();
    observe();
  }
  ASSERT_TRUE(settledOn("B"));
  EXPECT_EQ(system->writer()->seq(), 2);
}

TEST_F(SystemTapRebuildTest, ARebuildSkippedWhilePausedIsRecheckedAtResume) {
  const auto& writer = system->writer();
  writer->setPaused(true);
  writer->sealFinal();
  setOutput("B");
  observe();
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled(); }));
  EXPECT_EQ(system->outputUID(), "A");

  writer->open();
  writer->setPaused(false);
  recheckSystemTapRebuildAfterResume(*system);
  ASSERT_TRUE(settledOn("B"));
  // A second resume has nothing left to re-check.
  setOutput("C");
  recheckSystemTapRebuildAfterResume(*system);
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled(); }));
  EXPECT_EQ(system->outputUID(), "B");
}

TEST_F(SystemTapRebuildTest, ARebuildWaitsForAPauseInProgressAndThenLeavesThePausedWriterAlone) {
  const auto& writer = system->writer();
  {
    // A pause holds the lifecycle lock while it seals.
    std::lock_guard pause(session.lifecycleLock());
    setOutput("B");
    observe();
    system->pipeline().closeTap();
    writer->setPaused(true);
    writer->sealFinal();
  }
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled(); }));
  EXPECT_EQ(system->outputUID(), "A");
  EXPECT_FALSE(system->pipeline().tapOpen());
  EXPECT_EQ(writer->seq(), 1);
}

TEST_F(SystemTapRebuildTest, AFailedStartForgetsTheDeviceSoItsNextNotificationRebuilds) {
  simt::injectFault(sim::FaultConfig{sim::kFaultAggregateDevice, 1, 1, 0});
  setOutput("B");
  observe();
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled(); }));
  EXPECT_EQ(system->outputUID(), "");
  EXPECT_FALSE(system->pipeline().hasConsumer());
  EXPECT_TRUE(system->recovery().failed());

  observe();
  ASSERT_TRUE(settledOn("B"));
  EXPECT_TRUE(system->pipeline().hasConsumer());
}

TEST_F(SystemTapRebuildTest, TheRecoveryTargetTakesTheEffectiveRateFromTheGraphStart) {
  // A USB output whose tap runs at another rate than the device's nominal one.
  simt::addDevice([] {
    sim::DeviceConfig d;
    d.uid = "Dock";
    d.name = "USB Dock";
    d.transport = platform::audio::hal::kAudioDeviceTransportTypeUSB;
    d.nominalRate = 48000;
    d.tapRate = 44100;
    d.outputChannels = 2;
    return d;
  }());
  setOutput("Dock");
  observe();
  ASSERT_TRUE(settledOn("Dock"));
  const auto target = system->recovery().pending();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->uid, "Dock");
  EXPECT_EQ(target->sampleRate, 44100);
  EXPECT_EQ(target->channels, 2);
  EXPECT_EQ(target->reason, "output_device_changed");
}

TEST_F(SystemTapRebuildTest, NothingIsRebuiltOnceCaptureEnds) {
  session.stopClaimed = true;
  setOutput("B");
  observe();
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled(); }));
  session.stopClaimed = false;
  EXPECT_EQ(system->outputUID(), "A");
  EXPECT_EQ(system->writer()->seq(), 1);
}

TEST_F(SystemTapRebuildTest, ARecoveryRetryRebuildsTheSameDevice) {
  scheduleSystemTapRebuildForRecoveryRetry(*system, "system_recovery_timeout_retry", 1);
  ASSERT_TRUE(waitUntil([&] { return !system->rebuildScheduled() && system->writer()->seq() == 2; }));
  EXPECT_EQ(system->outputUID(), "A");
}

}  // namespace
}  // namespace helper
