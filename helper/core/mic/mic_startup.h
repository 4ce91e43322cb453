#pragma once
// Capture start-up's microphone side: the engine, the canonical format and
// converter, the first mic segment, the consumer thread, the input tap and
// the engine start; and its teardown when start-up fails later.
#include <memory>

#include "helper/core/capture/startup_report.h"

namespace helper {

class CaptureState;

// Builds and starts the mic side on the main thread. Fatal problems end the
// process ("no_input_device", "engine_init_failed").
MicStartup startMicPipeline(const std::shared_ptr<CaptureState>& state);

// Removes the tap, stops the engine, closes the ring and waits up to
// timeoutNs for the consumer; false when it did not end in time.
bool stopMicPipeline(CaptureState& state, uint64_t timeoutNs);

}  // namespace helper
