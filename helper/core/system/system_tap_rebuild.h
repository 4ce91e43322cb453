#pragma once
// Rebuilding the system tap graph for the current output device: whether a
// route observation calls for it, single-flight scheduling on the
// user-initiated queue, and the rebuild itself (old graph stopped and its
// segment sealed, new graph started on the new output, the host told).
//
// Requests that arrive while a rebuild is scheduled or running are not
// queued; they leave a re-check behind, answered once the rebuild ends by
// one look at the current output. A rebuild skipped because the system
// writer is paused is re-checked when the writer resumes. A re-check tells
// the route coordinator only of an output it rebuilds for.
#include <cstdint>
#include <optional>
#include <string>

#include "helper/core/system/system_cadence.h"

namespace helper {

class SystemSource;

struct SystemOutputRouteChangeDecision {
  bool shouldRebuild = false;
  bool force = false;
  bool uidChanged = false;
  bool nominalRateChanged = false;
  bool operator==(const SystemOutputRouteChangeDecision&) const = default;
};

// Pure: an observed output against the one the graph follows. A rate only
// counts when both are known (>= 1 Hz after truncation) and allowed.
SystemOutputRouteChangeDecision classifySystemOutputRouteChange(const std::string& currentUID,
                                                                const std::string& observedUID,
                                                                int64_t currentNativeRate,
                                                                std::optional<double> observedNominalRate,
                                                                bool allowSameUIDRateChange);

// Claims the source's single rebuild slot; false (with a trace, and a
// re-check left for the rebuild in flight) when it is taken. Any thread.
bool markSystemRebuildScheduled(SystemSource& system, const std::string& reason);

// Queues the rebuild when the slot is free. Any thread.
void scheduleSystemTapRebuild(SystemSource& system, uint32_t newOutputID, const std::string& newUID,
                              const std::string& reason, bool force);

// Observes the current default output, traces it, tells the route
// coordinator and schedules a rebuild when the observation calls for one.
// Returns at once; any thread.
void scheduleSystemTapRebuildForCurrentOutput(SystemSource& system, const std::string& reason,
                                              const std::string& trigger, bool allowSameUIDRateChange,
                                              const std::optional<SystemCadenceObservation>& observation,
                                              std::optional<double> consumerNativeRate);

// A forced rebuild for the current default output, after a recovery time-out.
void scheduleSystemTapRebuildForRecoveryRetry(SystemSource& system, const std::string& reason, int64_t attempt);

// The rebuild; only reached through scheduleSystemTapRebuild. Holds the
// graph lock and the lifecycle lock (so a pause or resume never
// interleaves with it) for the whole sequence.
void rebuildSystemTapForOutputChange(SystemSource& system, uint32_t newOutputID, const std::string& newUID,
                                     const std::string& reason, bool force);

// After a resume: answers a rebuild that was skipped while the writer was paused.
void recheckSystemTapRebuildAfterResume(SystemSource& system);

}  // namespace helper
