#include "helper/core/segments/session_clock.h"

#include <algorithm>
#include <cmath>

namespace helper {

int64_t sessionPositionOf(const SessionRun& run, uint64_t hostNs) {
  // Unsigned wrap-around gives the signed distance.
  const auto offsetNs = static_cast<int64_t>(hostNs - run.anchorNs);
  return run.baseFrames + std::llround(static_cast<double>(offsetNs) * run.rate / 1e9);
}

uint64_t sessionHostTimeOf(const SessionRun& run, int64_t position) {
  if (!(run.rate > 0)) return run.anchorNs;
  const double offsetNs = static_cast<double>(position - run.baseFrames) * 1e9 / run.rate;
  return run.anchorNs + static_cast<uint64_t>(std::llround(offsetNs));
}

SessionPlacement placeOnSessionClock(const SessionRun& run, int64_t placed, bool runHasFrames, int64_t frames,
                                     std::optional<uint64_t> captureNs) {
  SessionPlacement p;
  if (frames <= 0) return p;
  if (captureNs && run.rate > 0) {
    int64_t at = sessionPositionOf(run, *captureNs);
    // Captured before the run began (while paused, or before the start).
    if (at < run.baseFrames) {
      p.skip = std::min(frames, run.baseFrames - at);
      at += p.skip;
    }
    const auto tolerance = static_cast<int64_t>(static_cast<double>(kSessionClockFillToleranceNs) * run.rate / 1e9);
    if (!runHasFrames) {
      if (at > placed) {
        p.fill = at - placed;
      } else if (at < placed) {
        // Ahead of the clock at a run's start: the sources must start together.
        p.skip += std::min(frames - p.skip, placed - at);
      }
    } else if (at - placed > tolerance) {
      p.fill = at - placed;
    }
  }
  p.keep = frames - p.skip;
  if (run.endFrames) {
    const int64_t room = std::max<int64_t>(0, *run.endFrames - placed);
    p.fill = std::min(p.fill, room);
    p.keep = std::min(p.keep, room - p.fill);
  }
  return p;
}

}  // namespace helper
