#pragma once
// Groups the separate notifications of one route change (default input,
// default output, rates) into numbered route epochs and follows the rebuilt
// sources through graph start and verification until the epoch settles,
// fails or is cancelled. It steers nothing: its results go into route
// traces and its epoch ID is stamped on recovery targets. A plain value
// with no lock and no clock; the owner serialises calls and passes the
// time in.
#include <cstdint>
#include <optional>
#include <string>

#include "helper/source.h"

namespace helper {

inline constexpr uint64_t kRouteCoordinatorSettleWindowNs = 300'000'000ULL;
inline constexpr uint64_t kRouteCoordinatorMaxCoalesceWindowNs = 2'500'000'000ULL;
inline constexpr uint64_t kRouteCoordinatorCadenceWindowMs = 250;
inline constexpr double kRouteCoordinatorCadenceTolerance = 0.08;

enum class RouteCoordinatorShadowPhase { idle, verifying, settled, failedRecoverable, cancelled };

// "idle", "verifying", "settled", "failed_recoverable", "cancelled".
const char* routeCoordinatorShadowPhaseRawValue(RouteCoordinatorShadowPhase phase);
// No value for any string that is not one of the raw values.
std::optional<RouteCoordinatorShadowPhase> routeCoordinatorShadowPhaseFromRawValue(const std::string& raw);

struct RouteCoordinatorShadowObservationResult {
  uint64_t epochID = 0;
  bool startedNewEpoch = false;
  RouteCoordinatorShadowPhase phase = RouteCoordinatorShadowPhase::idle;
  std::string routeClass;
  bool seenInput = false;
  bool seenOutput = false;
  bool requiresMicVerification = false;
  bool requiresSystemVerification = false;
};

struct RouteCoordinatorShadowSourceResult {
  uint64_t epochID = 0;
  bool accepted = false;
  bool settledNow = false;
  RouteCoordinatorShadowPhase phase = RouteCoordinatorShadowPhase::idle;
  std::string routeClass;
  bool requiresMicVerification = false;
  bool requiresSystemVerification = false;
};

struct RouteCoordinatorShadow {
  uint64_t epochID = 0;
  RouteCoordinatorShadowPhase phase = RouteCoordinatorShadowPhase::idle;
  uint64_t firstObservationNs = 0;
  uint64_t lastObservationNs = 0;
  bool seenInput = false;
  bool seenOutput = false;
  std::string inputUID;
  std::string inputRoute = "unknown";
  int64_t inputRate = 0;
  std::string outputUID;
  std::string outputTransport = "unknown";
  int64_t outputRate = 0;
  bool micGraphStarted = false;
  bool micVerified = false;
  bool systemGraphStarted = false;
  bool systemVerified = false;

  // Absent only before the first observation; a settled, failed or
  // cancelled epoch is still the active one.
  std::optional<uint64_t> activeEpochID() const;
  // "unknown", "output_only", "input_only", "paired" or "paired_bt_hfp".
  std::string routeClass() const;

  RouteCoordinatorShadowObservationResult observeInput(const std::string& uid, const std::string& route,
                                                       int64_t sampleRate, uint64_t nowNs);
  RouteCoordinatorShadowObservationResult observeOutput(const std::string& uid, const std::string& transport,
                                                        int64_t sampleRate, uint64_t nowNs);
  // Callbacks of another epoch, or after a failure or cancel, are rejected
  // and change nothing.
  RouteCoordinatorShadowSourceResult sourceGraphStarted(Source source, uint64_t eventEpochID, const std::string& uid,
                                                        int64_t sampleRate, int64_t channels);
  RouteCoordinatorShadowSourceResult sourceVerified(Source source, uint64_t eventEpochID, const std::string& uid,
                                                    int64_t sampleRate, int64_t channels);
  RouteCoordinatorShadowSourceResult sourceFailed(Source source, uint64_t eventEpochID, const std::string& reason);
  RouteCoordinatorShadowSourceResult cancel(const std::string& reason);

 private:
  bool ensureEpoch(uint64_t nowNs);
  bool sourceGateRejects(uint64_t eventEpochID, int64_t sampleRate, int64_t channels) const;
  RouteCoordinatorShadowObservationResult observationResult(bool startedNewEpoch) const;
  RouteCoordinatorShadowSourceResult sourceResult(bool accepted, bool settledNow) const;
};

}  // namespace helper
