#pragma once
// The concat mode's reading of the host's manifest: which "segment_closed"
// lines of one source to join, and in which order.
#include <cstdint>
#include <string>
#include <vector>

namespace helper {

struct SegEntry {
  std::string path;
  int64_t seq = 0;
  int64_t frames = 0;
  bool operator==(const SegEntry&) const = default;
};

// The accepted lines of `text` for `source`, sorted by seq (stable). Lines
// end at LF, one CR before it is dropped; malformed and foreign lines are
// skipped silently, so is a negative "canonical_frames"; a line repeating
// an earlier one's seq and path is dropped so its audio is not spliced twice.
std::vector<SegEntry> parseConcatManifest(const std::string& text, const std::string& source);

// The manifest's directory, by removing the last path component ("" when
// there is none).
std::string manifestBaseDirectory(const std::string& manifestPath);
// `path` under `base`, as a relative component even when it begins with "/".
std::string joinSegmentPath(const std::string& base, const std::string& path);

bool isValidUtf8(const std::string& text);

// a + b, held at the 64-bit limits instead of wrapping.
int64_t saturatingAdd(int64_t a, int64_t b);

}  // namespace helper
