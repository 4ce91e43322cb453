#include "recorder/export/layout.h"

#include <algorithm>

#include "recorder/export/export_constants.h"

namespace recorder::exporter {
namespace {

using recovery::SegmentRecovery;
using recovery::SegmentSource;

// Indices of [first, end) that no slot records, and the slots' frames for the others.
struct GapCount {
  std::uint64_t unplaced = 0;
  std::uint64_t known_frames = 0;
};

GapCount count_gap(std::uint64_t first, std::uint64_t end, const SlotMap& slots) {
  GapCount gap;
  if (first >= end) return gap;
  std::uint64_t known = 0;
  for (auto it = slots.lower_bound(first); it != slots.end() && it->first < end; ++it) {
    gap.known_frames = sat_add(gap.known_frames, it->second);
    ++known;
  }
  gap.unplaced = end - first - known;
  return gap;
}

// What a segment adds to its source's timeline: a short one that is not the
// last keeps its full slot.
std::uint64_t segment_span(const SegmentRecovery& segment, const SlotMap& slots, bool last) {
  const std::uint64_t d = segment_material_frames(segment);
  const std::uint64_t slot = segment_slot(segment, slots);
  return d < slot && !last ? slot : d;
}

}  // namespace

std::optional<std::uint64_t> evidence_end_frames(const SessionEvidence& evidence, SegmentSource source) {
  const std::uint64_t own =
      source == SegmentSource::Mic ? evidence.mic_anchored_frames : evidence.system_anchored_frames;
  const std::uint64_t other =
      source == SegmentSource::Mic ? evidence.system_anchored_frames : evidence.mic_anchored_frames;
  std::optional<std::uint64_t> end;
  if (other != 0) end = other;
  for (const auto& ms :
       {evidence.sidecar_wall_ms, evidence.manifest_span_ms, evidence.journal_span_ms, evidence.host_duration_ms}) {
    // A time of 0 (one journal line, a first checkpoint) says nothing of a length.
    if (ms && *ms != 0) end = std::max(end.value_or(0), ms_to_frames(*ms));
  }
  if (!end) return std::nullopt;
  return std::max(*end, own);
}

std::uint64_t anchored_frames(const std::vector<SegmentRecovery>& segments, const SlotMap& slots) {
  if (segments.empty()) return 0;
  std::uint64_t sum = 0;
  std::uint64_t next = first_slot_index(segments, slots);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto gap = count_gap(next, segments[i].index, slots);
    if (gap.unplaced != 0) break;
    sum = sat_add(sum, gap.known_frames);
    sum = sat_add(sum, segment_span(segments[i], slots, i + 1 == segments.size()));
    next = sat_add(segments[i].index, 1);
  }
  return sum;
}

SourceLayout lay_out_source(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                            std::optional<std::uint64_t> first_index, std::optional<std::uint64_t> evidence_frames) {
  SourceLayout layout;
  if (segments.empty()) return layout;
  if (first_index && *first_index < first_slot_index(segments, slots)) layout.gaps.first_index = first_index;
  // Without evidence nothing bounds the unplaced indices but the longest timeline.
  const std::uint64_t end = evidence_frames.value_or(kMaxTimelineFrames);

  // The unplaced gap before each kept segment, placed with no time first.
  struct Gap {
    std::uint64_t first = 0;
    std::uint64_t before = 0;  // the segment's index
    std::uint64_t unplaced = 0;
    std::uint64_t full = 0;
  };
  std::vector<Gap> gaps;
  std::uint64_t at = 0;       // where the next segment starts, with no time for unplaced indices
  std::uint64_t at_full = 0;  // the same with a full segment for each
  bool unplaced_before = false;
  std::uint64_t next = first_slot_index(segments, slots, layout.gaps);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto& segment = segments[i];
    const auto gap = count_gap(next, segment.index, slots);
    const std::uint32_t rate = segments[i == 0 ? 0 : i - 1].sample_rate;
    const std::uint64_t full = sat_mul(gap.unplaced, default_slot_frames(rate));
    const std::uint64_t start = sat_add(at, gap.known_frames);
    const std::uint64_t start_full = sat_add(sat_add(at_full, gap.known_frames), full);
    if (gap.unplaced != 0) unplaced_before = true;
    // Its own audio and everything before it are evidence only up to the
    // first index nothing places; beyond that, file names alone put it
    // there: beyond the evidence even with no time for those indices, or,
    // with no evidence, beyond the longest timeline with full ones.
    const bool stray = i > 0 && unplaced_before && (evidence_frames ? start >= end : start_full >= end);
    if (stray) {
      for (std::size_t j = i; j < segments.size(); ++j) {
        layout.strays.push_back({segments[j].index, segments[j].path, evidence_frames ? start : start_full, end,
                                 evidence_frames.has_value()});
      }
      break;
    }
    if (gap.unplaced != 0) gaps.push_back({next, segment.index, gap.unplaced, full});
    layout.segments.push_back(segment);
    next = sat_add(segment.index, 1);
    // Whether it is the last is known once the strays are: it is padded as a
    // non-final one here and corrected below.
    const std::uint64_t span = segment_span(segment, slots, false);
    at = sat_add(start, span);
    at_full = sat_add(start_full, span);
  }
  // The last kept segment is never padded to its slot.
  const auto& last = layout.segments.back();
  at = sat_sub(at, segment_span(last, slots, false) - segment_span(last, slots, true));

  std::uint64_t budget = sat_sub(end, at);
  for (const auto& gap : gaps) {
    const std::uint64_t given = std::min(gap.full, budget);
    budget -= given;
    layout.gaps.before[gap.before] = given;
    layout.defaults.push_back({gap.first, gap.before - 1, gap.unplaced, given, gap.full});
  }
  return layout;
}

}  // namespace recorder::exporter
