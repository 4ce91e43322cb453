#include "recorder/recovery/sidecar.h"

#include <gtest/gtest.h>

#include <string>

namespace recorder::recovery {
namespace {

// The capture helper's pretty-printed form, keys in its own order.
const std::string kHelperSidecar = R"({
  "frames_written" : 120000,
  "schema_version" : 1,
  "checkpoint_at_utc" : "2026-05-05T10:00:05.123Z",
  "byte_offset" : 240068,
  "wall_time_ms_at_checkpoint" : 5012,
  "segment_index" : 3,
  "audio_time_ms_at_checkpoint" : 5000
}
)";

const CheckpointSidecar kExpected{1, 3, 120000, 240068, 5012, 5000, "2026-05-05T10:00:05.123Z"};

// The helper's sidecar with one key's value replaced.
std::string with_value(const std::string& key, const std::string& value) {
  std::string text = kHelperSidecar;
  const auto at = text.find("\"" + key + "\"");
  const auto colon = text.find(':', at);
  const auto end = text.find_first_of(",\n", colon);
  text.replace(colon + 2, end - colon - 2, value);
  return text;
}

TEST(Sidecar, ReadsTheHelpersObject) {
  EXPECT_EQ(parse_checkpoint_sidecar(kHelperSidecar), kExpected);
  EXPECT_EQ(parse_checkpoint_sidecar(" \t\r\n" + kHelperSidecar + "\r\n  "), kExpected);
  // The older name of the audio time is accepted for it.
  std::string alias = kHelperSidecar;
  alias.replace(alias.find("audio_time"), 10, "logical_time");
  EXPECT_EQ(parse_checkpoint_sidecar(alias), kExpected);
  // Other keys are skipped, whatever they hold, repeated or not.
  std::string extra = kHelperSidecar;
  extra.insert(1, R"("note":{"a":[1,{"b":null}]},"note":-1.5,)");
  EXPECT_EQ(parse_checkpoint_sidecar(extra), kExpected);
  EXPECT_EQ(parse_checkpoint_sidecar(with_value("wall_time_ms_at_checkpoint", "-7"))->wall_time_ms_at_checkpoint, -7);
}

TEST(Sidecar, ReadsTheArrayForm) {
  EXPECT_EQ(parse_checkpoint_sidecar(R"([1,3,120000,240068,5012,5000,"2026-05-05T10:00:05.123Z"])"), kExpected);
  EXPECT_FALSE(parse_checkpoint_sidecar(R"([1,3,120000,240068,5012,5000])").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(R"([1,3,120000,240068,5012,5000,"t",1])").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(R"([1,3,120000,240068,5012,"5000","t"])").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar("[]").has_value());
}

TEST(Sidecar, RefusesEverythingElse) {
  EXPECT_FALSE(parse_checkpoint_sidecar("{}").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar("").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar("5").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar("\xEF\xBB\xBF" + kHelperSidecar).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(kHelperSidecar + "x").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(kHelperSidecar + "{}").has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(kHelperSidecar.substr(0, kHelperSidecar.size() - 3)).has_value());

  // Each key is required.
  for (const char* key : {"schema_version", "segment_index", "frames_written", "byte_offset",
                          "wall_time_ms_at_checkpoint", "audio_time_ms_at_checkpoint", "checkpoint_at_utc"}) {
    std::string missing = kHelperSidecar;
    missing.replace(missing.find(key), std::string(key).size(), std::string("x_") + key);
    EXPECT_FALSE(parse_checkpoint_sidecar(missing).has_value()) << key;
  }
  // A key twice, also as its alias beside it.
  std::string twice = kHelperSidecar;
  twice.insert(1, R"("byte_offset":240068,)");
  EXPECT_FALSE(parse_checkpoint_sidecar(twice).has_value());
  std::string both = kHelperSidecar;
  both.insert(1, R"("logical_time_ms_at_checkpoint":5000,)");
  EXPECT_FALSE(parse_checkpoint_sidecar(both).has_value());

  // Types and ranges.
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("frames_written", "120000.0")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("frames_written", "1.2e5")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("frames_written", "-1")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("frames_written", "\"120000\"")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("frames_written", "null")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("byte_offset", "18446744073709551616")).has_value());
  EXPECT_TRUE(parse_checkpoint_sidecar(with_value("byte_offset", "18446744073709551615")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("schema_version", "4294967296")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("wall_time_ms_at_checkpoint", "9223372036854775808")).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(with_value("checkpoint_at_utc", "5")).has_value());
}

TEST(Sidecar, NestingLimit) {
  const auto nested = [](int levels) {
    const int inner = levels - 1;
    std::string text = kHelperSidecar;
    text.insert(1, "\"deep\":" + std::string(inner, '[') + std::string(inner, ']') + ",");
    return text;
  };
  EXPECT_TRUE(parse_checkpoint_sidecar(nested(127)).has_value());
  EXPECT_FALSE(parse_checkpoint_sidecar(nested(128)).has_value());
}

}  // namespace
}  // namespace recorder::recovery
