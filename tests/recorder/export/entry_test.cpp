#include "recorder/export/entry.h"

#include <gtest/gtest.h>

#include <utility>

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

TEST(SessionId, LastNormalComponentOfThePath) {
  const std::pair<const char*, const char*> rows[] = {{"/data/sessions/abc-123", "abc-123"},
                                                      {"/data/sessions/abc-123/", "abc-123"},
                                                      {"abc//.//", "abc"},
                                                      {"rel", "rel"},
                                                      {"caf\xC3\xA9", "caf\xC3\xA9"},
                                                      {"..", "unknown"},
                                                      {"a/..", "unknown"},
                                                      {".", "unknown"},
                                                      {"/", "unknown"},
                                                      {"", "unknown"},
                                                      {"a/\xFF", "unknown"}};
  for (const auto& [path, id] : rows) EXPECT_EQ(session_id_from_path(path), id) << path;
}

TEST(ExpectedDuration, UnsignedDecimalWithOptionalPlus) {
  EXPECT_EQ(parse_expected_duration("250"), 250U);
  EXPECT_EQ(parse_expected_duration("+250"), 250U);
  EXPECT_EQ(parse_expected_duration("0"), 0U);
  EXPECT_EQ(parse_expected_duration("18446744073709551615"), 18446744073709551615ULL);
  for (const char* bad : {"", "+", "-", "-5", "abc", " 5", "5 ", "1.5", "++5", "18446744073709551616", "0x10"}) {
    EXPECT_EQ(parse_expected_duration(bad), std::nullopt) << bad;
  }
}

TEST(WarningList, QuotedItemsWithEscapes) {
  EXPECT_EQ(format_warning_list({}), "[]");
  EXPECT_EQ(format_warning_list({"a: b", "c"}), "[\"a: b\", \"c\"]");
  EXPECT_EQ(format_warning_list({"q\"b\\t\tr\rn\nz", std::string("nul\0", 4)}),
            "[\"q\\\"b\\\\t\\tr\\rn\\nz\", \"nul\\0\"]");
  EXPECT_EQ(format_warning_list({"bell\x07 del\x7F caf\xC3\xA9"}), "[\"bell\\u{7} del\\u{7f} caf\xC3\xA9\"]");
}

}  // namespace
}  // namespace recorder::exporter
