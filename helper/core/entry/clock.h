#pragma once
// The helper's clocks. Host timestamps, deadlines and intervals are read
// through machAbsoluteTimeNs, so events, segments and the route logic share
// one time base; the wall clock only dates what is written out (a
// checkpoint's UTC time), never measures an interval.
#include <cstdint>

namespace helper {

// Monotonic host time in nanoseconds.
uint64_t machAbsoluteTimeNs();

// Wall-clock milliseconds since the Unix epoch (steps when the clock is set).
int64_t wallClockMs();

}  // namespace helper
