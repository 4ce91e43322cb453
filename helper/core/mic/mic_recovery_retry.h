#pragma once
// The mic side of a recovery retry: after a time-out without a single
// matching frame, the engine is rebuilt from scratch once.
#include <cstdint>
#include <memory>
#include <string>

namespace helper {

class MicSource;

// Queues a fresh engine rebuild on the main queue (the source is held
// weakly; nothing happens once the session stops).
void scheduleMicFreshRebuildForRecoveryRetry(const std::shared_ptr<MicSource>& mic, const std::string& reason,
                                             int64_t attempt);
// The retry cannot start: warns, and reports the mic failed.
void failMicRecoveryRetry(MicSource& mic, const std::string& reason, const std::string& detail);

}  // namespace helper
