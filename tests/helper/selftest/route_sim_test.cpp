#include "helper/selftest/route_sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace helper {
namespace {

constexpr uint64_t kMs = 1'000'000ULL;
constexpr uint64_t kSec = 1'000 * kMs;
using Notification = TestRouteNotification;
using Outcome = TestReconnectTerminalOutcome;

Notification builtInInput(uint64_t atNs, double rate = 44100) {
  return Notification::input("BuiltInMicrophoneDevice", "builtin_mic", rate, atNs);
}
Notification builtInOutput(uint64_t atNs, double rate = 44100) {
  return Notification::output("BuiltInSpeakerDevice", "builtin_mic", rate, atNs);
}

TestRouteSnapshot headsetTarget() { return {"PixelBuds", "bluetooth_hfp", 16000, "PixelBuds", "bluetooth_hfp", 16000}; }
TestRouteSnapshot builtInTarget() {
  return {"BuiltInMicrophoneDevice", "builtin_mic", 44100, "BuiltInSpeakerDevice", "builtin_mic", 44100};
}

// ---- accumulator ----

TEST(RouteSimAccumulator, NothingCanBeSnapshottedBeforeTheFirstNotification) {
  const TestRouteNotificationAccumulator fresh;
  for (uint64_t now : {uint64_t{0}, 10 * kSec, std::numeric_limits<uint64_t>::max() - 3 * kSec}) {
    EXPECT_FALSE(fresh.canSnapshot(now, false));
    EXPECT_FALSE(fresh.canSnapshot(now, true));
  }
  EXPECT_EQ(fresh.snapshot(), (TestRouteSnapshot{"", "unknown", 0, "", "unknown", 0}));
}

TEST(RouteSimAccumulator, APairIsSnapshottedFrom300msAfterItsLastNotificationInEitherOrder) {
  TestRouteNotificationAccumulator inputFirst;
  inputFirst.apply(builtInInput(1'000 * kMs));
  inputFirst.apply(builtInOutput(1'050 * kMs));
  TestRouteNotificationAccumulator outputFirst;
  outputFirst.apply(builtInOutput(1'050 * kMs));
  outputFirst.apply(builtInInput(1'000 * kMs));
  for (const auto* a : {&inputFirst, &outputFirst}) {
    EXPECT_FALSE(a->canSnapshot(1'340 * kMs, true));
    EXPECT_TRUE(a->canSnapshot(1'350 * kMs, true));
    EXPECT_EQ(a->lastNotificationNs, 1'050 * kMs);  // the earlier stamp applied last does not move it back
  }
  EXPECT_EQ(inputFirst.firstNotificationNs, 1'000 * kMs);
  EXPECT_EQ(outputFirst.firstNotificationNs, 1'050 * kMs);  // the first applied, not the earliest
  EXPECT_EQ(inputFirst.snapshot(), outputFirst.snapshot());
  EXPECT_EQ(inputFirst.snapshot(), builtInTarget());
}

TEST(RouteSimAccumulator, AMissingCounterpartHoldsAPairedSnapshotUntilTheCoalesceWindowEnds) {
  TestRouteNotificationAccumulator outputOnly;
  outputOnly.apply(Notification::output("5E-17-C2-9A-04-DB:output", "bluetooth_hfp", 44100, 1 * kSec));
  EXPECT_FALSE(outputOnly.canSnapshot(1'300 * kMs, true));
  EXPECT_FALSE(outputOnly.canSnapshot(3'499 * kMs, true));
  EXPECT_TRUE(outputOnly.canSnapshot(3'500 * kMs, true));
  // Without the pairing requirement the quiet window is enough.
  EXPECT_FALSE(outputOnly.canSnapshot(1'299 * kMs, false));
  EXPECT_TRUE(outputOnly.canSnapshot(1'300 * kMs, false));
}

TEST(RouteSimAccumulator, NotificationsThatKeepComingAreCutOffByTheCoalesceWindow) {
  TestRouteNotificationAccumulator busy;
  for (uint64_t t = 1'000; t <= 3'400; t += 200) busy.apply(builtInInput(t * kMs));
  busy.apply(builtInOutput(3'450 * kMs));
  EXPECT_FALSE(busy.canSnapshot(3'499 * kMs, true));
  EXPECT_TRUE(busy.canSnapshot(3'500 * kMs, true));  // 2.5 s after the first, though not quiet
}

TEST(RouteSimAccumulator, TheLastNotificationOfEachSideWins) {
  TestRouteNotificationAccumulator a;
  a.apply(Notification::input("pixelbuds:input", "bluetooth_hfp", 16000, 1 * kSec));
  a.apply(builtInOutput(2 * kSec));
  a.apply(builtInInput(3 * kSec, 48000));
  EXPECT_EQ(a.snapshot(), (TestRouteSnapshot{"BuiltInMicrophoneDevice", "builtin_mic", 48000, "BuiltInSpeakerDevice",
                                             "builtin_mic", 44100}));
  EXPECT_TRUE(a.seenInputNotification);
  EXPECT_TRUE(a.seenOutputNotification);
}

// ---- cadence ----

TEST(RouteSimCadence, FramesProveCadenceWithinEightPercentOfAtLeastA250msWindow) {
  EXPECT_TRUE(testRouteCadenceHolds(16000, 4000, 250));
  EXPECT_TRUE(testRouteCadenceHolds(44100, 11025, 250));
  EXPECT_FALSE(testRouteCadenceHolds(44100, 12000, 250));  // 8.8 % over
  EXPECT_FALSE(testRouteCadenceHolds(16000, 320, 250));    // a short burst
  EXPECT_TRUE(testRouteCadenceHolds(16000, 4320, 250));    // exactly 8 % over
  EXPECT_TRUE(testRouteCadenceHolds(16000, 3680, 250));    // exactly 8 % under
  EXPECT_FALSE(testRouteCadenceHolds(16000, 4321, 250));
  EXPECT_FALSE(testRouteCadenceHolds(16000, 3679, 250));
  EXPECT_FALSE(testRouteCadenceHolds(16000, 3984, 249));  // the right count in too short a window
  EXPECT_TRUE(testRouteCadenceHolds(16000, 16000, 1000));
  EXPECT_FALSE(testRouteCadenceHolds(0, 0, 250));
  EXPECT_FALSE(testRouteCadenceHolds(-16000, 4000, 250));
  EXPECT_FALSE(testRouteCadenceHolds(std::nan(""), 4000, 250));
}

// ---- mic configuration ----

TEST(RouteSimMicConfig, MoreHardwareChannelsThanTheMonoCaptureAreAbsorbed) {
  TestRouteCoordinatorSim sim;
  const uint64_t e = sim.startEpoch(builtInTarget());
  const std::string mic = "BuiltInMicrophoneDevice";
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100, 3, 1, 1, true), TestMicConfigDecision::ignore);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100, 3, 1, 1, false),
            TestMicConfigDecision::restartExistingEngine);
  // Only the whole-number part of a rate counts.
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100.7, 3, 1, 1, true), TestMicConfigDecision::ignore);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 48000, 3, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44099.9, 3, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, "ExternalUSBMic", "builtin_mic", 44100, 1, 1, 1, true),
            TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "usb", 44100, 1, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100, 3, 2, 1, true), TestMicConfigDecision::reconnect);
}

TEST(RouteSimMicConfig, UnusableObservationsReconnectAndClosedOrStaleEpochsAreIgnored) {
  TestRouteCoordinatorSim sim;
  const std::string mic = "BuiltInMicrophoneDevice";
  EXPECT_EQ(sim.micConfigNotification(0, mic, "builtin_mic", 44100, 1, 1, 1, true), TestMicConfigDecision::ignore);
  const uint64_t e = sim.startEpoch(builtInTarget());
  EXPECT_EQ(sim.micConfigNotification(e, "", "builtin_mic", 44100, 1, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 0, 1, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", std::nan(""), 1, 1, 1, true),
            TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100, 0, 1, 1, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 44100, 1, 0, 0, true), TestMicConfigDecision::reconnect);
  EXPECT_EQ(sim.micConfigNotification(e - 1, mic, "builtin_mic", 48000, 1, 1, 1, true), TestMicConfigDecision::ignore);
  sim.stop();
  EXPECT_EQ(sim.micConfigNotification(e, mic, "builtin_mic", 48000, 1, 1, 1, true), TestMicConfigDecision::ignore);
}

// ---- reconnect bookkeeping ----

TEST(RouteSimReconnect, AnEngineStartClosesTheReconnectButProvesNothing) {
  TestRouteCoordinatorSim sim;
  const uint64_t e = sim.startEpoch(headsetTarget());
  sim.micReconnectBegin(e);
  EXPECT_TRUE(sim.micReconnectInFlight);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, std::nullopt);
  sim.micReconnectTerminal(e, Outcome::engineStarted);
  EXPECT_FALSE(sim.micReconnectInFlight);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, Outcome::engineStarted);
  EXPECT_EQ(sim.phase, TestRoutePhase::verifying());
  EXPECT_FALSE(sim.micVerified);
  // Nothing is in flight any more: a late time-out changes nothing.
  sim.micReconnectTimedOut(e);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, Outcome::engineStarted);
  EXPECT_EQ(sim.phase, TestRoutePhase::verifying());
}

TEST(RouteSimReconnect, ATimeOutOrAFailureOrACancelEndsTheEpoch) {
  TestRouteCoordinatorSim sim;
  uint64_t e = sim.startEpoch(headsetTarget());
  sim.micReconnectBegin(e);
  sim.micReconnectTimedOut(e);
  EXPECT_FALSE(sim.micReconnectInFlight);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, Outcome::sourceFailed);
  EXPECT_EQ(sim.phase, TestRoutePhase::failedRecoverable("mic_reconnect_timeout"));

  e = sim.startEpoch(headsetTarget());
  EXPECT_EQ(sim.micReconnectTerminalOutcome, std::nullopt);
  sim.micReconnectBegin(e);
  sim.micReconnectTerminal(e, Outcome::sourceFailed);
  EXPECT_EQ(sim.phase, TestRoutePhase::failedRecoverable("mic_reconnect_failed"));
  // The reconnect bookkeeping ignores the phase; a new begin does not.
  sim.micReconnectBegin(e);
  EXPECT_FALSE(sim.micReconnectInFlight);

  e = sim.startEpoch(headsetTarget());
  sim.micReconnectBegin(e);
  sim.micReconnectTerminal(e, Outcome::cancelled);
  EXPECT_EQ(sim.phase, TestRoutePhase::cancelled("mic_reconnect_cancelled"));
  EXPECT_EQ(sim.micReconnectTerminalOutcome, Outcome::cancelled);
}

TEST(RouteSimReconnect, ReconnectEventsOfAnOlderEpochAreIgnored) {
  TestRouteCoordinatorSim sim;
  const uint64_t old = sim.startEpoch(headsetTarget());
  sim.micReconnectBegin(old);
  const uint64_t current = sim.startEpoch(headsetTarget());
  EXPECT_FALSE(sim.micReconnectInFlight);
  sim.micReconnectBegin(old);
  EXPECT_FALSE(sim.micReconnectInFlight);
  sim.micReconnectBegin(current);
  sim.micReconnectTimedOut(old);
  sim.micReconnectTerminal(old, Outcome::sourceFailed);
  EXPECT_TRUE(sim.micReconnectInFlight);
  EXPECT_EQ(sim.phase, TestRoutePhase::verifying());
}

// ---- epochs and settling ----

TEST(RouteSimEpoch, AFreshSimIsActiveAndEachEpochStartsVerifyingWithItsProofsCleared) {
  TestRouteCoordinatorSim sim;
  EXPECT_EQ(sim.phase, TestRoutePhase::active());
  EXPECT_EQ(sim.epoch, 0u);
  EXPECT_EQ(sim.startEpoch(headsetTarget()), 1u);
  sim.micGraphStartedEvent(1, "PixelBuds", 16000);
  sim.micFrames(1, "PixelBuds", 16000, 4000, 250);
  sim.systemGraphStartedEvent(1, "PixelBuds", 16000);
  sim.systemFrames(1, "PixelBuds", 4000, 250);
  EXPECT_EQ(sim.phase, TestRoutePhase::settled());
  sim.stop("stop");
  EXPECT_EQ(sim.startEpoch(builtInTarget()), 2u);
  EXPECT_EQ(sim.phase, TestRoutePhase::verifying());
  EXPECT_EQ(sim.target, builtInTarget());
  EXPECT_FALSE(sim.micGraphStarted || sim.micVerified || sim.systemGraphStarted || sim.systemVerified);
  EXPECT_EQ(sim.selectedSystemRate, 0);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, std::nullopt);
}

TEST(RouteSimEpoch, AnEpochSettlesOnlyWhenTheSecondOfTheTwoProofsArrives) {
  TestRouteCoordinatorSim sim;
  const uint64_t e = sim.startEpoch(builtInTarget());
  sim.systemGraphStartedEvent(e, "BuiltInSpeakerDevice", 44100);
  sim.systemFrames(e, "BuiltInSpeakerDevice", 11025, 250);
  EXPECT_TRUE(sim.systemVerified);
  EXPECT_EQ(sim.phase, TestRoutePhase::verifying());  // no output-only shortcut
  sim.micFrames(e, "BuiltInMicrophoneDevice", 44100, 11025, 250);
  EXPECT_FALSE(sim.micVerified);  // frames before the graph started
  sim.micGraphStartedEvent(e, "BuiltInMicrophoneDevice", 0);
  EXPECT_FALSE(sim.micGraphStarted);
  sim.micGraphStartedEvent(e, "BuiltInMicrophoneDevice", 44100);
  sim.micFrames(e, "BuiltInMicrophoneDevice", 44100, 11025, 250);
  EXPECT_EQ(sim.phase, TestRoutePhase::settled());
}

TEST(RouteSimEpoch, ProofForAnotherDeviceOrAnOlderEpochIsIgnored) {
  TestRouteCoordinatorSim sim;
  const uint64_t old = sim.startEpoch(headsetTarget());
  const uint64_t e = sim.startEpoch(headsetTarget());
  sim.micGraphStartedEvent(old, "PixelBuds", 16000);
  sim.systemGraphStartedEvent(e, "BuiltInSpeakerDevice", 16000);
  sim.micGraphStartedEvent(e, "BuiltInMicrophoneDevice", 16000);
  EXPECT_FALSE(sim.micGraphStarted || sim.systemGraphStarted);
  sim.micGraphStartedEvent(e, "PixelBuds", 16000);
  sim.micFrames(old, "PixelBuds", 16000, 4000, 250);
  sim.micFrames(e, "BuiltInMicrophoneDevice", 16000, 4000, 250);
  EXPECT_FALSE(sim.micVerified);
  sim.micFrames(e, "PixelBuds", 16000, 4000, 250);
  EXPECT_TRUE(sim.micVerified);
}

TEST(RouteSimEpoch, StopWinsOverEverythingThatFollowsForItsEpoch) {
  TestRouteCoordinatorSim sim;
  const uint64_t e = sim.startEpoch(builtInTarget());
  sim.micReconnectBegin(e);
  sim.stop();
  EXPECT_EQ(sim.phase, TestRoutePhase::cancelled("stop"));
  EXPECT_FALSE(sim.micReconnectInFlight);
  EXPECT_EQ(sim.micReconnectTerminalOutcome, Outcome::cancelled);
  sim.micGraphStartedEvent(e, "BuiltInMicrophoneDevice", 44100);
  sim.micFrames(e, "BuiltInMicrophoneDevice", 44100, 11025, 250);
  sim.systemGraphStartedEvent(e, "BuiltInSpeakerDevice", 44100);
  EXPECT_FALSE(sim.micGraphStarted || sim.micVerified || sim.systemGraphStarted);
  EXPECT_EQ(sim.phase, TestRoutePhase::cancelled("stop"));
  // Stop applies whatever the epoch, even on a fresh sim.
  TestRouteCoordinatorSim fresh;
  fresh.stop("shutdown");
  EXPECT_EQ(fresh.phase, TestRoutePhase::cancelled("shutdown"));
}

TEST(RouteSimEpoch, OnOneHandsFreeHeadsetAWideBandSystemRateWaitsForTheMic) {
  TestRouteCoordinatorSim sim;
  const uint64_t e = sim.startEpoch(headsetTarget());
  sim.systemGraphStartedEvent(e, "PixelBuds", 48000);
  sim.systemFrames(e, "PixelBuds", 12000, 250);
  EXPECT_FALSE(sim.systemVerified);
  sim.micGraphStartedEvent(e, "PixelBuds", 16000);
  sim.micFrames(e, "PixelBuds", 16000, 4000, 250);
  sim.systemFrames(e, "PixelBuds", 12000, 250);
  EXPECT_TRUE(sim.systemVerified);
  EXPECT_EQ(sim.phase, TestRoutePhase::settled());

  TestRouteCoordinatorSim narrow;
  const uint64_t n = narrow.startEpoch(headsetTarget());
  narrow.systemGraphStartedEvent(n, "PixelBuds", 16000);
  narrow.systemFrames(n, "PixelBuds", 4000, 250);
  EXPECT_TRUE(narrow.systemVerified);
  EXPECT_EQ(narrow.phase, TestRoutePhase::verifying());
}

TEST(RouteSimEpoch, TheWideBandHoldAppliesOnlyToOneHeadsetOnBothSides) {
  // A built-in mic with a hands-free output, and two different headsets.
  for (const TestRouteSnapshot& target :
       {TestRouteSnapshot{"BuiltInMicrophoneDevice", "builtin_mic", 44100, "PixelBuds", "bluetooth_hfp", 48000},
        TestRouteSnapshot{"PixelBuds", "bluetooth_hfp", 16000, "Other-Headset", "bluetooth_hfp", 48000}}) {
    TestRouteCoordinatorSim sim;
    const uint64_t e = sim.startEpoch(target);
    sim.systemGraphStartedEvent(e, target.outputUID, 48000);
    sim.systemFrames(e, target.outputUID, 12000, 250);
    EXPECT_TRUE(sim.systemVerified) << target.outputUID;
  }
}

TEST(RouteSimPhase, TheReasonCountsOnlyForFailedAndCancelled) {
  EXPECT_EQ(TestRoutePhase::cancelled("stop"), TestRoutePhase::cancelled("stop"));
  EXPECT_NE(TestRoutePhase::cancelled("stop"), TestRoutePhase::cancelled("mic_reconnect_cancelled"));
  EXPECT_NE(TestRoutePhase::cancelled("x"), TestRoutePhase::failedRecoverable("x"));
  EXPECT_EQ((TestRoutePhase{TestRoutePhase::Kind::settled, "ignored"}), TestRoutePhase::settled());
  EXPECT_NE(TestRoutePhase::verifying(), TestRoutePhase::settled());
  EXPECT_TRUE(TestRoutePhase::active().isOpen());
  EXPECT_FALSE(TestRoutePhase::failedRecoverable("x").isOpen());
}

// ---- stale system consumer ----

TEST(RouteSimStaleConsumer, AConsumerLeftAt16kWritesA30sSegmentInUnder11s) {
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(44100, 16000, 24000, 10885), 720043u);
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(24000, 24000, 24000, 30000), 720000u);
}

TEST(RouteSimStaleConsumer, HalvesRoundAwayFromZeroAndUnusableInputsGiveNothing) {
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(1500, 1000, 1000, 1), 2u);  // 1.5
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(2500, 1000, 1000, 1), 3u);  // 2.5
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(1400, 1000, 1000, 1), 1u);
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(44100, 16000, 24000, 0), 0u);
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(0, 16000, 24000, 1000), 0u);
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(44100, -1, 24000, 1000), 0u);
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(44100, 16000, std::nan(""), 1000), 0u);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(inf, 16000, 24000, 1000),
            std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(simulateCanonicalFramesForStaleSystemConsumer(inf, inf, 24000, 1000), 0u);
}

}  // namespace
}  // namespace helper
