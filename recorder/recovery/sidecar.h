#pragma once
// The checkpoint sidecar beside each segment, as the recovery side reads it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace recorder::recovery {

struct CheckpointSidecar {
  std::uint32_t schema_version = 0;
  std::uint64_t segment_index = 0;
  std::uint64_t frames_written = 0;
  std::uint64_t byte_offset = 0;
  std::int64_t wall_time_ms_at_checkpoint = 0;
  // Also read from its older name.
  std::int64_t audio_time_ms_at_checkpoint = 0;
  std::string checkpoint_at_utc;
  bool operator==(const CheckpointSidecar&) const = default;
};

// Sidecars are a few hundred bytes; more than this is not one.
inline constexpr std::size_t kMaxSidecarBytes = 64 * 1024;

// The sidecar held by the text: a JSON object with every one of the seven
// keys exactly once (other keys skipped), or an array of the seven values in
// order. Nothing when the text is anything else.
std::optional<CheckpointSidecar> parse_checkpoint_sidecar(std::string_view text);

}  // namespace recorder::recovery
