#include "helper/offline/concat_manifest.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>

namespace helper {

namespace {

// A JSON number that is exactly a 64-bit integer.
std::optional<int64_t> exactInt64(const nlohmann::json& v) {
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    // 2^63 itself is out of range; every double below it converts exactly.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
      return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<SegEntry> entryOf(const std::string& line, const std::string& source) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  const auto type = j.find("type");
  if (type == j.end() || !type->is_string() || type->get<std::string>() != "segment_closed") return std::nullopt;
  const auto src = j.find("source");
  if (src == j.end() || !src->is_string() || src->get<std::string>() != source) return std::nullopt;
  const auto path = j.find("path");
  if (path == j.end() || !path->is_string()) return std::nullopt;
  const auto seq = j.find("seq");
  if (seq == j.end()) return std::nullopt;
  const std::optional<int64_t> seqValue = exactInt64(*seq);
  const auto frames = j.find("canonical_frames");
  if (!seqValue || frames == j.end()) return std::nullopt;
  const std::optional<int64_t> framesValue = exactInt64(*frames);
  if (!framesValue || *framesValue < 0) return std::nullopt;
  return SegEntry{path->get<std::string>(), *seqValue, *framesValue};
}

}  // namespace

std::vector<SegEntry> parseConcatManifest(const std::string& text, const std::string& source) {
  std::vector<SegEntry> entries;
  std::set<std::pair<int64_t, std::string>> seen;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (end < text.size() && !line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (line.empty()) continue;
    std::optional<SegEntry> entry = entryOf(line, source);
    if (!entry || !seen.insert({entry->seq, entry->path}).second) continue;
    entries.push_back(std::move(*entry));
  }
  std::stable_sort(entries.begin(), entries.end(), [](const SegEntry& a, const SegEntry& b) { return a.seq < b.seq; });
  return entries;
}

std::string manifestBaseDirectory(const std::string& manifestPath) {
  std::string p = manifestPath;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string joinSegmentPath(const std::string& base, const std::string& path) {
  const size_t first = path.find_first_not_of('/');
  const std::string relative = first == std::string::npos ? "" : path.substr(first);
  if (base.empty()) return relative.empty() ? "." : relative;
  if (base.back() == '/') return base + relative;
  return base + "/" + relative;
}

bool isValidUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t out = 0;
  if (__builtin_add_overflow(a, b, &out))
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  return out;
}

}  // namespace helper
