#include "recorder/recovery/sidecar.h"

#include <array>

#include "recorder/recovery/strict_json.h"
#include "segment_format/segment_format.h"

namespace recorder::recovery {
namespace {

using nlohmann::json;

constexpr std::size_t kFieldCount = 7;

template <class T>
bool assign(std::optional<T> value, T& out) {
  if (value) out = *value;
  return value.has_value();
}

// Stores the value of field `i` (in declaration order); false when its type is wrong.
bool set_field(CheckpointSidecar& s, std::size_t i, const json& v) {
  switch (i) {
    case 0:
      return assign(json_u32(v), s.schema_version);
    case 1:
      return assign(json_u64(v), s.segment_index);
    case 2:
      return assign(json_u64(v), s.frames_written);
    case 3:
      return assign(json_u64(v), s.byte_offset);
    case 4:
      return assign(json_i64(v), s.wall_time_ms_at_checkpoint);
    case 5:
      return assign(json_i64(v), s.audio_time_ms_at_checkpoint);
    case 6:
      if (!v.is_string()) return false;
      s.checkpoint_at_utc = v.get<std::string>();
      return true;
    default:
      return false;
  }
}

// The field a key names, or kFieldCount for a key to skip.
std::size_t field_of_key(std::string_view key) {
  namespace keys = segment_format::sidecar_key;
  static constexpr std::array<std::string_view, kFieldCount> kKeys = {
      keys::kSchemaVersion,   keys::kSegmentIndex,           keys::kFramesWritten,
      keys::kByteOffset,      keys::kWallTimeMsAtCheckpoint, keys::kAudioTimeMsAtCheckpoint,
      keys::kCheckpointAtUtc,
  };
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (kKeys[i] == key) return i;
  }
  if (key == keys::kLogicalTimeMsAtCheckpoint) return 5;
  return kFieldCount;
}

}  // namespace

std::optional<CheckpointSidecar> parse_checkpoint_sidecar(std::string_view text) {
  const auto doc = parse_strict_json(text);
  if (!doc) return std::nullopt;
  CheckpointSidecar sidecar;
  if (!doc->is_object) {
    if (doc->items.size() != kFieldCount) return std::nullopt;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      if (!set_field(sidecar, i, doc->items[i])) return std::nullopt;
    }
    return sidecar;
  }
  std::array<bool, kFieldCount> seen{};
  for (const auto& [key, value] : doc->members) {
    const std::size_t i = field_of_key(key);
    if (i == kFieldCount) continue;
    // A repeat, the alias beside its key included, makes the text invalid.
    if (seen[i] || !set_field(sidecar, i, value)) return std::nullopt;
    seen[i] = true;
  }
  for (const bool s : seen) {
    if (!s) return std::nullopt;
  }
  return sidecar;
}

}  // namespace recorder::recovery
