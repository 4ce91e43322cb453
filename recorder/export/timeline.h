#pragma once
// Source timelines: one source's segments become one continuous 16-bit mono
// CAF file at the export rate, with missing and short segments kept at their
// place in time by silence, segments at other rates resampled, and the whole
// cut or padded to a target length. Also the mute of the system timeline
// outside the intervals in which the system source was really recording.
//
// Everything streams: a timeline costs fixed buffers whatever its length,
// and no more samples are produced than are written.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "recorder/export/manifest.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/io_error.h"
#include "recorder/recovery/plan.h"

namespace recorder::exporter {

using recovery::SegmentRecovery;

// One segment that was resampled into its timeline.
struct ResampleNote {
  std::uint64_t index = 0;
  std::uint32_t source_rate = 0;
  std::uint32_t target_rate = 0;
  bool operator==(const ResampleNote&) const = default;
};

struct TimelineResult {
  std::filesystem::path path;
  std::vector<ResampleNote> notes;  // in segment order
};

// The distinct segment rates in order of first appearance.
std::vector<std::uint32_t> collect_source_rates(const std::vector<SegmentRecovery>& segments);

// A segment's length at the export rate: its frames at 24000 Hz (or an
// unknown rate 0), else ceil(frames x 24000 / rate), saturating.
std::uint64_t segment_material_frames(const SegmentRecovery& segment);

// The export-rate length of a full segment recorded at `rate`: the capture
// helper rotates after segment_format::kFramesPerSegment frames at its own
// rate.
std::uint64_t default_slot_frames(std::uint32_t rate);

// How the finalisation placed what no slot records: the frames it gave the
// indices without a slot before a segment (keyed by that segment's index),
// where it bounded their default slots; and an index before the first
// segment and the first slot where the timeline starts (an unusable
// segment's). Indices without an entry take full default slots.
struct GapSlots {
  std::map<std::uint64_t, std::uint64_t> before;
  std::optional<std::uint64_t> first_index;
};

// The index a source's timeline starts at: its first segment's, or an
// earlier one the slots or the gap slots name.
std::uint64_t first_slot_index(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                               const GapSlots& gaps = {});

// The frames of the indices [first, end) before the segment `end` (first <
// end): their slots where known, else what `gaps` gave them, else a full
// segment at `rate` each.
std::uint64_t gap_frames(std::uint64_t first, std::uint64_t end, std::uint32_t rate, const SlotMap& slots,
                         const GapSlots& gaps = {});

// The recorded length of a session in frames: per source, segments and the
// slots of missing indices (the manifest's length, else a full segment), a
// non-final segment padded to its manifest length, and the recorded slots
// of indices before the first file; the longer source wins. A non-zero
// request caps it; a zero material gives the request.
std::uint64_t compute_material_frames(std::uint64_t requested, const std::vector<SegmentRecovery>& mic,
                                      const std::vector<SegmentRecovery>& system, const SlotMap& mic_slots,
                                      const SlotMap& system_slots, const GapSlots& mic_gaps = {},
                                      const GapSlots& system_gaps = {});

// One source's part of that: its timeline's natural length.
std::uint64_t source_material_frames(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                                     const GapSlots& gaps = {});

// The slot of a segment: its manifest length, else its own length.
std::uint64_t segment_slot(const SegmentRecovery& segment, const SlotMap& slots);

// Linear interpolation from source_rate to target_rate that pulls its input
// as it goes: only the output asked for is computed, and only the input it
// needs is read.
class LinearResampler {
 public:
  // `input_count` samples come from `input`; what the input lacks at its end reads as silence.
  LinearResampler(Reader& input, std::uint64_t input_count, std::uint32_t source_rate, std::uint32_t target_rate);

  // ceil(input_count / step) in doubles, saturating; 0 without input.
  std::uint64_t output_count() const { return output_count_; }
  // The next out.size() output samples (no more than remain).
  IoResult<void> produce(std::span<std::int16_t> out);

 private:
  IoResult<std::int16_t> sample_at(std::uint64_t index);

  Reader& input_;
  std::uint64_t input_count_;
  double step_;
  std::uint64_t output_count_;
  std::uint64_t next_output_ = 0;
  std::uint64_t read_ = 0;            // input samples pulled so far
  std::vector<std::int16_t> window_;  // input samples [window_base_, window_base_ + size)
  std::uint64_t window_base_ = 0;
};

// The whole resampling of a slice (equal rates copy it).
std::vector<std::int16_t> resample_linear(std::span<const std::int16_t> samples, std::uint32_t source_rate,
                                          std::uint32_t target_rate);

// Writes the source's timeline of exactly `target` frames to `out`, each
// segment and missing index at its place as compute_material_frames counts
// it. A segment that cannot be read becomes silence of its slot. A target beyond
// 24 hours is refused with "timeline too long: N frames".
IoResult<TimelineResult> build_source_timeline(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                                               const std::filesystem::path& out, std::uint64_t target,
                                               const GapSlots& gaps = {});

// Silences every frame of the first `target` frames of the timeline that
// lies outside the intervals; returns how many frames it silenced.
IoResult<std::uint64_t> apply_system_interval_mask(const std::filesystem::path& timeline, std::uint64_t target,
                                                   const std::vector<SourceRecordingInterval>& intervals);

}  // namespace recorder::exporter
