#pragma once
// The mic consumer thread: the ring's only reader. Turns ring bytes back
// into messages, drops stale generations and paused audio, converts each
// message to the canonical rate and hands it to the mic writer.
#include <cstdint>
#include <memory>

namespace helper {

class CaptureState;

// Runs until the ring is closed and empty, then signals gMicConsumerDone.
void micConsumerThread(const std::shared_ptr<CaptureState>& state);

// Reports mic ring overflow growth as "source_overflow", at most every 5 s.
void checkMicOverflow(uint64_t& lastReportNs, uint64_t& lastReportedBytes);

}  // namespace helper
