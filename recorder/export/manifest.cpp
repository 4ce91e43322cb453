#include "recorder/export/manifest.h"

#include <algorithm>
#include <array>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "recorder/export/export_constants.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/strict_json.h"
#include "recorder/recovery/utf8.h"

namespace recorder::exporter {
namespace {

using nlohmann::json;

// Calls `visit` with every manifest line that is a JSON object with a string
// "type", in file order, until it returns false. A missing manifest has no lines.
IoResult<void> for_each_record(const std::filesystem::path& session_dir,
                               const std::function<bool(const json& record, const std::string& type)>& visit) {
  const auto path = session_dir / kManifestFileName;
  if (!file_status(path)) return {};
  auto file = File::open_read(path);
  if (!file) return file.error();
  BufferedReader reader(*file);

  std::string line;
  bool overlong = false;
  bool stop = false;
  const auto take_line = [&] {
    if (!overlong) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (is_valid_utf8(line)) {
        const json value = json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (value.is_object()) {
          const auto type = value.find("type");
          if (type != value.end() && type->is_string() && !visit(value, type->get_ref<const std::string&>())) {
            stop = true;
          }
        }
      }
    }
    line.clear();
    overlong = false;
  };

  std::array<std::uint8_t, kIoBufferBytes> chunk{};
  while (!stop) {
    auto n = reader.read(chunk);
    if (!n) return n.error();
    if (*n == 0) break;
    for (std::size_t i = 0; i < *n && !stop; ++i) {
      const char c = static_cast<char>(chunk[i]);
      if (c == '\n') {
        take_line();
      } else if (!overlong) {
        if (line.size() >= kMaxManifestLineBytes) {
          overlong = true;
          line.clear();
        } else {
          line.push_back(c);
        }
      }
    }
  }
  if (!stop && (!line.empty() || overlong)) take_line();
  return {};
}

// A member that must be a non-negative integer fitting 64 bits. `absent` is
// true when the member is not there at all.
struct U64Member {
  bool absent = true;
  std::optional<std::uint64_t> value;
};
U64Member u64_member(const json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end()) return {};
  return U64Member{false, json_u64(*it)};
}

bool string_member_is(const json& record, const char* key, std::string_view expected) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() && it->get_ref<const std::string&>() == expected;
}

// A segment_closed record of the source sets its index's slot.
void take_segment_closed(SlotMap& slots, const json& record, const std::string& type, std::string_view source) {
  if (type != "segment_closed" || !string_member_is(record, "source", source)) return;
  // No fallback from a malformed first choice to the second.
  auto index = u64_member(record, "seq");
  if (index.absent) index = u64_member(record, "index");
  if (!index.value) return;
  // The segment's frames say its length exactly, at the rate it was
  // recorded at; its wall duration, in whole milliseconds, only where a
  // record gives no frames. A segment of 0 frames takes no time.
  auto frames = u64_member(record, "canonical_frames");
  if (frames.absent) frames = u64_member(record, "frames");
  if (!frames.absent) {
    if (!frames.value) return;
    const auto rate = u64_member(record, "canonical_rate").value;
    const std::uint64_t hz = rate && *rate != 0 ? *rate : kExportRate;
    slots[*index.value] = sat_mul_div_ceil(*frames.value, kExportRate, hz);
    return;
  }
  auto duration = u64_member(record, "wall_clock_ms");
  if (duration.absent) duration = u64_member(record, "duration_ms");
  if (!duration.value || *duration.value == 0) return;
  slots[*index.value] = sat_mul_div_ceil(*duration.value, kExportRate, 1000);
}

// The times a record gives of the session: a recording state's elapsed
// time, a closed segment's host clock stamps.
void take_times(SessionTimes& times, const json& record, const std::string& type) {
  if (type == "source_recording_state") {
    if (const auto elapsed = u64_member(record, "elapsed_ms").value) {
      times.latest_elapsed_ms = std::max(times.latest_elapsed_ms.value_or(0), *elapsed);
    }
    return;
  }
  if (type != "segment_closed") return;
  const auto start = u64_member(record, "host_time_start_ns").value;
  const auto end = u64_member(record, "host_time_end_ns").value;
  if (start) times.first_host_ns = std::min(times.first_host_ns.value_or(*start), *start);
  if (end) times.last_host_ns = std::max(times.last_host_ns.value_or(*end), *end);
}

// A system source_recording_state record opens or closes an interval.
void take_recording_state(SystemRecordingStates& states, const json& record, const std::string& type) {
  if (type != "source_recording_state" || !string_member_is(record, "source", "system")) return;
  const auto recording = record.find("recording");
  if (recording == record.end() || !recording->is_boolean()) return;
  const auto elapsed = u64_member(record, "elapsed_ms").value;
  if (!elapsed) return;
  if (recording->get<bool>()) {
    if (!states.open_since) states.open_since = *elapsed;
  } else {
    if (states.open_since && *elapsed > *states.open_since) states.closed.push_back({*states.open_since, *elapsed});
    states.open_since.reset();
  }
  states.seen = true;
}

// True for a record that tells of a route recovery.
bool is_route_recovery(const json& record, const std::string& type) {
  if (type == "source_recovered") return true;
  if (type == "source_failed") {
    const auto it = record.find("recoverable");
    return it != record.end() && it->is_boolean() && it->get<bool>();
  }
  if (type == "route_trace") {
    return string_member_is(record, "stage", "source_recovery_failed") ||
           string_member_is(record, "stage", "source_recovery_timeout") ||
           string_member_is(record, "stage", "source_recovery_retrying") ||
           string_member_is(record, "stage", "route_coordinator_source_failed");
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> SessionTimes::span_ms() const {
  std::optional<std::uint64_t> span = latest_elapsed_ms;
  if (first_host_ns && last_host_ns && *last_host_ns > *first_host_ns) {
    span = std::max(span.value_or(0), (*last_host_ns - *first_host_ns) / 1'000'000);
  }
  return span;
}

SystemRecordingIntervals SystemRecordingStates::until(std::uint64_t end_ms) const {
  SystemRecordingIntervals result{closed, seen};
  if (open_since && end_ms > *open_since) result.intervals.push_back({*open_since, end_ms});
  return result;
}

IoResult<SessionManifest> read_manifest(const std::filesystem::path& session_dir) {
  SessionManifest manifest;
  auto r = for_each_record(session_dir, [&](const json& record, const std::string& type) {
    take_segment_closed(manifest.mic_slots, record, type, "mic");
    take_segment_closed(manifest.system_slots, record, type, "system");
    take_recording_state(manifest.system_states, record, type);
    if (!manifest.route_recovery) manifest.route_recovery = is_route_recovery(record, type);
    take_times(manifest.times, record, type);
    return true;
  });
  if (!r) return r.error();
  return manifest;
}

IoResult<SlotMap> read_manifest_entries(const std::filesystem::path& session_dir, std::string_view source) {
  SlotMap slots;
  auto r = for_each_record(session_dir, [&](const json& record, const std::string& type) {
    take_segment_closed(slots, record, type, source);
    return true;
  });
  if (!r) return r.error();
  return slots;
}

IoResult<SystemRecordingIntervals> read_system_recording_intervals(const std::filesystem::path& session_dir,
                                                                   std::uint64_t end_ms) {
  SystemRecordingStates states;
  auto r = for_each_record(session_dir, [&](const json& record, const std::string& type) {
    take_recording_state(states, record, type);
    return true;
  });
  if (!r) return r.error();
  return states.until(end_ms);
}

IoResult<bool> read_manifest_stage(const std::filesystem::path& session_dir) {
  bool found = false;
  auto r = for_each_record(session_dir, [&](const json& record, const std::string& type) {
    found = is_route_recovery(record, type);
    return !found;
  });
  if (!r) return r.error();
  return found;
}

}  // namespace recorder::exporter
