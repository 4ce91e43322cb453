#include "helper/core/entry/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>

namespace helper {
namespace {

ParsedArguments parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tasmerig");
  return parseArguments(args);
}

TEST(NumberOptions, IntegersMustBeWholeDecimalText) {
  EXPECT_EQ(parseIntOption("42"), 42);
  EXPECT_EQ(parseIntOption("+7"), 7);
  EXPECT_EQ(parseIntOption("-7"), -7);
  EXPECT_EQ(parseIntOption("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(parseIntOption("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  for (const char* bad : {"", "+", "-", " 5", "5 ", "12ab", "0x10", "9223372036854775808", "1e3", "1.0"}) {
    EXPECT_FALSE(parseIntOption(bad).has_value()) << bad;
  }
  EXPECT_EQ(parseInt32Option("2147483647"), 2147483647);
  EXPECT_FALSE(parseInt32Option("2147483648").has_value());
}

TEST(NumberOptions, FloatsUseTheCLocaleAndMustBeFinite) {
  EXPECT_EQ(parseDoubleOption("48000"), 48000.0);
  EXPECT_EQ(parseDoubleOption("2.5e1"), 25.0);
  EXPECT_EQ(parseDoubleOption("+1.5"), 1.5);
  for (const char* bad : {"", " 1", "1 ", "1,5", "abc", "inf", "-inf", "nan", "1e999"}) {
    EXPECT_FALSE(parseDoubleOption(bad).has_value()) << bad;
  }
  EXPECT_EQ(parseFloatOption("0.25"), 0.25f);
  EXPECT_FALSE(parseFloatOption("1e60").has_value());  // overflows a float
  EXPECT_FALSE(parseFloatOption("nan").has_value());
}

TEST(ParseArguments, CaptureDefaults) {
  auto p = parse({"--mode", "capture", "--session-dir", "/tmp/s", "--include-mic", "true"});
  ASSERT_TRUE(p.captureConfig);
  const auto& c = *p.captureConfig;
  EXPECT_EQ(p.mode, HelperMode::capture);
  EXPECT_EQ(c.sessionDir, "/tmp/s");
  EXPECT_EQ(c.sessionUUID, "");
  EXPECT_TRUE(c.includeMic);
  EXPECT_FALSE(c.includeSystem);
  EXPECT_EQ(c.excludePID, static_cast<int32_t>(getpid()));
  EXPECT_EQ(c.micBitrate, 96000);
  EXPECT_EQ(c.systemBitrate, 96000);
  EXPECT_EQ(c.segmentSeconds, 30);
  EXPECT_EQ(c.canonicalRate, 24000.0);
  EXPECT_EQ(c.canonicalMicChannels, 1);
  EXPECT_EQ(c.canonicalSystemChannels, 2);
  EXPECT_FALSE(c.micGain.has_value());
  EXPECT_FALSE(p.concatConfig || p.mixConfig || p.permissionConfig || p.testSegmentWriterConfig);
}

TEST(ParseArguments, LaterValuesWinAndInvalidValuesFallBackToTheDefault) {
  auto p = parse({"--mode", "capture", "--session-dir", "d", "--include-system", "true", "--segment-seconds", "10",
                  "--segment-seconds", "x", "--mic-gain", "abc", "--exclude-pid", "99999999999"});
  ASSERT_TRUE(p.captureConfig);
  EXPECT_EQ(p.captureConfig->segmentSeconds, 30);
  ASSERT_TRUE(p.captureConfig->micGain.has_value());  // given at all: automatic gain is off
  EXPECT_EQ(*p.captureConfig->micGain, 1.0f);
  EXPECT_EQ(p.captureConfig->excludePID, static_cast<int32_t>(getpid()));
}

TEST(ParseArguments, ValuesAreTakenVerbatimEvenWhenTheyLookLikeFlags) {
  auto p = parse({"--mode", "capture", "--session-dir", "--include-mic", "--include-mic", "true"});
  ASSERT_TRUE(p.captureConfig);
  EXPECT_EQ(p.captureConfig->sessionDir, "--include-mic");
}

TEST(ParseArguments, DebugIoprocTakesNoValueAndProtocolVersionTextIsIgnored) {
  auto p = parse({"--debug-ioproc", "--mode", "permissions", "--include-mic", "true", "--protocol-version", "abc"});
  ASSERT_TRUE(p.permissionConfig);
  EXPECT_TRUE(p.permissionConfig->includeMic);
  EXPECT_FALSE(p.permissionConfig->includeSystem);
  EXPECT_FALSE(p.permissionConfig->request);
  EXPECT_TRUE(parse({"--mode", "permissions", "--include-mic", "true", "--protocol-version", "2"}).permissionConfig);
}

TEST(ParseArguments, OtherModesConfigurations) {
  auto c = parse({"--mode", "concat", "--manifest", "m", "--source", "system", "--out", "o", "--output-rate", "x"});
  ASSERT_TRUE(c.concatConfig);
  EXPECT_EQ(c.concatConfig->source, "system");
  EXPECT_EQ(c.concatConfig->outputRate, 48000);
  EXPECT_EQ(c.concatConfig->outputChannels, 2);
  EXPECT_EQ(c.concatConfig->outputBitrate, 128000);

  auto m = parse({"--mode", "mix", "--system", "s.caf", "--out", "o", "--mic-gain", "0.5"});
  ASSERT_TRUE(m.mixConfig);
  EXPECT_FALSE(m.mixConfig->micPath.has_value());
  EXPECT_EQ(m.mixConfig->systemPath, "s.caf");
  EXPECT_EQ(m.mixConfig->micGain, 0.5f);
  EXPECT_EQ(m.mixConfig->systemGain, 1.0f);

  // Non-finite gains would write NaN audio: they are invalid, the default holds.
  auto nf = parse({"--mode", "mix", "--system", "s.caf", "--out", "o", "--mic-gain", "nan", "--system-gain", "inf"});
  ASSERT_TRUE(nf.mixConfig);
  EXPECT_EQ(nf.mixConfig->micGain, 1.0f);
  EXPECT_EQ(nf.mixConfig->systemGain, 1.0f);

  auto w =
      parse({"--mode", "test-segment-writer", "--out", "d", "--source", "system", "--canonical-system-channels", "3"});
  ASSERT_TRUE(w.testSegmentWriterConfig);
  EXPECT_EQ(w.testSegmentWriterConfig->canonicalChannels, 3);
  EXPECT_EQ(w.testSegmentWriterConfig->durationSec, 10);
  EXPECT_EQ(w.testSegmentWriterConfig->canonicalRate, 24000.0);

  for (const char* mode : {"test-classify", "test-device-following", "test-control-plane", "test-hardware-input-stress",
                           "test-mic-tap-scratch", "self-test"}) {
    auto p = parse({"--mode", mode});
    EXPECT_STREQ(rawValue(p.mode), mode);
    EXPECT_FALSE(p.captureConfig || p.concatConfig || p.mixConfig || p.permissionConfig || p.testSegmentWriterConfig);
  }
  auto s = parse({"--mode", "test-synthetic-capture", "--session-dir", "d", "--include-mic", "true"});
  EXPECT_TRUE(s.captureConfig);
}

TEST(HelperModeNames, MatchExactly) {
  EXPECT_EQ(helperModeFromRaw("self-test"), HelperMode::selfTest);
  EXPECT_FALSE(helperModeFromRaw("Capture").has_value());
  EXPECT_FALSE(helperModeFromRaw("capture ").has_value());
}

}  // namespace
}  // namespace helper
