#include "helper/routing/route_coordinator.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

using Phase = RouteCoordinatorShadowPhase;

constexpr uint64_t kMs = 1'000'000ULL;
constexpr uint64_t kSec = 1'000 * kMs;

// A shadow whose epoch 1 holds a built-in input and a USB output.
RouteCoordinatorShadow pairedShadow() {
  RouteCoordinatorShadow s;
  s.observeOutput("Usb", "usb", 48000, 0);
  s.observeInput("Mic", "builtin_mic", 48000, 1 * kSec);
  return s;
}

TEST(RouteCoordinatorShadowPhase, RawValuesRoundTripAndNothingElseParses) {
  for (auto phase : {Phase::idle, Phase::verifying, Phase::settled, Phase::failedRecoverable, Phase::cancelled}) {
    EXPECT_EQ(routeCoordinatorShadowPhaseFromRawValue(routeCoordinatorShadowPhaseRawValue(phase)), phase);
  }
  EXPECT_STREQ(routeCoordinatorShadowPhaseRawValue(Phase::failedRecoverable), "failed_recoverable");
  EXPECT_FALSE(routeCoordinatorShadowPhaseFromRawValue("failedRecoverable"));
  EXPECT_FALSE(routeCoordinatorShadowPhaseFromRawValue("Settled"));
  EXPECT_FALSE(routeCoordinatorShadowPhaseFromRawValue(""));
}

TEST(RouteCoordinatorShadow, ANewShadowHasNoActiveEpoch) {
  RouteCoordinatorShadow s;
  EXPECT_FALSE(s.activeEpochID());
  EXPECT_EQ(s.routeClass(), "unknown");
  EXPECT_EQ(s.inputRoute, "unknown");
  EXPECT_EQ(s.outputTransport, "unknown");
  EXPECT_FALSE(s.cancel("stop").accepted);
  EXPECT_EQ(s.phase, Phase::idle);
  EXPECT_FALSE(s.sourceGraphStarted(Source::mic, 0, "Mic", 48000, 1).accepted);
  EXPECT_FALSE(s.sourceFailed(Source::mic, 0, "x").accepted);
}

TEST(RouteCoordinatorShadow, RouteClasses) {
  RouteCoordinatorShadow out;
  EXPECT_EQ(out.observeOutput("Spk", "builtin_mic", 48000, 0).routeClass, "output_only");
  RouteCoordinatorShadow in;
  EXPECT_EQ(in.observeInput("Mic", "usb", 48000, 0).routeClass, "input_only");
  EXPECT_EQ(pairedShadow().routeClass(), "paired");

  RouteCoordinatorShadow hfp;
  hfp.observeInput("Headset", "bluetooth_hfp", 16000, 0);
  EXPECT_EQ(hfp.observeOutput("Headset", "bluetooth_hfp", 16000, 0).routeClass, "paired_bt_hfp");

  RouteCoordinatorShadow twoHeadsets;  // both Bluetooth, but not the same device
  twoHeadsets.observeInput("HeadsetA", "bluetooth_hfp", 16000, 0);
  EXPECT_EQ(twoHeadsets.observeOutput("HeadsetB", "bluetooth_hfp", 16000, 0).routeClass, "paired");

  RouteCoordinatorShadow mixed;
  mixed.observeInput("Headset", "bluetooth_hfp", 16000, 0);
  EXPECT_EQ(mixed.observeOutput("Headset", "usb", 48000, 0).routeClass, "paired");
}

TEST(RouteCoordinatorShadow, ObservationsWithinTheWindowShareAnEpoch) {
  RouteCoordinatorShadow s;
  const auto first = s.observeOutput("Usb", "usb", 48000, 0);
  EXPECT_TRUE(first.startedNewEpoch);
  EXPECT_EQ(first.epochID, 1u);
  EXPECT_EQ(first.phase, Phase::verifying);
  EXPECT_TRUE(first.requiresSystemVerification);
  EXPECT_FALSE(first.requiresMicVerification);
  const auto second = s.observeInput("Mic", "builtin_mic", 44100, 1 * kSec);
  EXPECT_FALSE(second.startedNewEpoch);
  EXPECT_EQ(second.epochID, 1u);
  EXPECT_EQ(second.routeClass, "paired");
  EXPECT_TRUE(second.seenInput);
  EXPECT_TRUE(second.seenOutput);
  EXPECT_TRUE(second.requiresMicVerification);
  EXPECT_TRUE(second.requiresSystemVerification);
  EXPECT_EQ(s.activeEpochID(), 1u);
  EXPECT_EQ(s.inputRate, 44100);
  EXPECT_EQ(s.lastObservationNs, 1 * kSec);
  EXPECT_EQ(s.firstObservationNs, 0u);

  RouteCoordinatorShadow late;
  late.observeOutput("Usb", "usb", 48000, 0);
  const auto next = late.observeInput("Mic", "builtin_mic", 48000, 3 * kSec);
  EXPECT_TRUE(next.startedNewEpoch);
  EXPECT_EQ(next.epochID, 2u);
  EXPECT_EQ(next.routeClass, "input_only");  // the new epoch forgets the output
  EXPECT_EQ(late.outputUID, "");
  EXPECT_EQ(late.firstObservationNs, 3 * kSec);
}

TEST(RouteCoordinatorShadow, TheWindowEndsTwoAndAHalfSecondsAfterTheFirstObservation) {
  EXPECT_EQ(kRouteCoordinatorMaxCoalesceWindowNs, 2'500 * kMs);
  RouteCoordinatorShadow edge;
  edge.observeInput("A", "usb", 48000, 10 * kSec);
  edge.observeInput("B", "usb", 48000, 11 * kSec);  // later observations do not move the window
  EXPECT_FALSE(edge.observeInput("C", "usb", 48000, 10 * kSec + kRouteCoordinatorMaxCoalesceWindowNs).startedNewEpoch);
  EXPECT_EQ(edge.epochID, 1u);
  const auto past = edge.observeInput("D", "usb", 48000, 10 * kSec + kRouteCoordinatorMaxCoalesceWindowNs + 1);
  EXPECT_TRUE(past.startedNewEpoch);
  EXPECT_EQ(past.epochID, 2u);
}

TEST(RouteCoordinatorShadow, AnObservationReopensAFinishedEpochOnlyWithinTheWindow) {
  RouteCoordinatorShadow s;
  s.observeInput("Mic", "usb", 48000, 0);
  ASSERT_TRUE(s.cancel("stop").accepted);
  const auto reopened = s.observeInput("Mic", "usb", 48000, 2 * kSec);
  EXPECT_FALSE(reopened.startedNewEpoch);
  EXPECT_EQ(reopened.epochID, 1u);
  EXPECT_EQ(reopened.phase, Phase::verifying);
  ASSERT_TRUE(s.sourceFailed(Source::mic, 1, "timeout").accepted);
  EXPECT_EQ(s.activeEpochID(), 1u);  // a failed epoch stays the current one
  const auto fresh = s.observeInput("Mic", "usb", 48000, 5 * kSec);
  EXPECT_TRUE(fresh.startedNewEpoch);
  EXPECT_EQ(fresh.epochID, 2u);
}

TEST(RouteCoordinatorShadow, APairedEpochSettlesOnlyOnItsLastVerification) {
  auto s = pairedShadow();
  EXPECT_TRUE(s.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);
  const auto mic = s.sourceVerified(Source::mic, 1, "Mic", 48000, 1);
  EXPECT_TRUE(mic.accepted);
  EXPECT_FALSE(mic.settledNow);
  EXPECT_EQ(mic.phase, Phase::verifying);
  EXPECT_TRUE(s.sourceGraphStarted(Source::system, 1, "Usb", 48000, 2).accepted);
  const auto sys = s.sourceVerified(Source::system, 1, "Usb", 48000, 2);
  EXPECT_TRUE(sys.accepted);
  EXPECT_TRUE(sys.settledNow);
  EXPECT_EQ(sys.phase, Phase::settled);
  const auto again = s.sourceVerified(Source::system, 1, "Usb", 48000, 2);
  EXPECT_TRUE(again.accepted);
  EXPECT_FALSE(again.settledNow);
  EXPECT_EQ(again.phase, Phase::settled);
}

TEST(RouteCoordinatorShadow, AOneSidedEpochSettlesOnItsOwnVerification) {
  RouteCoordinatorShadow s;
  s.observeOutput("Usb", "usb", 48000, 0);
  ASSERT_TRUE(s.sourceGraphStarted(Source::system, 1, "Usb", 48000, 2).accepted);
  EXPECT_TRUE(s.sourceVerified(Source::system, 1, "Usb", 48000, 2).settledNow);
  // A later observation of the other side reopens the epoch and waits for it.
  const auto in = s.observeInput("Mic", "usb", 48000, 1 * kSec);
  EXPECT_EQ(in.phase, Phase::verifying);
  EXPECT_TRUE(s.systemVerified);
  ASSERT_TRUE(s.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);
  EXPECT_TRUE(s.sourceVerified(Source::mic, 1, "Mic", 48000, 1).settledNow);
}

TEST(RouteCoordinatorShadow, CallbacksThatDoNotFitAreRejectedAndChangeNothing) {
  const auto base = pairedShadow();
  struct Case {
    const char* what;
    bool (*call)(RouteCoordinatorShadow&);
  };
  const Case cases[] = {
      {"verification before the graph start",
       [](RouteCoordinatorShadow& s) { return s.sourceVerified(Source::mic, 1, "Mic", 48000, 1).accepted; }},
      {"graph start of an earlier epoch",
       [](RouteCoordinatorShadow& s) { return s.sourceGraphStarted(Source::mic, 0, "Mic", 48000, 1).accepted; }},
      {"graph start of a later epoch",
       [](RouteCoordinatorShadow& s) { return s.sourceGraphStarted(Source::system, 2, "Usb", 48000, 2).accepted; }},
      {"graph start on another device",
       [](RouteCoordinatorShadow& s) { return s.sourceGraphStarted(Source::system, 1, "Other", 48000, 2).accepted; }},
      {"graph start without a rate",
       [](RouteCoordinatorShadow& s) { return s.sourceGraphStarted(Source::mic, 1, "Mic", 0, 1).accepted; }},
      {"graph start without channels",
       [](RouteCoordinatorShadow& s) { return s.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 0).accepted; }},
      {"an unknown source, which has no name to be reported by",
       [](RouteCoordinatorShadow&) { return parseSource("camera").has_value(); }},
      {"failure of an earlier epoch",
       [](RouteCoordinatorShadow& s) { return s.sourceFailed(Source::mic, 0, "timeout").accepted; }},
  };
  for (const auto& c : cases) {
    auto s = base;
    EXPECT_FALSE(c.call(s)) << c.what;
    EXPECT_EQ(s.phase, base.phase) << c.what;
    EXPECT_FALSE(s.micGraphStarted || s.systemGraphStarted || s.micVerified || s.systemVerified) << c.what;
  }

  // A verification from another device than the one started is no proof.
  auto s = base;
  ASSERT_TRUE(s.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);
  EXPECT_FALSE(s.sourceVerified(Source::mic, 1, "Other", 48000, 1).accepted);
  EXPECT_FALSE(s.micVerified);
}

TEST(RouteCoordinatorShadow, AnUnrecordedUIDAcceptsAnyDevice) {
  RouteCoordinatorShadow s;
  s.observeInput("", "unknown", 0, 0);
  EXPECT_TRUE(s.sourceGraphStarted(Source::mic, 1, "Whatever", 48000, 1).accepted);
  // The side not observed in this epoch takes any device too.
  EXPECT_TRUE(s.sourceGraphStarted(Source::system, 1, "Spk", 48000, 2).accepted);
}

TEST(RouteCoordinatorShadow, AnObservationClearsOnlyItsOwnSide) {
  auto s = pairedShadow();
  ASSERT_TRUE(s.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);
  ASSERT_TRUE(s.sourceGraphStarted(Source::system, 1, "Usb", 48000, 2).accepted);
  ASSERT_TRUE(s.sourceVerified(Source::system, 1, "Usb", 48000, 2).accepted);
  s.observeInput("Mic2", "usb", 48000, 2 * kSec);
  EXPECT_FALSE(s.micGraphStarted);
  EXPECT_TRUE(s.systemGraphStarted);
  EXPECT_TRUE(s.systemVerified);
  EXPECT_FALSE(s.sourceVerified(Source::mic, 1, "Mic2", 48000, 1).accepted);  // its graph must start again
}

TEST(RouteCoordinatorShadow, FailureAndCancelByPhase) {
  auto verifying = pairedShadow();
  const auto failed = verifying.sourceFailed(Source::system, 1, "timeout");
  EXPECT_TRUE(failed.accepted);
  EXPECT_FALSE(failed.settledNow);
  EXPECT_EQ(failed.phase, Phase::failedRecoverable);
  EXPECT_FALSE(verifying.sourceFailed(Source::system, 1, "timeout").accepted);
  EXPECT_FALSE(verifying.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);  // no progress after a failure
  EXPECT_TRUE(verifying.cancel("stop").accepted);
  EXPECT_EQ(verifying.phase, Phase::cancelled);

  RouteCoordinatorShadow settled;
  settled.observeOutput("Usb", "usb", 48000, 0);
  settled.sourceGraphStarted(Source::system, 1, "Usb", 48000, 2);
  ASSERT_TRUE(settled.sourceVerified(Source::system, 1, "Usb", 48000, 2).settledNow);
  EXPECT_TRUE(settled.sourceFailed(Source::system, 1, "lost").accepted);
  EXPECT_EQ(settled.phase, Phase::failedRecoverable);

  auto cancelled = pairedShadow();
  const auto c = cancelled.cancel("stop");
  EXPECT_TRUE(c.accepted);
  EXPECT_FALSE(c.settledNow);
  EXPECT_EQ(c.epochID, 1u);
  EXPECT_TRUE(cancelled.cancel("stop").accepted);  // cancelling again is still accepted
  EXPECT_EQ(cancelled.phase, Phase::cancelled);
  EXPECT_FALSE(cancelled.sourceGraphStarted(Source::mic, 1, "Mic", 48000, 1).accepted);
  EXPECT_FALSE(cancelled.sourceVerified(Source::mic, 1, "Mic", 48000, 1).accepted);
  EXPECT_FALSE(cancelled.sourceFailed(Source::mic, 1, "timeout").accepted);
  EXPECT_EQ(cancelled.phase, Phase::cancelled);
}

TEST(RouteCoordinatorShadow, TheSameHeadsetReportedAgainAfterTheWindowStaysInItsEpoch) {
  RouteCoordinatorShadow s;
  s.observeInput("Headset", "bluetooth_hfp", 16000, 0);
  s.observeOutput("Headset", "bluetooth_hfp", 16000, 1 * kSec);
  ASSERT_TRUE(s.sourceGraphStarted(Source::system, 1, "Headset", 16000, 1).accepted);
  const auto again = s.observeOutput("Headset", "bluetooth_hfp", 16000, 3 * kSec);
  EXPECT_FALSE(again.startedNewEpoch);
  EXPECT_EQ(again.epochID, 1u);
  EXPECT_EQ(again.routeClass, "paired_bt_hfp");
  EXPECT_EQ(s.firstObservationNs, 3 * kSec);
  EXPECT_EQ(s.lastObservationNs, 3 * kSec);
  EXPECT_FALSE(s.systemGraphStarted);
  EXPECT_TRUE(s.seenInput);
  // The extension restarts the window: an input 2 s later still belongs.
  EXPECT_FALSE(s.observeInput("Headset", "bluetooth_hfp", 16000, 5 * kSec).startedNewEpoch);
}

TEST(RouteCoordinatorShadow, OnlyThatHeadsetOnHandsFreeIsExtended) {
  auto observeAgain = [](const std::string& uid, const std::string& transport, Phase finishAs) {
    RouteCoordinatorShadow s;
    s.observeInput("Headset", "bluetooth_hfp", 16000, 0);
    s.observeOutput("Headset", "bluetooth_hfp", 16000, 0);
    if (finishAs == Phase::settled) {
      s.sourceGraphStarted(Source::mic, 1, "Headset", 16000, 1);
      s.sourceVerified(Source::mic, 1, "Headset", 16000, 1);
      s.sourceGraphStarted(Source::system, 1, "Headset", 16000, 1);
      s.sourceVerified(Source::system, 1, "Headset", 16000, 1);
    } else if (finishAs == Phase::failedRecoverable) {
      s.sourceFailed(Source::mic, 1, "timeout");
    } else if (finishAs == Phase::cancelled) {
      s.cancel("stop");
    }
    EXPECT_EQ(s.phase, finishAs);
    return s.observeOutput(uid, transport, 16000, 3 * kSec);
  };
  EXPECT_FALSE(observeAgain("Headset", "bluetooth_hfp", Phase::verifying).startedNewEpoch);
  EXPECT_FALSE(observeAgain("Headset", "bluetooth_hfp", Phase::settled).startedNewEpoch);
  EXPECT_TRUE(observeAgain("Headset", "bluetooth_hfp", Phase::failedRecoverable).startedNewEpoch);
  EXPECT_TRUE(observeAgain("Headset", "bluetooth_hfp", Phase::cancelled).startedNewEpoch);
  EXPECT_TRUE(observeAgain("Other", "bluetooth_hfp", Phase::verifying).startedNewEpoch);
  EXPECT_TRUE(observeAgain("Headset", "usb", Phase::verifying).startedNewEpoch);

  RouteCoordinatorShadow outputOnly;  // not paired: no extension
  outputOnly.observeOutput("Headset", "bluetooth_hfp", 16000, 0);
  EXPECT_TRUE(outputOnly.observeOutput("Headset", "bluetooth_hfp", 16000, 3 * kSec).startedNewEpoch);
}

TEST(RouteCoordinatorShadow, EpochIDsNeverDecrease) {
  RouteCoordinatorShadow s;
  uint64_t last = 0;
  for (uint64_t i = 0; i < 5; ++i) {
    const auto r = s.observeInput("Mic", "usb", 48000, i * 3 * kSec);
    EXPECT_EQ(r.epochID, last + 1);
    last = r.epochID;
    s.cancel("stop");
  }
}

}  // namespace
}  // namespace helper
