#pragma once
// Segment recovery and the recovery plan: each source directory of a session
// becomes an ordered list of segments checked against their checkpoint
// sidecars, and the session a plan with the gaps in the numbering, the short
// segments, the directory-level warnings and the recoverable duration.
// Only headers and sidecars are read, never the samples; nothing is written.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "recorder/recovery/io_error.h"
#include "recorder/recovery/sidecar.h"

namespace recorder::recovery {

enum class SegmentSource { Mic, System };

// The source's subdirectory of the session directory: "mic" or "system".
std::string_view source_dir_name(SegmentSource source);

// The rate of a segment too short to hold a header.
inline constexpr std::uint32_t kDefaultSegmentRate = 24000;

// ---- Warnings: data only, never printed ----

// Segment level: the sidecar exists but holds no valid checkpoint (or could not be read).
struct SidecarUnparseable {
  std::filesystem::path sidecar;
  bool operator==(const SidecarUnparseable&) const = default;
};
// Segment level: the checkpoint lies beyond the data present.
struct DataShorterThanCheckpoint {
  std::uint64_t byte_offset = 0;  // as the sidecar states it
  std::uint64_t data_bytes = 0;   // file size - 68
  bool operator==(const DataShorterThanCheckpoint&) const = default;
};
// Segment level: one byte dropped so the kept data hold whole samples.
struct OddTrailingByte {
  std::uint64_t bytes = 1;
  bool operator==(const OddTrailingByte&) const = default;
};
// Directory level: a ".caf" file whose name yields no segment index.
struct UnparseableSegmentName {
  std::filesystem::path path;
  bool operator==(const UnparseableSegmentName&) const = default;
};
// Directory level: two or more ".caf" files yield one index; the first path is the one kept.
struct DuplicateSegmentIndex {
  std::uint64_t index = 0;
  std::vector<std::filesystem::path> paths;
  bool operator==(const DuplicateSegmentIndex&) const = default;
};
// Segment level: the sidecar's byte_offset matches its frames_written
// neither from the data start (2 x frames) nor from the file start (68 + 2 x frames).
struct CheckpointOffsetMismatch {
  std::uint64_t frames_written = 0;
  std::uint64_t byte_offset = 0;
  bool operator==(const CheckpointOffsetMismatch&) const = default;
};

// Directory level: a segment that holds no audio this program can read (a
// header that fails the segment rule, not a regular file, a link to
// nothing, a file that cannot be read). It is left out of the source's
// list; what its file still tells of its length is kept, so that its index
// keeps its own slot (as silence).
struct UnusableSegment {
  std::filesystem::path path;
  std::uint64_t index = 0;
  SegmentSource source = SegmentSource::Mic;
  std::string reason;
  // Its sidecar's frames_written, when the sidecar reads.
  std::optional<std::uint64_t> checkpoint_frames;
  // Its size less the header, when it is a regular file.
  std::optional<std::uint64_t> data_bytes;
  bool operator==(const UnusableSegment&) const = default;
};

// Directory level: the source directory exists but cannot be listed; the
// source has no segments.
struct UnlistableSourceDirectory {
  std::filesystem::path path;
  SegmentSource source = SegmentSource::Mic;
  std::string reason;
  bool operator==(const UnlistableSourceDirectory&) const = default;
};

using RecoveryWarning =
    std::variant<SidecarUnparseable, DataShorterThanCheckpoint, OddTrailingByte, UnparseableSegmentName,
                 DuplicateSegmentIndex, CheckpointOffsetMismatch, UnusableSegment, UnlistableSourceDirectory>;

// ---- Gaps ----

// Every index strictly between two neighbouring segments, as one range: the
// numbers come from file names and may lie astronomically far apart.
struct MissingSegment {
  std::uint64_t previous_index = 0;
  std::uint64_t next_index = 0;
  SegmentSource source = SegmentSource::Mic;

  std::uint64_t first_index() const { return previous_index + 1; }
  std::uint64_t last_index() const { return next_index - 1; }
  // How many indices are missing.
  std::uint64_t count() const { return next_index - previous_index - 1; }
  bool operator==(const MissingSegment&) const = default;
};
// A segment that is not its source's last holds fewer frames than a full one.
struct ShortSegment {
  std::uint64_t index = 0;
  std::uint64_t expected_frames = 0;
  std::uint64_t frames = 0;
  SegmentSource source = SegmentSource::Mic;
  bool operator==(const ShortSegment&) const = default;
};

using SourceGap = std::variant<MissingSegment, ShortSegment>;

// Gaps counted one per missing index and one per short segment (saturating
// at the largest 64-bit value).
std::uint64_t count_gaps(const std::vector<SourceGap>& gaps);

// ---- Segments and the plan ----

struct SegmentRecovery {
  std::filesystem::path path;
  std::vector<RecoveryWarning> warnings;  // this segment's own, in the order raised
  std::uint64_t frames = 0;               // kept data bytes / 2
  std::uint64_t duration_ms = 0;          // frames / sample_rate x 1000, truncated and saturated
  std::uint64_t bytes = 0;                // kept data bytes + 68; 0 for a file shorter than 68 bytes
  std::uint32_t sample_rate = kDefaultSegmentRate;
  std::optional<std::filesystem::path> sidecar_path;  // when a regular file lies there
  std::uint64_t index = 0;
  bool operator==(const SegmentRecovery&) const = default;
};

struct SourceSegments {
  std::vector<SegmentRecovery> segments;  // ascending by index
  // Directory level: names in listing order, then duplicates, then unusable segments by index.
  std::vector<RecoveryWarning> warnings;
};

struct RecoveryPlan {
  std::optional<std::uint64_t> duration_ms;  // the larger source sum; absent when both are 0
  std::vector<SegmentRecovery> mic;
  std::vector<SegmentRecovery> system;
  std::vector<SourceGap> gaps;            // mic, then system
  std::vector<RecoveryWarning> warnings;  // directory level: mic, then system

  std::uint64_t gap_count() const { return count_gaps(gaps); }
};

// The segments of one source of a session directory. A missing source
// directory gives empty lists, one that cannot be listed an
// UnlistableSourceDirectory warning. A segment that cannot be used (its
// header, its kind of file, a read error) is left out with an
// UnusableSegment warning; the rest of the source is still recovered.
IoResult<SourceSegments> kelvaro_segments(const std::filesystem::path& session_dir, SegmentSource source);

// Recovers one segment against its sidecar (which may be absent). The result
// carries `path`; `sidecar_path` and `index` are left for the caller. A
// segment of 68 bytes or more whose header fails read_segment_format fails
// with an invalid-data error; one that is not a regular file, or cannot be
// read, with the error met.
IoResult<SegmentRecovery> recover_segment(const std::filesystem::path& segment_path,
                                          const std::filesystem::path& sidecar_path);

// The sidecar at the path, when a regular file there reads as one.
std::optional<CheckpointSidecar> read_checkpoint_sidecar(const std::filesystem::path& sidecar_path);

// The plan of a session. Non-final segments below expected_frames are short
// (none when expected_frames is 0). A session directory that does not exist
// (or is no directory) is an error: nothing is made of a mistyped path.
IoResult<RecoveryPlan> kelvaro_plan(const std::filesystem::path& session_dir, std::uint64_t expected_frames);

}  // namespace recorder::recovery
