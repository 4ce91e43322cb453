#pragma once
// What the finalisation reads of the host's manifest.jsonl: the expected
// length of each segment, the intervals in which the system source was
// really recording, and whether a route recovery happened.
//
// The host appends the manifest while a session runs, so a torn last line
// is ordinary: every line is read on its own, and a line that is not UTF-8
// or not JSON is passed over like any record this program does not use. A
// missing manifest reads as an empty one.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

inline constexpr const char* kManifestFileName = "manifest.jsonl";
// A longer manifest line is passed over as unparsable.
inline constexpr std::size_t kMaxManifestLineBytes = 1024 * 1024;

// Segment index -> expected length of that segment in frames at the export rate.
using SlotMap = std::map<std::uint64_t, std::uint64_t>;

// Milliseconds from the start of the session; start_ms < end_ms.
struct SourceRecordingInterval {
  std::uint64_t start_ms = 0;
  std::uint64_t end_ms = 0;
  bool operator==(const SourceRecordingInterval&) const = default;
};

struct SystemRecordingIntervals {
  std::vector<SourceRecordingInterval> intervals;  // in the order found
  bool seen = false;                               // at least one valid system recording-state record
};

// The system source's recording-state records as read: the intervals their
// stops closed, and the start of one no stop closed.
struct SystemRecordingStates {
  std::vector<SourceRecordingInterval> closed;  // in the order found
  std::optional<std::uint64_t> open_since;
  bool seen = false;  // at least one valid record

  // The intervals, the open one ending at end_ms (the end of the timeline)
  // when that lies beyond its start.
  SystemRecordingIntervals until(std::uint64_t end_ms) const;
};

// How long the manifest's records say the session ran.
struct SessionTimes {
  std::optional<std::uint64_t> latest_elapsed_ms;  // of the recording-state records
  std::optional<std::uint64_t> first_host_ns;      // of the closed segments' host clock stamps
  std::optional<std::uint64_t> last_host_ns;

  // The longest of the two, in milliseconds; nothing when no record gives a time.
  std::optional<std::uint64_t> span_ms() const;
};

// What the finalisation takes from the manifest, gathered in one pass.
struct SessionManifest {
  SlotMap mic_slots;
  SlotMap system_slots;
  SystemRecordingStates system_states;
  bool route_recovery = false;
  SessionTimes times;
};

// The whole manifest in one read: the records the functions below read, each
// taken as they take it.
IoResult<SessionManifest> read_manifest(const std::filesystem::path& session_dir);

// The slot map of one source ("mic" or "system") from its segment_closed
// records: index from "seq" (else "index"); length from "canonical_frames"
// (else "frames") at "canonical_rate" (else the export rate), and only in a
// record without frames from "wall_clock_ms" (else "duration_ms"; 0 gives
// none). A later record for an index replaces an earlier one.
IoResult<SlotMap> read_manifest_entries(const std::filesystem::path& session_dir, std::string_view source);

// The system source's recording intervals from its source_recording_state
// records. An interval still open after the last record ends at end_ms
// (the end of the timeline) when that lies beyond its start.
IoResult<SystemRecordingIntervals> read_system_recording_intervals(const std::filesystem::path& session_dir,
                                                                   std::uint64_t end_ms);

// True when the manifest records a route recovery: source_recovered, a
// recoverable source_failed, or a route_trace at a recovery stage.
IoResult<bool> read_manifest_stage(const std::filesystem::path& session_dir);

}  // namespace recorder::exporter
