#pragma once
// A source's place on the session clock. A run (from the start or a resume
// to a pause or the stop) maps host time onto the source's frame position:
// position baseFrames is the run's anchor, and the frames follow at the
// canonical rate. A buffer is placed by its capture time, so what did not
// arrive (an engine restart, a stalled device, a rebuild) becomes silence
// before it, what overlaps audio already placed (a device delivering
// faster than it is read) is left out, what was captured before the run
// began is left out, and each source's segments cover the same span of the
// clock. A device clock a little off its nominal rate, and the jitter of
// its time stamps, are followed by their trend: corrections of at most
// kSessionClockMaxStepNs at a time keep the source within
// kSessionClockJumpNs of its capture time. Pure functions.
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

// A buffer further than this from where the source has got to is placed at
// once: silence before it (an outage) or its overlap left out. Nearer, the
// difference is followed by its trend.
inline constexpr uint64_t kSessionClockJumpNs = 10'000'000;
// The largest correction at a time, and the smallest worth making.
inline constexpr uint64_t kSessionClockMaxStepNs = 2'000'000;
inline constexpr uint64_t kSessionClockDeadbandNs = 500'000;
// How long the trend is averaged over, and how often it may be corrected.
inline constexpr uint64_t kSessionClockSmoothingNs = 250'000'000;
inline constexpr uint64_t kSessionClockCorrectionIntervalNs = 100'000'000;

// The frame position of host time `hostNs` in the run (before its anchor:
// below baseFrames).
int64_t sessionPositionOf(const SessionRun& run, uint64_t hostNs);
// The host time of frame position `position` in the run.
uint64_t sessionHostTimeOf(const SessionRun& run, int64_t position);

// What becomes of a buffer of `frames` frames: `skip` leading frames are
// left out (of which `overlap` lay behind what was already placed), `fill`
// frames of silence go before the rest, of which `keep` frames are written.
struct SessionPlacement {
  int64_t skip = 0;
  int64_t fill = 0;
  int64_t keep = 0;
  int64_t overlap = 0;
};

// The trend of a run's capture times against where its frames landed.
struct SessionClockFollower {
  double errorFrames = 0;  // smoothed: where buffers belong less where they land
  int64_t framesSinceCorrection = 0;
};

// `placed` is the position reached so far (frames and silence written);
// `runHasFrames` tells whether this run has placed anything yet (its first
// buffer lands exactly, earlier or later). Without a capture time the
// buffer follows on from `placed`. `follower` carries the trend from one
// buffer of the run to the next.
SessionPlacement placeOnSessionClock(const SessionRun& run, int64_t placed, bool runHasFrames, int64_t frames,
                                     std::optional<uint64_t> captureNs, SessionClockFollower& follower);

}  // namespace helper
