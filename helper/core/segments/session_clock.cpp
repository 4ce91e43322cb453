#include "helper/core/segments/session_clock.h"

#include <algorithm>
#include <cmath>

namespace helper {
namespace {

int64_t framesIn(uint64_t ns, double rate) { return std::llround(static_cast<double>(ns) * rate / 1e9); }

}  // namespace

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
    // Captured before the run began (while paused, or before the start):
    // never kept, whatever else becomes of the buffer.
    if (at < run.baseFrames) {
      p.skip = std::min(frames, run.baseFrames - at);
      at += p.skip;
    }
    const int64_t rest = frames - p.skip;
    const int64_t jump = framesIn(kSessionClockJumpNs, run.rate);
    const int64_t error = at - placed;
    if (!runHasFrames) {
      // The run's first buffer lands exactly: the sources start together.
      if (error > 0) {
        p.fill = error;
      } else if (error < 0) {
        p.skip += std::min(rest, -error);
      }
    } else if (error > jump) {
      p.fill = error;
    } else if (error < -jump) {
      // Behind what is already placed: only what lies beyond it is new.
      p.overlap = std::min(rest, -error);
      p.skip += p.overlap;
    } else if (rest > 0) {
      // Near enough: it follows on, and its offset is left to the ratio.
      p.offset = error;
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
