// Route epochs: how default-device notifications coalesce into one target
// route, how the production route coordinator shadow opens, reuses and
// settles epochs, and how the route epoch model demands sustained,
// on-target frame proof before an epoch settles.
#include <cstdint>
#include <string>

#include "helper/routing/route_coordinator.h"
#include "helper/selftest/control_plane_checks.h"
#include "helper/selftest/route_sim.h"

namespace helper {

namespace {

constexpr uint64_t kMsNs = 1'000'000ULL;
constexpr uint64_t kSecondNs = 1'000 * kMsNs;
constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";
constexpr const char* kBuiltInSpeaker = "BuiltInSpeakerDevice";
constexpr const char* kHeadsetInput = "5E-17-C2-9A-04-DB:input";
constexpr const char* kHeadsetOutput = "5E-17-C2-9A-04-DB:output";
constexpr const char* kHfp = "bluetooth_hfp";
constexpr const char* kBuiltInRoute = "builtin_mic";

// ---- notification accumulator ----

TestRouteNotificationAccumulator pairedSwitch(int ordering) {
  const auto input = TestRouteNotification::input(kBuiltInMic, kBuiltInRoute, 44100, 1'000 * kMsNs);
  const auto output = TestRouteNotification::output(kBuiltInSpeaker, kBuiltInRoute, 44100, 1'050 * kMsNs);
  TestRouteNotificationAccumulator accumulator;
  accumulator.apply(ordering == 0 ? input : output);
  accumulator.apply(ordering == 0 ? output : input);
  return accumulator;
}

void reportPairedOrderings(TestReport& report) {
  TestRouteSnapshot snapshots[2];
  for (int ordering = 0; ordering < 2; ++ordering) {
    const auto accumulator = pairedSwitch(ordering);
    report.check("route_epoch_accumulator_snapshots_after_settle_" + std::to_string(ordering),
                 accumulator.canSnapshot(1'350 * kMsNs, true),
                 "route snapshot should wait only until the settle window elapses");
    snapshots[ordering] = accumulator.snapshot();
  }
  report.check("route_epoch_paired_switch_order_independent", snapshots[0] == snapshots[1],
               "paired input/output notifications should converge independent of order");
}

void reportLateCounterpart(TestReport& report) {
  TestRouteNotificationAccumulator late;
  late.apply(TestRouteNotification::input(kBuiltInMic, kBuiltInRoute, 96000, 1 * kSecondNs));
  report.check("route_epoch_paired_trace_window_waits_for_late_counterpart", !late.canSnapshot(2'300 * kMsNs, true),
               "trace matrix saw paired notifications roughly 2s apart");
  late.apply(TestRouteNotification::output(kBuiltInSpeaker, kBuiltInRoute, 96000, 3 * kSecondNs));
  report.check("route_epoch_paired_trace_window_snapshots_after_late_counterpart_settles",
               late.canSnapshot(3'300 * kMsNs, true),
               "paired epoch should settle after both sides arrive and quiet down");

  TestRouteNotificationAccumulator missing;
  missing.apply(TestRouteNotification::input(kBuiltInMic, kBuiltInRoute, 96000, 1 * kSecondNs));
  report.check("route_epoch_paired_trace_window_maxes_if_counterpart_missing", missing.canSnapshot(3'500 * kMsNs, true),
               "a missing counterpart must not leave the epoch open indefinitely");

  TestRouteNotificationAccumulator outputOnly;
  outputOnly.apply(TestRouteNotification::output(kHeadsetOutput, kHfp, 44100, 1 * kSecondNs));
  report.check("route_epoch_output_only_snapshot_after_quiet_window", outputOnly.canSnapshot(1'300 * kMsNs, false),
               "Scenario 3 output-only switches should not wait for an input notification");
}

// ---- route coordinator shadow ----

using ShadowPhase = RouteCoordinatorShadowPhase;

RouteCoordinatorShadowSourceResult proveSource(RouteCoordinatorShadow& shadow, Source source, uint64_t epoch,
                                               const std::string& uid, int64_t rate) {
  const int64_t channels = source == Source::mic ? 1 : 2;
  shadow.sourceGraphStarted(source, epoch, uid, rate, channels);
  return shadow.sourceVerified(source, epoch, uid, rate, channels);
}

// Output-only epoch, its paired counterpart, then a change after the
// coalesce window and a late callback of the old epoch.
void reportShadowCoalescing(TestReport& report) {
  RouteCoordinatorShadow shadow;
  const auto output = shadow.observeOutput(kBuiltInSpeaker, kBuiltInRoute, 96000, 1 * kSecondNs);
  report.check("route_coordinator_shadow_output_starts_epoch",
               output.startedNewEpoch && output.routeClass == "output_only",
               "output-only notifications should start a system-owned shadow epoch");
  const uint64_t first = output.epochID;
  proveSource(shadow, Source::system, first, kBuiltInSpeaker, 96000);
  report.check("route_coordinator_shadow_output_only_settles_on_system", shadow.phase == ShadowPhase::settled,
               "output-only epochs should settle from system proof alone");
  const auto input = shadow.observeInput(kBuiltInMic, kBuiltInRoute, 96000, 2 * kSecondNs);
  report.check("route_coordinator_shadow_late_input_reuses_epoch",
               !input.startedNewEpoch && input.epochID == first && input.routeClass == "paired" &&
                   input.phase == ShadowPhase::verifying,
               "paired counterpart inside the coalesce window should reopen the same shadow epoch");
  proveSource(shadow, Source::mic, first, kBuiltInMic, 96000);
  report.check("route_coordinator_shadow_paired_settles_after_both_sources", shadow.phase == ShadowPhase::settled,
               "paired shadow epochs should wait for both required source proofs");
  const auto next = shadow.observeOutput(kHeadsetOutput, kHfp, 44100, 4 * kSecondNs);
  report.check("route_coordinator_shadow_new_epoch_after_coalesce_window", next.startedNewEpoch && next.epochID > first,
               "route changes after the max coalesce window should supersede the old shadow epoch");
  const auto stale = shadow.sourceVerified(Source::system, first, kHeadsetOutput, 44100, 2);
  report.check("route_coordinator_shadow_ignores_stale_source_epoch",
               !stale.accepted && shadow.epochID == next.epochID && shadow.phase == ShadowPhase::verifying &&
                   !shadow.systemVerified,
               "late source callbacks from older epochs must not mutate the current shadow epoch");
}

// Built-in to headset: output first, then the paired hands-free input, a
// same-UID rate correction, and a cancel.
void reportShadowReverseBluetooth(TestReport& report) {
  RouteCoordinatorShadow shadow;
  const uint64_t epoch = shadow.observeOutput(kHeadsetOutput, kHfp, 44100, 10 * kSecondNs).epochID;
  proveSource(shadow, Source::system, epoch, kHeadsetOutput, 44100);
  const auto input = shadow.observeInput(kHeadsetInput, kHfp, 16000, 12 * kSecondNs);
  report.check("route_coordinator_shadow_reverse_bt_pairs_after_output_first", input.routeClass == "paired_bt_hfp",
               "reverse built-in-to-BT switches first report the BT output, then the paired HFP input");
  const auto correction = shadow.observeOutput(kHeadsetOutput, kHfp, 16000, 13'200 * kMsNs);
  report.check("route_coordinator_shadow_same_uid_stale_rate_preserves_paired_context",
               correction.routeClass == "paired_bt_hfp" && correction.requiresMicVerification,
               "same-UID BT stale-rate correction should keep the paired input requirement");
  const uint64_t current = correction.epochID;
  const auto system = proveSource(shadow, Source::system, current, kHeadsetOutput, 16000);
  report.check("route_coordinator_shadow_stale_rate_waits_for_paired_mic",
               system.accepted && shadow.phase != ShadowPhase::settled,
               "system proof alone should not settle a paired BT correction");
  proveSource(shadow, Source::mic, current, kHeadsetInput, 16000);
  report.check("route_coordinator_shadow_stale_rate_settles_after_paired_mic", shadow.phase == ShadowPhase::settled,
               "paired BT correction should settle only after the mic proves the same epoch");
  shadow.cancel("stop");
  const auto late = shadow.sourceGraphStarted(Source::system, current, kHeadsetOutput, 16000, 2);
  report.check("route_coordinator_shadow_cancel_blocks_late_graph",
               shadow.phase == ShadowPhase::cancelled && !late.accepted,
               "stop/cancel should win over late route graph callbacks");
}

}  // namespace

void runRouteAccumulatorChecks(TestReport& report) {
  reportPairedOrderings(report);
  reportLateCounterpart(report);
}

void runRouteShadowChecks(TestReport& report) {
  reportShadowCoalescing(report);
  reportShadowReverseBluetooth(report);
}

}  // namespace helper
