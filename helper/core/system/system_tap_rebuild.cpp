#include "helper/core/system/system_tap_rebuild.h"

#include <cmath>
#include <mutex>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/routing/device_properties.h"
#include "helper/routing/source_recovery_verifier.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr const char* kRecheckAfterRebuildTrigger = "rebuild_recheck";
constexpr const char* kRecheckAfterResumeTrigger = "resume_recheck";

// Guards gSystemRebuildScheduled and the two re-checks below.
std::mutex gSystemRebuildScheduleLock;
// The reason of the last request dropped while a rebuild was in flight.
std::optional<std::string> gSystemRebuildRecheckReason;
// The reason of a rebuild skipped because the system writer was paused.
std::optional<std::string> gSystemRebuildSkippedWhilePausedReason;

const char* traceStageFor(const std::string& trigger) {
  if (trigger == "default_output") return "default_output_notification";
  if (trigger == "default_system_output") return "default_system_output_notification";
  return "system_output_route_observed";
}

int64_t truncatedRate(std::optional<double> rate) { return rate && std::isfinite(*rate) ? truncToInt64(*rate) : 0; }

// The output device the system side should follow, with what the
// observations trace about it.
struct ObservedOutput {
  uint32_t device = 0;
  std::string uid;
  std::string name;
  std::string transport;
  std::optional<double> nominalRate;
};

std::optional<ObservedOutput> observeCurrentOutput(const std::string& reason) {
  const std::optional<uint32_t> device = readPreferredSystemCaptureOutputDevice();
  const std::optional<std::string> uid = device ? readDeviceUID(*device) : std::nullopt;
  if (!device || !uid || uid->empty()) {
    emitWarning("system_route_rebuild_unavailable", reason + ": no default output device available");
    return std::nullopt;
  }
  return ObservedOutput{*device, *uid, readDeviceName(*device).value_or(""), readDeviceTransportType(*device),
                        readDeviceNominalSampleRate(*device)};
}

int64_t currentSystemRate(const CaptureState& state) {
  const auto& writer = state.sysWriter();
  return writer ? writer->nativeRateNow() : 0;
}

void addCadenceFields(nlohmann::json& fields, const SystemCadenceObservation& observation,
                      std::optional<double> consumerNativeRate) {
  fields["cadence_frames"] = observation.canonicalFrames;
  fields["cadence_wall_ms"] = observation.wallMs;
  fields["cadence_frame_duration_ms"] = truncToInt64(observation.frameDurationMs());
  fields["cadence_drift_ms"] = truncToInt64(observation.driftMs());
  fields["cadence_drift_ratio"] = observation.driftRatio();
  if (consumerNativeRate) {
    if (auto inferred = observation.inferredProducerRate(*consumerNativeRate)) {
      fields["inferred_producer_rate"] = truncToInt64(*inferred);
    }
  }
}

bool captureEnding(const CaptureState& state) { return !gIsRunning.load() || state.isStopClaimed(); }

// What the rebuild read of the output it leaves.
struct OldOutput {
  std::string uid;
  std::string name;
  int64_t rate = 0;
  int64_t channels = 0;
};

void traceRebuildBegin(const OldOutput& old, uint32_t newOutputID, const std::string& newUID, const std::string& reason,
                       bool force) {
  emitRouteTrace("system_rebuild_begin", "system",
                 {{"old_uid", old.uid},
                  {"old_name", old.name},
                  {"old_rate", old.rate},
                  {"old_channels", old.channels},
                  {"new_uid", newUID},
                  {"new_name", readDeviceName(newOutputID).value_or("")},
                  {"new_transport", readDeviceTransportType(newOutputID)},
                  {"new_nominal_rate", readDeviceNominalSampleRate(newOutputID).value_or(0)},
                  {"reason", reason},
                  {"force", force}});
}

void traceRebuildStarted(const SystemTapStartResult& r) {
  emitRouteTrace("system_rebuild_started", "system",
                 {{"output_uid", r.outputUID},
                  {"output_name", r.outputName},
                  {"native_rate", r.nativeRate},
                  {"native_channels", r.nativeChannels},
                  {"tap_channels", r.tapChannels},
                  {"rate_source", r.rateResolution.source},
                  {"tap_asbd_rate", r.rateResolution.tapAsbdRate},
                  {"effective_rate", r.rateResolution.effectiveRate},
                  {"output_nominal_rate", r.outputNominalRate.value_or(0)},
                  {"aggregate_nominal_rate", r.aggregateNominalRate.value_or(0)},
                  {"output_transport", r.outputTransport}});
}

// The start failed after the old graph was stopped: the partial graph goes,
// the source is reported failed but recoverable, and the failed device is
// forgotten so that its next notification rebuilds.
void failRebuildStart(CaptureState& state, const std::string& reason, const std::string& code, const std::string& ctx) {
  stopActiveSystemTapGraph(state, 1.0, "partial system route rebuild cleanup timed out");
  state.setSysOutputUID("");
  state.setSysOutputName("");
  state.emitSourceFailed(Source::system, reason, true);
  state.failPendingSourceRecovery(Source::system, reason);
  emitWarning(code, ctx);
}

void announceNewOutput(const OldOutput& old, const SystemTapStartResult& r) {
  emitEvent(Event{
      {"type", "device_change"},
      {"src", "system"},
      {"from", {{"uid", old.uid}, {"name", old.name}, {"native_rate", old.rate}, {"native_channels", old.channels}}},
      {"to",
       {{"uid", r.outputUID},
        {"name", r.outputName},
        {"native_rate", truncToInt64(r.nativeRate)},
        {"native_channels", r.nativeChannels}}},
      {"gap_ms", 0},
      {"canonical_preserved", true}});
  emitEvent(Event{{"type", "output_device_changed"},
                  {"device_class", r.outputClassification.deviceClass},
                  {"echo_risk_after", r.outputClassification.echoRisk}});
  if (r.rateResolution.source != kRateSourceTapAsbd) {
    emitWarning("system_rate_override", "system rate overridden from " +
                                            std::to_string(truncToInt64(r.rateResolution.tapAsbdRate)) + " Hz to " +
                                            std::to_string(truncToInt64(r.rateResolution.effectiveRate)) + " Hz via " +
                                            r.rateResolution.source);
  }
}

// The rebuild proper, under both locks, once it is known to be due.
void runRebuild(CaptureState& state, uint32_t newOutputID, const std::string& newUID, const std::string& reason,
                bool force) {
  const auto& writer = state.sysWriter();
  const OldOutput old{state.sysOutputUID(), state.sysOutputName(), writer->nativeRateNow(),
                      writer->nativeChannelsNow()};
  traceRebuildBegin(old, newOutputID, newUID, reason, force);
  emitEvent(Event{{"type", "source_reconnecting"},
                  {"source", "system"},
                  {"reason", reason},
                  {"sample_rate", old.rate},
                  {"channels", old.channels}});
  // Rate and channels unknown: the graph start fills in the effective
  // rate, which may differ from the device's nominal rate.
  state.beginSourceRecovery(SourceRecoveryTarget{Source::system, newUID, 0, 0, std::nullopt, reason, 0, std::nullopt});

  stopActiveSystemTapGraph(state, 3.0, "system consumer did not exit within 3s during output route rebuild");
  if (auto sealed = writer->sealFinal()) emitAll(buildSegClosedEvents(*sealed));
  // A stop claimed meanwhile seals and ends the session itself; a graph
  // started now would only be torn down again.
  if (captureEnding(state)) return;

  SystemTapStartResult result;
  try {
    result = startSystemTapGraph(state, newOutputID, true);
  } catch (const SystemTapGraphError& e) {
    failRebuildStart(state, e.reason, e.reason, e.ctx);
    return;
  } catch (const std::exception& e) {
    failRebuildStart(state, "system_route_rebuild_failed", "system_route_rebuild_failed", e.what());
    return;
  }
  traceRebuildStarted(result);
  state.markSourceRecoveryGraphStarted(Source::system, result.outputUID, truncToInt64(result.nativeRate),
                                       result.nativeChannels);
  announceNewOutput(old, result);
}

// Frees the rebuild slot; the reason of a request dropped meanwhile, if any.
std::optional<std::string> releaseRebuildSlot() {
  std::lock_guard lock(gSystemRebuildScheduleLock);
  gSystemRebuildScheduled.store(0);
  std::optional<std::string> recheck;
  recheck.swap(gSystemRebuildRecheckReason);
  return recheck;
}

void rememberSkippedWhilePaused(const std::string& reason) {
  std::lock_guard lock(gSystemRebuildScheduleLock);
  gSystemRebuildSkippedWhilePausedReason = reason;
}

// One look at the current output. The coordinator was told of a re-check's
// output when its request was dropped or skipped, so a re-check tells it
// only of an output it rebuilds for: observed again, the output would clear
// the start of the graph that already follows it, and that graph's
// verification would be refused.
void lookAtCurrentOutput(CaptureState& state, const std::string& reason, const std::string& trigger,
                         bool allowSameUIDRateChange, const std::optional<SystemCadenceObservation>& observation,
                         std::optional<double> consumerNativeRate, bool recheck) {
  const std::optional<ObservedOutput> output = observeCurrentOutput(reason);
  if (!output) return;
  const std::string currentUID = state.sysOutputUID();
  const int64_t currentRate = currentSystemRate(state);
  const SystemOutputRouteChangeDecision decision = classifySystemOutputRouteChange(
      currentUID, output->uid, currentRate, output->nominalRate, allowSameUIDRateChange);
  nlohmann::json fields{{"reason", reason},
                        {"trigger", trigger},
                        {"current_uid", currentUID},
                        {"observed_uid", output->uid},
                        {"observed_name", output->name},
                        {"observed_transport", output->transport},
                        {"current_rate", currentRate},
                        {"observed_nominal_rate", output->nominalRate.value_or(0)},
                        {"uid_changed", decision.uidChanged},
                        {"nominal_rate_changed", decision.nominalRateChanged},
                        {"should_rebuild", decision.shouldRebuild},
                        {"force", decision.force}};
  if (observation) addCadenceFields(fields, *observation, consumerNativeRate);
  emitRouteTrace(traceStageFor(trigger), "system", fields);
  if (!recheck || decision.shouldRebuild) {
    state.observeRouteCoordinatorOutput(output->uid, output->transport, truncatedRate(output->nominalRate), reason,
                                        trigger, decision.shouldRebuild, decision.force);
  }
  if (decision.shouldRebuild) scheduleSystemTapRebuild(state, output->device, output->uid, reason, decision.force);
}

}  // namespace

SystemOutputRouteChangeDecision classifySystemOutputRouteChange(const std::string& currentUID,
                                                                const std::string& observedUID,
                                                                int64_t currentNativeRate,
                                                                std::optional<double> observedNominalRate,
                                                                bool allowSameUIDRateChange) {
  if (observedUID.empty()) return {};
  const bool sameUID = observedUID == currentUID;
  const int64_t observedRate = truncatedRate(observedNominalRate);
  const bool rateApplies = observedRate >= 1 && allowSameUIDRateChange && currentNativeRate >= 1;
  const bool rateChanged = rateApplies && observedRate != currentNativeRate;
  if (sameUID) return {rateChanged, rateChanged, false, rateChanged};
  return {true, false, true, rateChanged};
}

bool markSystemRebuildScheduled(const std::string& reason) {
  {
    std::lock_guard lock(gSystemRebuildScheduleLock);
    if (gSystemRebuildScheduled.load() == 0) {
      gSystemRebuildScheduled.store(1);
      return true;
    }
    gSystemRebuildRecheckReason = reason;
  }
  emitRouteTrace("system_rebuild_schedule_suppressed", "system",
                 {{"reason", reason}, {"suppressed_reason", "already_scheduled"}});
  return false;
}

void scheduleSystemTapRebuild(CaptureState& state, uint32_t newOutputID, const std::string& newUID,
                              const std::string& reason, bool force) {
  if (!markSystemRebuildScheduled(reason)) return;
  std::weak_ptr<CaptureState> weak = state.weak_from_this();
  platform::dispatch::globalQueue(platform::dispatch::Qos::userInitiated)
      ->async([weak, newOutputID, newUID, reason, force] {
        if (auto s = weak.lock()) {
          rebuildSystemTapForOutputChange(*s, newOutputID, newUID, reason, force);
        } else {
          releaseRebuildSlot();
        }
      });
}

void scheduleSystemTapRebuildForCurrentOutput(CaptureState& state, const std::string& reason,
                                              const std::string& trigger, bool allowSameUIDRateChange,
                                              const std::optional<SystemCadenceObservation>& observation,
                                              std::optional<double> consumerNativeRate) {
  lookAtCurrentOutput(state, reason, trigger, allowSameUIDRateChange, observation, consumerNativeRate, false);
}

void scheduleSystemTapRebuildForRecoveryRetry(CaptureState& state, const std::string& reason, int64_t attempt) {
  const std::optional<ObservedOutput> output = observeCurrentOutput(reason);
  if (!output) return;
  emitRouteTrace("system_recovery_retry", "system",
                 {{"reason", reason},
                  {"trigger", "source_recovery_timeout"},
                  {"attempt", attempt},
                  {"current_uid", state.sysOutputUID()},
                  {"observed_uid", output->uid},
                  {"observed_name", output->name},
                  {"observed_transport", output->transport},
                  {"current_rate", currentSystemRate(state)},
                  {"observed_nominal_rate", output->nominalRate.value_or(0)},
                  {"should_rebuild", true},
                  {"force", true}});
  state.observeRouteCoordinatorOutput(output->uid, output->transport, truncatedRate(output->nominalRate), reason,
                                      "source_recovery_timeout", true, true);
  scheduleSystemTapRebuild(state, output->device, output->uid, reason, true);
}

void rebuildSystemTapForOutputChange(CaptureState& state, uint32_t newOutputID, const std::string& newUID,
                                     const std::string& reason, bool force) {
  std::optional<std::string> recheck;
  {
    std::lock_guard graph(state.systemGraphLock());
    std::lock_guard lifecycle(state.lifecycleLock());
    const auto& writer = state.sysWriter();
    if (captureEnding(state) || !writer) {
      // Nothing to rebuild for.
    } else if (writer->paused()) {
      rememberSkippedWhilePaused(reason);
    } else if (force || newUID != state.sysOutputUID()) {
      runRebuild(state, newOutputID, newUID, reason, force);
    }
    // Freed before the graph lock, as the lock order wants; a request that
    // comes now finds the slot free and schedules its own rebuild.
    recheck = releaseRebuildSlot();
  }
  // Requests dropped during this rebuild may have seen an output that
  // moved on again since: one look at the current output, which rebuilds
  // nothing when the graph already follows it.
  if (!recheck || captureEnding(state)) return;
  lookAtCurrentOutput(state, *recheck, kRecheckAfterRebuildTrigger, true, std::nullopt, std::nullopt, true);
}

void recheckSystemTapRebuildAfterResume(CaptureState& state) {
  std::optional<std::string> skipped;
  {
    std::lock_guard lock(gSystemRebuildScheduleLock);
    skipped.swap(gSystemRebuildSkippedWhilePausedReason);
  }
  if (!skipped || captureEnding(state)) return;
  lookAtCurrentOutput(state, *skipped, kRecheckAfterResumeTrigger, true, std::nullopt, std::nullopt, true);
}

}  // namespace helper
