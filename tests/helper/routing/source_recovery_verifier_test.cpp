#include "helper/routing/source_recovery_verifier.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

using Kind = SourceRecoveryVerifierOutcome::Kind;
constexpr uint64_t kMs = 1'000'000ULL;

SourceRecoveryTarget target(std::string uid = "Mic", int64_t rate = 48000, int64_t channels = 1,
                            std::optional<uint32_t> generation = std::nullopt, uint64_t token = 1) {
  return {Source::mic, std::move(uid), rate, channels, generation, "input_device_changed", token, std::nullopt};
}

SourceRecoveryFrameProof proof(int64_t frames, uint64_t atNs, int64_t rate = 48000, int64_t channels = 1,
                               std::optional<uint32_t> generation = std::nullopt, std::string uid = "Mic") {
  return {std::move(uid), rate, channels, generation, frames, atNs};
}

SourceRecoveryVerifier startedVerifier(SourceRecoveryTarget t = target()) {
  SourceRecoveryVerifier v;
  v.begin(std::move(t));
  EXPECT_EQ(v.graphStarted("Mic", 48000, 1).kind, Kind::waiting);
  return v;
}

TEST(SourceRecoveryVerifierTest, GraphStartMatchesTheUIDRateAndChannelsOrAny) {
  SourceRecoveryVerifier idle;
  EXPECT_EQ(idle.graphStarted("Mic", 48000, 1).kind, Kind::ignoredStale);

  SourceRecoveryVerifier v;
  v.begin(target());
  const SourceRecoveryVerifier before = v;
  EXPECT_EQ(v.graphStarted("Other", 48000, 1).kind, Kind::ignoredStale);
  EXPECT_EQ(v.graphStarted("Mic", 44100, 1).kind, Kind::ignoredStale);
  EXPECT_EQ(v.graphStarted("Mic", 48000, 2).kind, Kind::ignoredStale);
  EXPECT_EQ(v, before);  // a mismatch changes nothing
  EXPECT_EQ(v.graphStarted("Mic", 48000, 1).kind, Kind::waiting);
  EXPECT_TRUE(v.hasGraphStarted());

  // Empty UID and unknown format: any start matches and completes the target.
  SourceRecoveryVerifier any;
  any.begin(target("", 0, 0, std::nullopt, 4));
  EXPECT_EQ(any.graphStarted("Speakers", 44100, 2).kind, Kind::waiting);
  EXPECT_EQ(any.pending()->uid, "");
  EXPECT_EQ(any.pending()->sampleRate, 44100);
  EXPECT_EQ(any.pending()->channels, 2);
  EXPECT_EQ(any.pending()->token, 4u);
  // A later proof at another rate is stale, one at the completed rate counts.
  EXPECT_EQ(any.firstFrames(proof(4800, 0, 48000, 2, std::nullopt, "Speakers")).kind, Kind::ignoredStale);
  EXPECT_EQ(any.firstFrames(proof(4410, 0, 44100, 2, std::nullopt, "Speakers")).kind, Kind::waiting);
  EXPECT_TRUE(any.observedFrames());
}

TEST(SourceRecoveryVerifierTest, FramesCountOnlyAfterTheGraphStartAndWhenTheyMatch) {
  SourceRecoveryVerifier v;
  v.begin(target());
  EXPECT_EQ(v.firstFrames(proof(48000, 0)).kind, Kind::ignoredStale);
  EXPECT_FALSE(v.observedFrames());
  ASSERT_EQ(v.graphStarted("Mic", 48000, 1).kind, Kind::waiting);
  const SourceRecoveryVerifier started = v;
  EXPECT_EQ(v.firstFrames(proof(0, 0)).kind, Kind::ignoredStale);
  EXPECT_EQ(v.firstFrames(proof(-5, 0)).kind, Kind::ignoredStale);
  EXPECT_EQ(v.firstFrames(proof(4800, 0, 48000, 1, std::nullopt, "Other")).kind, Kind::ignoredStale);
  EXPECT_EQ(v.firstFrames(proof(4800, 0, 44100)).kind, Kind::ignoredStale);
  EXPECT_EQ(v.firstFrames(proof(4800, 0, 48000, 2)).kind, Kind::ignoredStale);
  EXPECT_EQ(v, started);  // stale proofs add nothing to the window
}

TEST(SourceRecoveryVerifierTest, AGenerationTargetIgnoresOtherOrMissingGenerations) {
  SourceRecoveryVerifier v = startedVerifier(target("Mic", 48000, 1, 7u));
  EXPECT_EQ(v.firstFrames(proof(4800, 0)).kind, Kind::ignoredStale);
  EXPECT_EQ(v.firstFrames(proof(4800, 0, 48000, 1, 6u)).kind, Kind::ignoredStale);
  EXPECT_FALSE(v.observedFrames());
  EXPECT_EQ(v.firstFrames(proof(4800, 0, 48000, 1, 7u)).kind, Kind::waiting);
  EXPECT_TRUE(v.observedFrames());
  // A target without a generation takes any.
  SourceRecoveryVerifier any = startedVerifier();
  EXPECT_EQ(any.firstFrames(proof(4800, 0, 48000, 1, 6u)).kind, Kind::waiting);
}

TEST(SourceRecoveryVerifierTest, VerifiesAfter250MsOfSteadyFrames) {
  SourceRecoveryVerifier v = startedVerifier();
  // 4,800 frames every 100 ms at 48 kHz.
  EXPECT_EQ(v.firstFrames(proof(4800, 1000 * kMs)).kind, Kind::waiting);  // opens the window
  EXPECT_EQ(v.proofWindowStartNs(), 1000 * kMs);
  EXPECT_EQ(v.firstFrames(proof(4800, 1100 * kMs)).kind, Kind::waiting);
  EXPECT_EQ(v.firstFrames(proof(4800, 1200 * kMs)).kind, Kind::waiting);  // 200 ms < 250 ms
  EXPECT_EQ(v.proofWindowFrames(), 14400);
  const auto done = v.firstFrames(proof(4800, 1300 * kMs));  // 19,200 over 300 ms, 14,400 expected
  ASSERT_EQ(done.kind, Kind::verified);
  EXPECT_EQ(*done.target, target());
  EXPECT_EQ(v, SourceRecoveryVerifier{});  // back to idle
  EXPECT_EQ(v.firstFrames(proof(4800, 1400 * kMs)).kind, Kind::ignoredStale);
}

TEST(SourceRecoveryVerifierTest, TooFewFramesForTheElapsedTimeKeepWaiting) {
  // 12,200 frames over 400 ms: at least the 12,000 minimum, but below
  // 0.65 x 19,200 = 12,480.
  SourceRecoveryVerifier slow = startedVerifier();
  EXPECT_EQ(slow.firstFrames(proof(6100, 0)).kind, Kind::waiting);
  EXPECT_EQ(slow.firstFrames(proof(6100, 400 * kMs)).kind, Kind::waiting);
  EXPECT_EQ(slow.proofWindowStartNs(), 0u);  // a slow stretch never restarts the window
  EXPECT_EQ(slow.proofWindowFrames(), 12200);

  SourceRecoveryVerifier enough = startedVerifier();
  EXPECT_EQ(enough.firstFrames(proof(6240, 0)).kind, Kind::waiting);
  EXPECT_EQ(enough.firstFrames(proof(6240, 400 * kMs)).kind, Kind::verified);

  // 250 ms passed but below the 12,000-frame minimum.
  SourceRecoveryVerifier sparse = startedVerifier();
  EXPECT_EQ(sparse.firstFrames(proof(100, 0)).kind, Kind::waiting);
  EXPECT_EQ(sparse.firstFrames(proof(11899, 250 * kMs)).kind, Kind::waiting);
  EXPECT_EQ(sparse.firstFrames(proof(1, 251 * kMs)).kind, Kind::verified);
}

TEST(SourceRecoveryVerifierTest, ASecondGraphStartClosesTheWindowButKeepsTheTarget) {
  SourceRecoveryVerifier v = startedVerifier();
  EXPECT_EQ(v.firstFrames(proof(4800, 0)).kind, Kind::waiting);
  EXPECT_EQ(v.graphStarted("Mic", 48000, 1).kind, Kind::waiting);
  EXPECT_FALSE(v.proofWindowStartNs());
  EXPECT_EQ(v.proofWindowFrames(), 0);
  EXPECT_TRUE(v.observedFrames());
  EXPECT_EQ(v.pending(), target());
}

TEST(SourceRecoveryVerifierTest, TimeoutsOfASupersededRecoveryAreStale) {
  SourceRecoveryVerifier v;
  v.begin(target("Mic", 48000, 1, std::nullopt, 1));
  v.begin(target("Mic", 48000, 1, std::nullopt, 2));
  EXPECT_EQ(v.timeout(1u, "no_sustained_frames_after_graph_start").kind, Kind::ignoredStale);
  EXPECT_EQ(v.pending()->token, 2u);
  EXPECT_EQ(v.timeout(2u, "late"), SourceRecoveryVerifierOutcome::failed("late"));
  EXPECT_EQ(v, SourceRecoveryVerifier{});
  EXPECT_EQ(v.timeout(std::nullopt, "x").kind, Kind::ignoredStale);  // idle

  v.begin(target("Mic", 48000, 1, std::nullopt, 3));
  EXPECT_EQ(v.timeout(std::nullopt, "rebuild_failed"), SourceRecoveryVerifierOutcome::failed("rebuild_failed"));
}

TEST(SourceRecoveryVerifierTest, CancelOnlyAPendingRecovery) {
  SourceRecoveryVerifier v;
  EXPECT_EQ(v.cancel("stop").kind, Kind::ignoredStale);
  v = startedVerifier();
  EXPECT_EQ(v.firstFrames(proof(4800, 0)).kind, Kind::waiting);
  EXPECT_EQ(v.cancel("stop"), SourceRecoveryVerifierOutcome::cancelled("stop"));
  EXPECT_EQ(v, SourceRecoveryVerifier{});
}

TEST(SourceRecoveryVerifierTest, TimeoutLengthIsLongerOnlyForABluetoothMic) {
  EXPECT_EQ(sourceRecoveryTimeoutSeconds(Source::mic, "bluetooth_hfp"), 8);
  EXPECT_EQ(sourceRecoveryTimeoutSeconds(Source::mic, "builtin_mic"), 6);
  EXPECT_EQ(sourceRecoveryTimeoutSeconds(Source::mic, ""), 6);
  EXPECT_EQ(sourceRecoveryTimeoutSeconds(Source::system, "bluetooth_hfp"), 6);
}

TEST(SourceRecoveryVerifierTest, ARetryOnlyWhenNoFrameCameAndBudgetRemains) {
  using A = SourceRecoveryTimeoutAction;
  const std::string noFrames = "no_sustained_frames_after_graph_start";
  EXPECT_EQ(classifySourceRecoveryTimeoutAction(Source::mic, noFrames, false, 0, 1),
            (A{A::Kind::retryMicFreshRebuild, "mic_recovery_timeout_retry"}));
  EXPECT_EQ(classifySourceRecoveryTimeoutAction(Source::system, noFrames, false, 0, 1),
            (A{A::Kind::retrySystemTapRebuild, "system_recovery_timeout_retry"}));
  EXPECT_EQ(classifySourceRecoveryTimeoutAction(Source::mic, noFrames, false, 1, 1).kind, A::Kind::fail);
  EXPECT_EQ(classifySourceRecoveryTimeoutAction(Source::mic, noFrames, true, 0, 1).kind, A::Kind::fail);
  EXPECT_EQ(classifySourceRecoveryTimeoutAction(Source::system, "rebuild_failed", false, 0, 1).kind, A::Kind::fail);
  EXPECT_FALSE(parseSource("other"));  // an unknown source has nothing to retry
}

TEST(SourceRecoveryVerifierTest, DuplicatesAreSuppressedWithinOneRouteEpoch) {
  SourceRecoveryTarget first = target();
  first.routeEpochID = 3;
  SourceRecoveryTarget second = first;
  second.token = 9;
  second.reason = "mic_recovery_timeout_retry";
  second.generation = 5;
  EXPECT_TRUE(shouldSuppressDuplicateSourceRecovered(first, second));
  EXPECT_FALSE(shouldSuppressDuplicateSourceRecovered(std::nullopt, second));
  SourceRecoveryTarget later = second;
  later.routeEpochID = 4;
  EXPECT_FALSE(shouldSuppressDuplicateSourceRecovered(first, later));
  SourceRecoveryTarget noEpoch = second;
  noEpoch.routeEpochID.reset();
  EXPECT_FALSE(shouldSuppressDuplicateSourceRecovered(first, noEpoch));
  SourceRecoveryTarget firstNoEpoch = first;
  firstNoEpoch.routeEpochID.reset();
  EXPECT_FALSE(shouldSuppressDuplicateSourceRecovered(firstNoEpoch, noEpoch));
  for (auto change :
       {+[](SourceRecoveryTarget& t) { t.uid = "Other"; }, +[](SourceRecoveryTarget& t) { t.sampleRate = 44100; },
        +[](SourceRecoveryTarget& t) { t.channels = 2; },
        +[](SourceRecoveryTarget& t) { t.source = Source::system; }}) {
    SourceRecoveryTarget other = second;
    change(other);
    EXPECT_FALSE(shouldSuppressDuplicateSourceRecovered(first, other));
  }
}

}  // namespace
}  // namespace helper
