#include "helper/core/system/system_tap_rebuild.h"

#include <cmath>
#include <mutex>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/core/system/system_source.h"
#include "helper/routing/device_properties.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr const char* kRecheckAfterRebuildTrigger = "rebuild_recheck";
constexpr const char* kRecheckAfterResumeTrigger = "resume_recheck";

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

int64_t currentSystemRate(const SystemSource& system) { return system.writer()->nativeRateNow(); }

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

bool captureEnding(const SystemSource& system) { return system.session().isStopClaimed(); }

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
void failRebuildStart(SystemSource& system, const std::string& reason, const std::string& code, const std::string& ctx)
    VR_REQUIRES(system.graphLock(), sessionLifecycleLock) {
  stopActiveSystemTapGraph(system, 1.0, "partial system route rebuild cleanup timed out");
  system.forgetOutputDevice();
  system.recovery().reportFailed(reason, true);
  system.recovery().fail(reason);
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
void runRebuild(SystemSource& system, uint32_t newOutputID, const std::string& newUID, const std::string& reason,
                bool force) VR_REQUIRES(system.graphLock(), sessionLifecycleLock) {
  const auto& writer = system.writer();
  const OldOutput old{system.outputUID(), system.outputName(), writer->nativeRateNow(), writer->nativeChannelsNow()};
  traceRebuildBegin(old, newOutputID, newUID, reason, force);
  emitEvent(Event{{"type", "source_reconnecting"},
                  {"source", "system"},
                  {"reason", reason},
                  {"sample_rate", old.rate},
                  {"channels", old.channels}});
  // Rate and channels unknown: the graph start fills in the effective
  // rate, which may differ from the device's nominal rate.
  system.recovery().begin(SourceRecoveryTarget{Source::system, newUID, 0, 0, std::nullopt, reason, 0, std::nullopt});

  stopActiveSystemTapGraph(system, 3.0, "system consumer did not exit within 3s during output route rebuild");
  sealAndAnnounce(*writer);
  // A stop claimed meanwhile seals and ends the session itself; a graph
  // started now would only be torn down again.
  if (captureEnding(system)) return;

  SystemTapStartResult result;
  try {
    result = startSystemTapGraph(system, newOutputID, true);
  } catch (const SystemTapGraphError& e) {
    failRebuildStart(system, e.reason, e.reason, e.ctx);
    return;
  } catch (const std::exception& e) {
    failRebuildStart(system, "system_route_rebuild_failed", "system_route_rebuild_failed", e.what());
    return;
  }
  traceRebuildStarted(result);
  system.recovery().graphStarted(result.outputUID, truncToInt64(result.nativeRate), result.nativeChannels);
  announceNewOutput(old, result);
}

// One look at the current output. The coordinator was told of a re-check's
// output when its request was dropped or skipped, so a re-check tells it
// only of an output it rebuilds for: observed again, the output would clear
// the start of the graph that already follows it, and that graph's
// verification would be refused.
void lookAtCurrentOutput(SystemSource& system, const std::string& reason, const std::string& trigger,
                         bool allowSameUIDRateChange, const std::optional<SystemCadenceObservation>& observation,
                         std::optional<double> consumerNativeRate, bool recheck) {
  const std::optional<ObservedOutput> output = observeCurrentOutput(reason);
  if (!output) return;
  const std::string currentUID = system.outputUID();
  const int64_t currentRate = currentSystemRate(system);
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
    system.session().observeRouteCoordinatorOutput(output->uid, output->transport, truncatedRate(output->nominalRate),
                                                   reason, trigger, decision.shouldRebuild, decision.force);
  }
  if (decision.shouldRebuild) scheduleSystemTapRebuild(system, output->device, output->uid, reason, decision.force);
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

bool markSystemRebuildScheduled(SystemSource& system, const std::string& reason) {
  if (system.claimRebuildSlot(reason)) return true;
  emitRouteTrace("system_rebuild_schedule_suppressed", "system",
                 {{"reason", reason}, {"suppressed_reason", "already_scheduled"}});
  return false;
}

void scheduleSystemTapRebuild(SystemSource& system, uint32_t newOutputID, const std::string& newUID,
                              const std::string& reason, bool force) {
  if (!markSystemRebuildScheduled(system, reason)) return;
  std::weak_ptr<SystemSource> weak = system.weak_from_this();
  platform::dispatch::globalQueue(platform::dispatch::Qos::userInitiated)
      ->async([weak, newOutputID, newUID, reason, force] {
        if (auto s = weak.lock()) rebuildSystemTapForOutputChange(*s, newOutputID, newUID, reason, force);
      });
}

void scheduleSystemTapRebuildForCurrentOutput(SystemSource& system, const std::string& reason,
                                              const std::string& trigger, bool allowSameUIDRateChange,
                                              const std::optional<SystemCadenceObservation>& observation,
                                              std::optional<double> consumerNativeRate) {
  lookAtCurrentOutput(system, reason, trigger, allowSameUIDRateChange, observation, consumerNativeRate, false);
}

void scheduleSystemTapRebuildForRecoveryRetry(SystemSource& system, const std::string& reason, int64_t attempt) {
  const std::optional<ObservedOutput> output = observeCurrentOutput(reason);
  if (!output) return;
  emitRouteTrace("system_recovery_retry", "system",
                 {{"reason", reason},
                  {"trigger", "source_recovery_timeout"},
                  {"attempt", attempt},
                  {"current_uid", system.outputUID()},
                  {"observed_uid", output->uid},
                  {"observed_name", output->name},
                  {"observed_transport", output->transport},
                  {"current_rate", currentSystemRate(system)},
                  {"observed_nominal_rate", output->nominalRate.value_or(0)},
                  {"should_rebuild", true},
                  {"force", true}});
  system.session().observeRouteCoordinatorOutput(output->uid, output->transport, truncatedRate(output->nominalRate),
                                                 reason, "source_recovery_timeout", true, true);
  scheduleSystemTapRebuild(system, output->device, output->uid, reason, true);
}

void rebuildSystemTapForOutputChange(SystemSource& system, uint32_t newOutputID, const std::string& newUID,
                                     const std::string& reason, bool force) {
  std::optional<std::string> recheck;
  {
    std::lock_guard graph(system.graphLock());
    const LifecycleHold lifecycle(system.session(), LifecycleHold::EvenWhenStopping{});
    const auto& writer = system.writer();
    if (captureEnding(system)) {
      // Nothing to rebuild for.
    } else if (writer->paused()) {
      system.rememberRebuildSkippedWhilePaused(reason);
    } else if (force || newUID != system.outputUID()) {
      runRebuild(system, newOutputID, newUID, reason, force);
    }
    // Freed before the graph lock, as the lock order wants; a request that
    // comes now finds the slot free and schedules its own rebuild.
    recheck = system.releaseRebuildSlot();
  }
  // Requests dropped during this rebuild may have seen an output that
  // moved on again since: one look at the current output, which rebuilds
  // nothing when the graph already follows it.
  if (!recheck || captureEnding(system)) return;
  lookAtCurrentOutput(system, *recheck, kRecheckAfterRebuildTrigger, true, std::nullopt, std::nullopt, true);
}

void recheckSystemTapRebuildAfterResume(SystemSource& system) {
  const std::optional<std::string> skipped = system.takeRebuildSkippedWhilePaused();
  if (!skipped || captureEnding(system)) return;
  lookAtCurrentOutput(system, *skipped, kRecheckAfterResumeTrigger, true, std::nullopt, std::nullopt, true);
}

}  // namespace helper
