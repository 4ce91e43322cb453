#pragma once
// A source's place on the session clock. A run (from the start or a resume
// to a pause or the stop) maps host time onto the source's frame position:
// position baseFrames is the run's anchor, and the frames follow at the
// canonical rate. A buffer is placed by its capture time, so what did not
// arrive (an engine restart, a stalled device, a rebuild) becomes silence
// before it, what overlaps audio already placed (a device delivering
// faster than it is read) is left out, what was captured before the run
// began is left out, and each source's segments cover the same span of the
// clock. Nearer than kSessionClockJumpNs, buffers follow on from one
// another, whatever their capture time says: a device clock a little off
// its nominal rate is followed by its converter's ratio, and the jitter of
// its time stamps by their trend (SourceClockFollower), never by cutting
// or padding audio. Pure functions.
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
// once: silence before it (an outage) or its overlap left out. Nearer, it
// follows on, and the difference is the source's offset.
inline constexpr uint64_t kSessionClockJumpNs = 10'000'000;

// The frame position of host time `hostNs` in the run (before its anchor:
// below baseFrames).
int64_t sessionPositionOf(const SessionRun& run, uint64_t hostNs);
// The host time of frame position `position` in the run.
uint64_t sessionHostTimeOf(const SessionRun& run, int64_t position);

// What becomes of a buffer of `frames` frames: `skip` leading frames are
// left out (of which `overlap` lay behind what was already placed), `fill`
// frames of silence go before the rest, of which `keep` frames are written.
// `offset`: where the kept frames belong less where they land (positive:
// later), when they follow on by their capture time; nothing otherwise.
struct SessionPlacement {
  int64_t skip = 0;
  int64_t fill = 0;
  int64_t keep = 0;
  int64_t overlap = 0;
  std::optional<int64_t> offset;
};

// `placed` is the position reached so far (frames and silence written);
// `runHasFrames` tells whether this run has placed anything yet (its first
// buffer lands exactly, earlier or later). Without a capture time the
// buffer follows on from `placed`.
SessionPlacement placeOnSessionClock(const SessionRun& run, int64_t placed, bool runHasFrames, int64_t frames,
                                     std::optional<uint64_t> captureNs);

}  // namespace helper
