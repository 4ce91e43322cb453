#include "helper/core/entry/clock.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

TEST(MachAbsoluteTime, IsMonotonic) {
  const uint64_t a = machAbsoluteTimeNs();
  const uint64_t b = machAbsoluteTimeNs();
  EXPECT_GT(a, 0u);
  EXPECT_LE(a, b);
}

}  // namespace
}  // namespace helper
