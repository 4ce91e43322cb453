#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "helper/selftest/self_test_suite.h"

namespace helper {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(SelfTestText, FiguresKeepTheirTextEvenWhenNotFinite) {
  EXPECT_EQ(decimalText(0.4), "0.4");
  EXPECT_EQ(decimalText(48000), "48000");
  EXPECT_EQ(decimalText(kNaN), "nan");
  EXPECT_EQ(decimalText(-kInf), "-inf");

  EXPECT_EQ(wholeNumberText(44097.9), "44097");
  EXPECT_EQ(wholeNumberText(-2.5), "-2");
  EXPECT_EQ(wholeNumberText(1e20), "100000000000000000000");
  EXPECT_EQ(wholeNumberText(kNaN), "nan");
  EXPECT_EQ(wholeNumberText(kInf), "inf");
  EXPECT_EQ(wholeNumberText(-kInf), "-inf");

  EXPECT_EQ(fixedText(3.004, 2), "3.00");
  EXPECT_EQ(fixedText(kNaN, 2), "nan");
  EXPECT_EQ(flagText(true), "true");
  EXPECT_EQ(flagText(false), "false");
}

TEST(SelfTestText, FixtureFieldsAreReadOnlyWithTheirType) {
  const nlohmann::json e = {{"type", "x"}, {"n", 7}, {"f", 7.0}, {"s", "7"}};
  EXPECT_TRUE(hasText(e, "type", "x"));
  EXPECT_TRUE(hasWhole(e, "n", 7));
  EXPECT_FALSE(hasWhole(e, "f", 7));
  EXPECT_FALSE(hasWhole(e, "s", 7));
  EXPECT_FALSE(hasText(e, "n", "7"));
  EXPECT_FALSE(hasText(e, "missing", ""));
  EXPECT_FALSE(hasText(nlohmann::json::array(), "type", "x"));
}

TEST(SelfTestRing, MessagesAreLittleEndianAndReadAcrossTheEndOfTheStorage) {
  const auto message = micRingMessageBytes(0x01020304, {0.5f});
  EXPECT_EQ(message, (std::vector<uint8_t>{4, 3, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0x3F}));
  EXPECT_EQ(readU32(message, 0), 0x01020304u);
  EXPECT_EQ(readF32(message, 8), 0.5f);
  EXPECT_EQ(readU32(message, 10), 0u);  // past the end

  OwnedRing ring(16);
  ASSERT_TRUE(ring.push(std::vector<uint8_t>(12, 0xEE)));
  EXPECT_EQ(ring.drainAll(), 12u);
  ASSERT_TRUE(ring.push(message));  // wraps after 4 bytes
  EXPECT_EQ(ring.peek(64), message);
  EXPECT_EQ(ring.drainAll(), 12u);
  EXPECT_EQ(ring.readable(), 0u);
  EXPECT_EQ(ring.ring().read_pos.load(), 24u);

  ring.reset();
  EXPECT_EQ(ring.ring().write_pos.load(), 0u);
  EXPECT_EQ(ring.ring().dropped.load(), 0u);
}

}  // namespace
}  // namespace helper
