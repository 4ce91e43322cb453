#pragma once
// The mic side of a recovery retry: after a time-out without a single
// matching frame, the engine is rebuilt from scratch once.
#include <cstdint>
#include <string>

namespace helper {

class CaptureState;

// Queues a fresh mic engine rebuild on the main queue (the state is held
// weakly; nothing happens once the session stops).
void scheduleMicFreshRebuildForRecoveryRetry(CaptureState& state, const std::string& reason, int64_t attempt);
// The retry cannot start: warns, and reports the mic failed.
void failMicRecoveryRetry(CaptureState& state, const std::string& reason, const std::string& detail);

}  // namespace helper
