#pragma once
// A source's place on the session clock. A run (from the start or a resume
// to a pause or the stop) maps host time onto the source's frame position:
// position baseFrames is the run's anchor, and the frames follow at the
// canonical rate. A buffer is placed by its capture time, so what did not
// arrive (an engine restart, a stalled device, a rebuild) becomes silence
// before it, what was captured before the run began is left out, and each
// source's segments cover the same span of the clock. Pure functions.
#include <cstdint>
#include <optional>

namespace helper {

struct SessionRun {
  uint64_t anchorNs = 0;
  int64_t baseFrames = 0;
  double rate = 0;
  // Where the run ended (a pause or the stop): nothing is placed beyond.
  std::optional<int64_t> endFrames;
};

// Gaps of up to this much between where a buffer belongs and where the
// last one ended are left as they are: conversion rounding, not an outage.
inline constexpr uint64_t kSessionClockFillToleranceNs = 2'000'000;

// The frame position of host time `hostNs` in the run (before its anchor:
// below baseFrames).
int64_t sessionPositionOf(const SessionRun& run, uint64_t hostNs);
// The host time of frame position `position` in the run.
uint64_t sessionHostTimeOf(const SessionRun& run, int64_t position);

// What becomes of a buffer of `frames` frames: `skip` leading frames are
// left out, `fill` frames of silence go before the rest, of which `keep`
// frames are written.
struct SessionPlacement {
  int64_t skip = 0;
  int64_t fill = 0;
  int64_t keep = 0;
};

// `placed` is the position reached so far (frames and silence written);
// `runHasFrames` tells whether this run has placed anything yet (its first
// buffer lands exactly, earlier or later). Without a capture time the
// buffer follows on from `placed`.
SessionPlacement placeOnSessionClock(const SessionRun& run, int64_t placed, bool runHasFrames, int64_t frames,
                                     std::optional<uint64_t> captureNs);

}  // namespace helper
