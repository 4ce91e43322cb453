#include "platform/clock/clock.h"

#include <ctime>

namespace platform::clock {
namespace {
uint64_t readNs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

uint64_t hostTicks() { return readNs(CLOCK_MONOTONIC); }
Timebase hostTimebase() { return {1, 1}; }
uint64_t hostTimeNs() {
  const Timebase tb = hostTimebase();
  const uint64_t ticks = hostTicks();
  if (tb.numer == tb.denom) return ticks;
  // Split so the multiplication cannot overflow.
  return ticks / tb.denom * tb.numer + ticks % tb.denom * tb.numer / tb.denom;
}
uint64_t monotonicNs() { return readNs(CLOCK_MONOTONIC); }
uint64_t uptimeNs() { return readNs(CLOCK_MONOTONIC_RAW); }
uint64_t uptimeMs() { return uptimeNs() / 1'000'000ULL; }

int64_t wallClockMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace platform::clock
