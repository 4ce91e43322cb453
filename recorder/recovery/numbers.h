#pragma once
// Unsigned arithmetic that never wraps, and the one decimal reader of the
// recovery program. Lengths come from file sizes, file names and the host's
// manifest, so none of them may overflow silently.
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace recorder {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}

constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}

constexpr std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// ceil(value x mul / div); the largest value when the product does not fit.
constexpr std::uint64_t sat_mul_div_ceil(std::uint64_t value, std::uint64_t mul, std::uint64_t div) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(value, mul, &product)) return kU64Max;
  return product / div + (product % div != 0 ? 1 : 0);
}

// An unsigned 64-bit decimal: one optional leading "+", then digits only.
inline std::optional<std::uint64_t> parse_u64(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace recorder
