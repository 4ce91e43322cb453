#pragma once
#include <cstdint>

namespace platform::clock {

// Host tick counter since boot and the ratio that turns ticks into
// nanoseconds (ticks * numer / denom).
struct Timebase {
  uint32_t numer;
  uint32_t denom;
};
uint64_t hostTicks();
Timebase hostTimebase();
// Host ticks in nanoseconds through the timebase.
uint64_t hostTimeNs();

// Monotonic nanoseconds (never steps back).
uint64_t monotonicNs();

// Uptime that does not advance while the machine sleeps.
uint64_t uptimeNs();
uint64_t uptimeMs();

// Wall-clock milliseconds since the Unix epoch.
int64_t wallClockMs();

}  // namespace platform::clock
