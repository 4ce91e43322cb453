#include "helper/core/entry/clock.h"

#include "platform/clock/clock.h"

namespace helper {

uint64_t machAbsoluteTimeNs() { return platform::clock::hostTimeNs(); }

int64_t wallClockMs() { return platform::clock::wallClockMs(); }

}  // namespace helper
