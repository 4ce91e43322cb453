#pragma once
// Guarded floating-point to integer conversions: a value outside the
// target's range is undefined behaviour in a plain cast.
#include <cmath>
#include <cstdint>

namespace helper {

// Truncated toward zero; 0 for NaN; the nearest end of the range beyond it.
inline int64_t truncToInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(v);
}

// Truncated toward zero; 0 for NaN and below 0; UINT32_MAX above its range.
inline uint32_t truncToUInt32(double v) {
  if (!(v > 0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

}  // namespace helper
