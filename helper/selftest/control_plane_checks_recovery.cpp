// Source recovery: a rebuilt source is back only after its graph started
// and then sustained matching frames arrived; stale frames and time-outs
// change nothing; time-outs retry at most once; the mic retry budget lasts
// across begins until a verification.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "helper/core/capture/capture_state.h"
#include "helper/core/source/source_recovery.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/selftest/control_plane_checks.h"

namespace helper {

namespace {

using Outcome = SourceRecoveryVerifierOutcome;
using Kind = SourceRecoveryVerifierOutcome::Kind;
using ActionKind = SourceRecoveryTimeoutAction::Kind;

constexpr uint64_t kMsNs = 1'000'000ULL;
constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";
constexpr const char* kHeadsetInput = "5E-17-C2-9A-04-DB:input";
constexpr const char* kNoSustainedFrames = "no_sustained_frames_after_graph_start";

SourceRecoveryTarget micTarget(const std::string& uid, int64_t rate, std::optional<uint32_t> generation,
                               const std::string& reason, uint64_t token) {
  return {Source::mic, uid, rate, 1, generation, reason, token, std::nullopt};
}

SourceRecoveryFrameProof proof(const std::string& uid, int64_t rate, int64_t channels,
                               std::optional<uint32_t> generation, int64_t frames, uint64_t atMs) {
  return {uid, rate, channels, generation, frames, atMs * kMsNs};
}

bool verifiedWith(const Outcome& outcome, const SourceRecoveryTarget& target) {
  return outcome.kind == Kind::verified && outcome.target == target;
}

// Built-in mic after an input change: graph start, a stray device, then
// sustained frames, then a duplicate.
void reportSustainedProof(TestReport& report) {
  SourceRecoveryVerifier verifier;
  const auto target = micTarget(kBuiltInMic, 44100, 2, "input_device_changed", 1);
  verifier.begin(target);
  const auto started = verifier.graphStarted(kBuiltInMic, 44100, 1);
  report.check("source_recovery_engine_start_without_frames_waits",
               started.kind == Kind::waiting && verifier.pending() == target, "graph start is not recovery proof");
  const auto stray = verifier.firstFrames(proof("pixelbuds:input", 16000, 1, 2, 1600, 1000));
  report.check("source_recovery_stale_target_frames_do_not_verify",
               stray.kind != Kind::verified && verifier.pending() == target,
               "first frames from the wrong UID must be ignored");
  const auto first = verifier.firstFrames(proof(kBuiltInMic, 44100, 1, 2, 4410, 1000));
  report.check("source_recovery_expected_first_frames_wait_for_cadence", first.kind == Kind::waiting,
               "first matching callback starts proof but does not prove sustained capture");
  const auto second = verifier.firstFrames(proof(kBuiltInMic, 44100, 1, 2, 4410, 1120));
  const auto third = verifier.firstFrames(proof(kBuiltInMic, 44100, 1, 2, 4410, 1260));
  report.check("source_recovery_expected_sustained_frames_verify_once",
               second.kind == Kind::waiting && verifiedWith(third, target),
               "expected-target frames must prove sustained cadence before recovery");
  const auto duplicate = verifier.firstFrames(proof(kBuiltInMic, 44100, 1, 2, 4410, 1280));
  report.check("source_recovery_duplicate_frames_ignored_after_verified",
               duplicate.kind != Kind::verified && !verifier.pending(),
               "verified recovery should clear the pending verifier");
}

void reportDuplicateSuppression(TestReport& report) {
  auto previous = micTarget(kBuiltInMic, 44100, 2, "input_device_changed", 1);
  previous.routeEpochID = 7;
  auto sameEpoch = micTarget(kBuiltInMic, 44100, 2, "input_device_changed", 2);
  sameEpoch.routeEpochID = 7;
  report.check("source_recovered_same_route_epoch_duplicate_suppressed",
               shouldSuppressDuplicateSourceRecovered(previous, sameEpoch),
               "Bluetooth HFP can emit a same-route settle reconnect after the route already recovered");
  auto laterEpoch = sameEpoch;
  laterEpoch.routeEpochID = 8;
  report.check("source_recovered_new_route_epoch_not_suppressed",
               !shouldSuppressDuplicateSourceRecovered(previous, laterEpoch),
               "a later user-visible route change still needs a recovered event");
  auto noEpoch = sameEpoch;
  noEpoch.routeEpochID.reset();
  report.check("source_recovered_without_route_epoch_not_suppressed",
               !shouldSuppressDuplicateSourceRecovered(previous, noEpoch),
               "startup same-device format stabilization is not a route-epoch duplicate");
}

// A hands-free mic whose one 100 ms callback is followed by silence, and a
// newer recovery that replaces an older one.
void reportBurstAndSupersede(TestReport& report) {
  const auto headset = micTarget(kHeadsetInput, 16000, std::nullopt, "engine_stopped_same_input", 3);
  SourceRecoveryVerifier burst;
  burst.begin(headset);
  burst.graphStarted(kHeadsetInput, 16000, 1);
  const auto afterBurst = burst.firstFrames(proof(kHeadsetInput, 16000, 1, std::nullopt, 1600, 2000));
  const auto timedOut = burst.timeout(headset.token, "no_sustained_frames_after_initial_burst");
  report.check("source_recovery_initial_burst_then_starvation_not_recovered",
               afterBurst.kind == Kind::waiting && timedOut.kind == Kind::failed,
               "a single 100ms HFP callback can arrive before mic cadence collapses; it must not publish recovered");

  SourceRecoveryVerifier superseded;
  superseded.begin(headset);
  superseded.graphStarted(kHeadsetInput, 16000, 1);
  const auto newer = micTarget(kHeadsetInput, 96000, 3, "input_device_changed", 4);
  superseded.begin(newer);
  const auto old = superseded.firstFrames(proof(kHeadsetInput, 16000, 1, std::nullopt, 1600, 3000));
  report.check("source_recovery_new_begin_supersedes_old_pending",
               old.kind != Kind::verified && superseded.pending() == newer,
               "starting a new recovery target must replace old pending proof state");
}

void reportTimeouts(TestReport& report) {
  SourceRecoveryVerifier system;
  system.begin(
      {Source::system, "5E-17-C2-9A-04-DB:output", 16000, 2, std::nullopt, "system_stale_rate", 10, std::nullopt});
  report.check("source_recovery_stale_timeout_ignored",
               system.timeout(9, "no_frames_after_graph_start").kind == Kind::ignoredStale,
               "old timeout callbacks must not fail a newer pending recovery");
  report.check("source_recovery_no_frame_timeout_fails_not_recovers",
               system.timeout(10, "no_frames_after_graph_start").kind == Kind::failed,
               "no-frame timeout must produce failure/retry, not recovered");
}

struct TimeoutActionRow {
  const char* name;
  const char* source;
  bool observedFrames;
  int64_t retriesUsed;
  SourceRecoveryTimeoutAction expected;
  const char* reason;
};

void reportTimeoutActions(TestReport& report) {
  const SourceRecoveryTimeoutAction fail{ActionKind::fail, {}};
  const std::vector<TimeoutActionRow> rows = {
      {"source_recovery_system_sparse_frames_timeout_does_not_rebuild", "system", true, 0, fail,
       "if the system tap produced frames, sparse cadence should surface a recoverable failure instead of pausing "
       "audio with another forced rebuild"},
      {"source_recovery_system_no_frames_timeout_retries_once",
       "system",
       false,
       0,
       {ActionKind::retrySystemTapRebuild, "system_recovery_timeout_retry"},
       "system graph with no frames at all can retry the tap once before surfacing failure"},
      {"source_recovery_system_sparse_frames_retry_exhaustion_fails", "system", false, 1, fail,
       "system tap retry must be bounded"},
      {"source_recovery_mic_sparse_frames_timeout_still_fails", "mic", true, 0, fail,
       "the mic no-frame regression remains fail/retry-at-reconnect, not false recovered"},
      {"source_recovery_mic_no_frames_timeout_retries_once",
       "mic",
       false,
       0,
       {ActionKind::retryMicFreshRebuild, "mic_recovery_timeout_retry"},
       "mic graph with no frames after restart should get one bounded fresh rebuild before source_failed"},
      {"source_recovery_mic_no_frames_retry_exhaustion_fails", "mic", false, 1, fail,
       "mic recovery timeout retry must be bounded"},
  };
  for (const auto& row : rows) {
    const Source source = parseSource(row.source).value_or(Source::mic);
    const int64_t maxRetries = source == Source::mic ? kMicRecoveryTimeoutMaxRetries : kSystemRecoveryTimeoutMaxRetries;
    const auto action = classifySourceRecoveryTimeoutAction(source, kNoSustainedFrames, row.observedFrames,
                                                            row.retriesUsed, maxRetries);
    report.check(row.name, action == row.expected, row.reason);
  }
  report.check("source_recovery_bt_hfp_mic_timeout_is_route_aware",
               sourceRecoveryTimeoutSeconds(Source::mic, "bluetooth_hfp") == 8,
               "Bluetooth HFP mic route churn needs enough time for the deferred reconnect to mature");
  report.check("source_recovery_builtin_mic_timeout_stays_default",
               sourceRecoveryTimeoutSeconds(Source::mic, "builtin_mic") == 6,
               "non-HFP mic recovery should keep the existing conservative timeout");
}

// The mic's recovery in a capture without sources: nothing is created in
// its session directory, its time-outs are never scheduled (the suite ends
// first) and its events stay with the suite.
struct RecoveryUnderTest {
  std::shared_ptr<CaptureState> session;
  std::shared_ptr<SourceRecovery> mic;
};
RecoveryUnderTest makeMicRecovery(std::shared_ptr<std::vector<Event>> events) {
  std::error_code ec;
  const auto temp = std::filesystem::temp_directory_path(ec);
  CaptureConfig config;
  config.sessionDir = ec ? std::string("/tmp") : temp.string();
  config.sessionUUID = "test";
  config.segmentSeconds = 30;
  config.canonicalRate = 24000;
  config.canonicalMicChannels = 1;
  config.canonicalSystemChannels = 1;
  RecoveryUnderTest r;
  r.session = std::make_shared<CaptureState>(config);
  r.mic = SourceRecovery::make(Source::mic, *r.session);
  r.mic->setTimeoutScheduler([](uint64_t, std::function<void()>) {});
  r.mic->setOutputs([events](const Event& e) { events->push_back(e); },
                    [](const std::string&, Source, const nlohmann::json&) {});
  return r;
}

size_t countOfType(const std::vector<Event>& events, const std::string& type) {
  size_t n = 0;
  for (const auto& e : events) {
    const auto it = e.find("type");
    if (it != e.end() && *it == type) ++n;
  }
  return n;
}

void reportRetryBudget(TestReport& report) {
  const auto events = std::make_shared<std::vector<Event>>();
  const auto r = makeMicRecovery(events);
  SourceRecovery& recovery = *r.mic;
  recovery.setRetriesUsed(1);
  recovery.begin(micTarget(kBuiltInMic, 24000, 4, "input_device_changed", 0));
  report.check("source_recovery_mic_retry_budget_not_reset_by_new_begin", recovery.retriesUsed() == 1,
               "interleaved recovery begins must not refresh a retry episode");
  recovery.graphStarted(kBuiltInMic, 24000, 1);
  recovery.verifyFromFrames(proof(kBuiltInMic, 24000, 1, 4, 1200, 1000));
  recovery.verifyFromFrames(proof(kBuiltInMic, 24000, 1, 4, 6000, 1300));
  report.check("source_recovery_mic_retry_budget_resets_on_verified",
               recovery.retriesUsed() == 0 && countOfType(*events, "source_recovered") == 1,
               "a verified source_recovered event starts the next retry episode cleanly");
}

void reportCancelAndEffectiveMono(TestReport& report) {
  SourceRecoveryVerifier cancelled;
  cancelled.begin(micTarget(kBuiltInMic, 44100, 3, "input_device_changed", 20));
  const auto cancel = cancelled.cancel("stop");
  const auto lateStart = cancelled.graphStarted(kBuiltInMic, 44100, 1);
  const auto lateFrames = cancelled.firstFrames(proof(kBuiltInMic, 44100, 1, 3, 4410, 3000));
  report.check("source_recovery_stop_cancels_pending",
               cancel == Outcome::cancelled("stop") && lateStart.kind == Kind::ignoredStale &&
                   lateFrames.kind == Kind::ignoredStale && !cancelled.pending(),
               "stop must cancel pending recovery and ignore late frames");

  SourceRecoveryVerifier builtIn;
  const auto target = micTarget(kBuiltInMic, 44100, 4, "input_device_changed", 21);
  builtIn.begin(target);
  builtIn.graphStarted(kBuiltInMic, 44100, 1);
  const auto hardware = builtIn.firstFrames(proof(kBuiltInMic, 44100, 3, 4, 4410, 3000));
  report.check("source_recovery_builtin_3ch_hardware_not_effective_proof", hardware.kind != Kind::verified,
               "hardware 3ch must not verify a mono capture target by itself");
  const auto mono = builtIn.firstFrames(proof(kBuiltInMic, 44100, 1, 4, 4410, 3000));
  report.check("source_recovery_builtin_effective_mono_waits_for_cadence", mono.kind == Kind::waiting,
               "effective mono proof still needs sustained cadence");
  const auto sustained = builtIn.firstFrames(proof(kBuiltInMic, 44100, 1, 4, 8820, 3250));
  report.check("source_recovery_builtin_effective_mono_frames_verify", verifiedWith(sustained, target),
               "built-in 3ch hardware is accepted only through effective mono frames");
}

}  // namespace

void runSourceRecoveryChecks(TestReport& report) {
  reportSustainedProof(report);
  reportDuplicateSuppression(report);
  reportBurstAndSupersede(report);
  reportTimeouts(report);
  reportTimeoutActions(report);
  reportRetryBudget(report);
  reportCancelAndEffectiveMono(report);
}

}  // namespace helper
