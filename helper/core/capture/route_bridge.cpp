// The thread-safe bridge between the capture state and its route
// coordinator shadow: each call updates the shadow under its leaf lock,
// copies the result out, and writes the route trace after the lock is
// released.
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/routing/route_coordinator.h"
#include "helper/routing/source_recovery_verifier.h"

namespace helper {
namespace {

template <typename Result>
nlohmann::json routeCoordinatorBaseFields(const Result& result) {
  return {{"route_epoch_id", static_cast<int64_t>(result.epochID)},
          {"phase", routeCoordinatorShadowPhaseRawValue(result.phase)},
          {"route_class", result.routeClass},
          {"requires_mic_verification", result.requiresMicVerification},
          {"requires_system_verification", result.requiresSystemVerification}};
}

// Base fields first; a caller's key replaces a base key of the same name.
nlohmann::json mergedFields(nlohmann::json base, const nlohmann::json& fields) {
  for (const auto& [key, value] : fields.items()) base[key] = value;
  return base;
}

void emitRouteCoordinatorObservationTrace(const RouteCoordinatorShadowObservationResult& result, Source source,
                                          const nlohmann::json& fields) {
  nlohmann::json base = routeCoordinatorBaseFields(result);
  base["seen_input"] = result.seenInput;
  base["seen_output"] = result.seenOutput;
  const char* stage = result.startedNewEpoch ? "route_coordinator_epoch_started" : "route_coordinator_epoch_updated";
  emitRouteTrace(stage, source, mergedFields(std::move(base), fields));
}

void emitRouteCoordinatorSourceTrace(const std::string& stage, const std::optional<Source>& source,
                                     const RouteCoordinatorShadowSourceResult& result, const nlohmann::json& fields) {
  emitRouteTrace(stage, source ? std::optional<std::string>(sourceName(*source)) : std::nullopt,
                 mergedFields(routeCoordinatorBaseFields(result), fields));
}

// A generation as traces write it: -1 when there is none.
int64_t generationField(const std::optional<uint32_t>& generation) {
  return generation ? static_cast<int64_t>(*generation) : -1;
}

}  // namespace

std::optional<uint64_t> CaptureState::currentRouteCoordinatorEpochID() const {
  std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
  return routeCoordinatorShadow_.activeEpochID();
}

void CaptureState::observeRouteCoordinatorInput(const std::string& uid, const std::string& route, int64_t sampleRate,
                                                const std::string& reason, bool shouldReconnect) {
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.observeInput(uid, route, sampleRate, machAbsoluteTimeNs());
  }();
  emitRouteCoordinatorObservationTrace(result, Source::mic,
                                       {{"reason", reason},
                                        {"input_uid", uid},
                                        {"input_route", route},
                                        {"input_rate", sampleRate},
                                        {"should_reconnect", shouldReconnect}});
}

void CaptureState::observeRouteCoordinatorOutput(const std::string& uid, const std::string& transport,
                                                 int64_t sampleRate, const std::string& reason,
                                                 const std::string& trigger, bool shouldRebuild, bool force) {
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.observeOutput(uid, transport, sampleRate, machAbsoluteTimeNs());
  }();
  emitRouteCoordinatorObservationTrace(result, Source::system,
                                       {{"reason", reason},
                                        {"trigger", trigger},
                                        {"output_uid", uid},
                                        {"output_transport", transport},
                                        {"output_rate", sampleRate},
                                        {"should_rebuild", shouldRebuild},
                                        {"force", force}});
}

void CaptureState::markRouteCoordinatorSourcePending(const SourceRecoveryTarget& target) {
  emitRouteTrace("route_coordinator_source_pending", target.source,
                 {{"route_epoch_id", target.routeEpochID ? static_cast<int64_t>(*target.routeEpochID) : 0},
                  {"reason", target.reason},
                  {"target_uid", target.uid},
                  {"target_rate", target.sampleRate},
                  {"target_channels", target.channels},
                  {"target_generation", generationField(target.generation)}});
}

void CaptureState::markRouteCoordinatorSourceGraphStarted(Source source, const std::string& uid, int64_t sampleRate,
                                                          int64_t channels, std::optional<uint64_t> routeEpochID) {
  if (!routeEpochID) return;
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.sourceGraphStarted(source, *routeEpochID, uid, sampleRate, channels);
  }();
  if (!result.accepted) return;
  emitRouteCoordinatorSourceTrace("route_coordinator_source_graph_started", source, result,
                                  {{"uid", uid}, {"sample_rate", sampleRate}, {"channels", channels}});
}

void CaptureState::markRouteCoordinatorSourceVerified(Source source, const SourceRecoveryFrameProof& proof,
                                                      std::optional<uint64_t> routeEpochID) {
  if (!routeEpochID) return;
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.sourceVerified(source, *routeEpochID, proof.uid, proof.sampleRate, proof.channels);
  }();
  if (!result.accepted) return;
  emitRouteCoordinatorSourceTrace("route_coordinator_source_verified", source, result,
                                  {{"uid", proof.uid},
                                   {"sample_rate", proof.sampleRate},
                                   {"channels", proof.channels},
                                   {"frames", proof.frames},
                                   {"generation", generationField(proof.generation)}});
  if (result.settledNow) {
    emitRouteCoordinatorSourceTrace("route_coordinator_epoch_settled", source, result, nlohmann::json::object());
  }
}

void CaptureState::failRouteCoordinatorSource(Source source, const std::string& reason,
                                              std::optional<uint64_t> routeEpochID) {
  if (!routeEpochID) return;
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.sourceFailed(source, *routeEpochID, reason);
  }();
  if (!result.accepted) return;
  emitRouteCoordinatorSourceTrace("route_coordinator_source_failed", source, result, {{"reason", reason}});
}

void CaptureState::cancelRouteCoordinator(const std::string& reason) {
  const auto result = [&] {
    std::lock_guard<std::mutex> lock(routeCoordinatorLock_);
    return routeCoordinatorShadow_.cancel(reason);
  }();
  if (!result.accepted) return;
  emitRouteCoordinatorSourceTrace("route_coordinator_epoch_cancelled", std::nullopt, result, {{"reason", reason}});
}

}  // namespace helper
