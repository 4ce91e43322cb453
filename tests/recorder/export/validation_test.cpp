#include "recorder/export/validation.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/recorder/export/export_fixtures.h"
#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

using fixtures::write_script;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// A stand-in inspector: prints the given output, notes its arguments, exits with the given code.
class InspectorTest : public ::testing::Test {
 protected:
  fs::path inspector(const std::string& name, const std::string& output, int code = 0) {
    writeFile(tmp_ / (name + ".out"), output);
    return write_script(tmp_ / name, "printf '%s\\n' \"$@\" > '" + (tmp_ / (name + ".args")).string() + "'; cat '" +
                                         (tmp_ / (name + ".out")).string() + "'; exit " + std::to_string(code));
  }
  fs::path audio(std::size_t bytes = 4000) {
    writeFile(tmp_ / "a.m4a", std::string(bytes, 'x'));
    return tmp_ / "a.m4a";
  }
  FinalAudioValidation afinfo(const std::string& output, std::uint64_t expected, int code = 0) {
    const AfInfoValidator validator(inspector("afinfo", output, code).string());
    auto r = validator.validate_final_audio(audio(), expected);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? *r : FinalAudioValidation{};
  }
  static std::string afinfo_text(const std::string& seconds, const std::string& packets) {
    return "File:           a.m4a\nFile type ID:   m4af\nNum Tracks:     1\n----\n"
           "Data format:     1 ch,  24000 Hz, aac (0x00000000) 0 bits/channel\n"
           "estimated duration: " +
           seconds + " sec\naudio bytes: 18000\naudio packets: " + packets + "\nbit rate: 48000 bits per second\n";
  }
  TempDir tmp_;
};

TEST_F(InspectorTest, MissingFileAndTooSmallFileNeverReachTheInspector) {
  const AfInfoValidator validator((tmp_ / "no-such-afinfo").string());
  auto missing = validator.validate_final_audio(tmp_ / "none.m4a", 1000);
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->passed);
  EXPECT_FALSE(missing->exists);
  EXPECT_EQ(missing->bytes, 0U);
  EXPECT_EQ(missing->error, "file does not exist");

  auto small = validator.validate_final_audio(audio(99), 1000);
  ASSERT_TRUE(small.ok());
  EXPECT_TRUE(small->exists);
  EXPECT_EQ(small->bytes, 99U);
  EXPECT_EQ(small->error, "file too small: 99 bytes");
  EXPECT_FALSE(small->decoded_end_to_end);

  // 100 bytes go to the inspector, which is missing here: the check cannot be made.
  auto checked = validator.validate_final_audio(audio(100), 1000);
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error().to_string(), "afinfo could not be run (" + (tmp_ / "no-such-afinfo").string() +
                                             "): No such file or directory (os error 2)");
}

TEST_F(InspectorTest, AfinfoReadingAndTheDurationTolerance) {
  auto v = afinfo(afinfo_text("60.400000", "2813"), 60000);
  EXPECT_TRUE(v.passed);
  EXPECT_FALSE(v.error.has_value());
  EXPECT_EQ(v.duration_ms, 60400U);
  EXPECT_EQ(v.audio_packets, 2813U);
  EXPECT_EQ(v.duration_delta_ms, 400);
  EXPECT_EQ(v.bytes, 4000U);
  EXPECT_TRUE(v.decoded_end_to_end);
  // The inspector is handed the path made absolute.
  EXPECT_EQ(readFile(tmp_ / "afinfo.args"), (tmp_ / "a.m4a").string() + "\n");

  v = afinfo(afinfo_text("60.6", "2813"), 60000);
  EXPECT_FALSE(v.passed);
  EXPECT_EQ(v.error, "duration 60600ms vs expected 60000ms (delta 600ms, tolerance 500ms)");
  v = afinfo(afinfo_text("58.8", "2813"), 60000);
  EXPECT_EQ(v.error, "duration 58800ms vs expected 60000ms (delta -1200ms, tolerance 500ms)");
  EXPECT_EQ(v.duration_delta_ms, -1200);
  EXPECT_TRUE(afinfo(afinfo_text("603", "9"), 600000).passed);
  EXPECT_EQ(afinfo(afinfo_text("603.001", "9"), 600000).error,
            "duration 603001ms vs expected 600000ms (delta 3001ms, tolerance 3000ms)");
  // No expected duration: only half a second passes.
  EXPECT_TRUE(afinfo(afinfo_text("0.5", "9"), 0).passed);
  EXPECT_FALSE(afinfo(afinfo_text("0.6", "9"), 0).passed);
  EXPECT_EQ(afinfo(afinfo_text("12.345", "9"), 12345).duration_ms, 12345U);
  EXPECT_EQ(afinfo("estimated duration: 12.345 sec sec\naudio packets: 1\n", 0).duration_ms, 12345U);
}

TEST_F(InspectorTest, AfinfoWithoutPacketsOrWithoutAnswer) {
  auto v = afinfo(afinfo_text("3.0", "0"), 3000);
  EXPECT_FALSE(v.passed);
  EXPECT_EQ(v.error, "no audio packets");
  EXPECT_EQ(v.audio_packets, 0U);
  v = afinfo("estimated duration: 3.0 sec\n", 3000);
  EXPECT_EQ(v.error, "no audio packets");
  EXPECT_FALSE(v.audio_packets.has_value());
  v = afinfo("estimated duration: soon sec\naudio packets: many\n", 0);
  EXPECT_EQ(v.duration_ms, 0U);
  EXPECT_FALSE(v.audio_packets.has_value());

  v = afinfo("garbage", 3000, 1);
  EXPECT_FALSE(v.passed);
  EXPECT_TRUE(v.exists);
  EXPECT_FALSE(v.decoded_end_to_end);
  EXPECT_EQ(v.error, "afinfo failed to open file");
}

TEST_F(InspectorTest, FfprobeReadsDurationAndPacketCount) {
  const auto probe = inspector("ffprobe", "nb_read_packets=141\nduration=3.008000\n");
  auto v = FfprobeValidator(probe.string()).validate_final_audio(audio(), 3000);
  ASSERT_TRUE(v.ok()) << v.error().to_string();
  EXPECT_TRUE(v->passed);
  EXPECT_EQ(v->duration_ms, 3008U);
  EXPECT_EQ(v->audio_packets, 141U);
  const std::string args = readFile(tmp_ / "ffprobe.args");
  EXPECT_NE(args.find("-count_packets\n"), std::string::npos);
  EXPECT_TRUE(args.ends_with("\n" + (tmp_ / "a.m4a").string() + "\n"));

  auto na = FfprobeValidator(inspector("ffprobe", "duration=N/A\n").string()).validate_final_audio(audio(), 3000);
  ASSERT_TRUE(na.ok());
  EXPECT_EQ(na->error, "no audio packets");
  EXPECT_EQ(na->duration_ms, 0U);

  auto failed = FfprobeValidator(inspector("ffprobe", "", 1).string()).validate_final_audio(audio(), 3000);
  ASSERT_TRUE(failed.ok());
  EXPECT_EQ(failed->error, "ffprobe failed to open file");
}

TEST(InspectorOutput, ValueOfTheFirstLineHoldingTheKey) {
  EXPECT_EQ(inspector_value("a: 1\nkey: 2 \nkey: 3\n", "key:"), "2");
  EXPECT_EQ(inspector_value("key: 2 key: 3\n", "key:"), "2");
  EXPECT_EQ(inspector_value("x key:", "key:"), "");
  EXPECT_EQ(inspector_value("no\nthing", "key:"), std::nullopt);
  EXPECT_EQ(seconds_text_to_ms("1.5"), 1500U);
  EXPECT_EQ(seconds_text_to_ms("-2"), 0U);
  EXPECT_EQ(seconds_text_to_ms("nan"), 0U);
  EXPECT_EQ(seconds_text_to_ms("1e30"), 18446744073709551615ULL);
  EXPECT_EQ(seconds_text_to_ms("1.5x"), 0U);
}

TEST(FinalizationErrorText, DisplaysByVariant) {
  EXPECT_EQ(FinalizationError(IoError::invalid_data("not a CAF file")).to_string(), "IO error: not a CAF file");
  EXPECT_EQ(FinalizationError::validation_failed("no audio packets").to_string(),
            "validation failed: no audio packets");
  EXPECT_EQ(FinalizationError::no_source_segments().to_string(), "no source segments found");
}

}  // namespace
}  // namespace recorder::exporter
