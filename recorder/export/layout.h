#pragma once
// Where a source's segments go on the session clock when file names are all
// that places them: the session's own evidence of how long it ran (the other
// source's segments, the sidecars' wall times, the manifest's and journal's
// times, the host's duration) bounds what a missing index may take, and a
// segment that would lie beyond all of it is a stray, left out.
//
// Pure functions of their inputs; the finalisation gathers the inputs.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "recorder/export/manifest.h"
#include "recorder/export/timeline.h"
#include "recorder/recovery/plan.h"

namespace recorder::exporter {

// What the session says of its length, in milliseconds unless named.
struct SessionEvidence {
  // Each source's timeline up to its first index that nothing places
  // (frames at the export rate): audio no file name can have moved.
  std::uint64_t mic_anchored_frames = 0;
  std::uint64_t system_anchored_frames = 0;
  std::optional<std::uint64_t> sidecar_wall_ms;   // the latest checkpoint's time into the session
  std::optional<std::uint64_t> manifest_span_ms;  // SessionTimes::span_ms
  std::optional<std::uint64_t> journal_span_ms;   // the recording's journal lines, first to last
  std::optional<std::uint64_t> host_duration_ms;  // the duration the host gave
};

// The end of the evidence for one source's placement, in frames at the
// export rate: the latest of everything above. Nothing when only that
// source's own segments speak (then file names alone place them).
std::optional<std::uint64_t> evidence_end_frames(const SessionEvidence& evidence, recovery::SegmentSource source);

// A source's timeline up to (not including) its first segment that some
// index nothing places precedes: the part of its own evidence that file
// names cannot stretch.
std::uint64_t anchored_frames(const std::vector<recovery::SegmentRecovery>& segments, const SlotMap& slots);

// A segment left out because it lies beyond the evidence.
struct StraySegment {
  std::uint64_t index = 0;
  std::filesystem::path path;
  std::uint64_t at_frames = 0;        // where it would start, with no time for the unplaced indices
  std::uint64_t evidence_frames = 0;  // where the evidence ends (the longest timeline without evidence)
  bool evidence = true;               // false: no evidence, only the longest timeline bounded it
  bool operator==(const StraySegment&) const = default;
};

// Indices nothing places, before one segment, and the frames they took.
struct DefaultSlot {
  std::uint64_t first_index = 0;
  std::uint64_t last_index = 0;
  std::uint64_t count = 0;        // indices without a slot among them
  std::uint64_t frames = 0;       // what they took
  std::uint64_t full_frames = 0;  // what full default slots would have been
  bool operator==(const DefaultSlot&) const = default;
};

struct SourceLayout {
  std::vector<recovery::SegmentRecovery> segments;  // the kept ones, ascending
  GapSlots gaps;
  std::vector<StraySegment> strays;
  std::vector<DefaultSlot> defaults;  // in index order
};

// Lays out one source. `slots` are the lengths known per index (the
// manifest's, an unusable segment's own); `first_index` an index before the
// first segment where the source starts (an unusable segment whose length
// nothing tells). With evidence, a segment some unplaced index precedes is a
// stray when it would start at or beyond the evidence's end even with no
// time for those indices, and the unplaced indices share what the evidence
// leaves (earlier ones first, each at most a full segment). Without it,
// they take full segments, and the longest timeline bounds them as the
// evidence would.
SourceLayout lay_out_source(const std::vector<recovery::SegmentRecovery>& segments, const SlotMap& slots,
                            std::optional<std::uint64_t> first_index, std::optional<std::uint64_t> evidence_frames);

}  // namespace recorder::exporter
