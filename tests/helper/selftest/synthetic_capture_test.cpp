#include "helper/selftest/synthetic_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>

#include "helper/selftest/utf8_text.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using Kind = SyntheticCommand::Kind;

CaptureConfig configWith(double rate, int64_t micChannels = 1, int64_t systemChannels = 2) {
  CaptureConfig c;
  c.sessionDir = "unused";
  c.includeMic = true;
  c.canonicalRate = rate;
  c.canonicalMicChannels = micChannels;
  c.canonicalSystemChannels = systemChannels;
  return c;
}

TEST(SyntheticCapture, RatesAndChannelCountsOutsideTheFormatAreRefused) {
  const std::string badRate = "--canonical-rate must be a finite number of at least 1";
  EXPECT_EQ(syntheticCaptureConfigError(configWith(std::nan(""))), badRate);
  EXPECT_EQ(syntheticCaptureConfigError(configWith(std::numeric_limits<double>::infinity())), badRate);
  EXPECT_EQ(syntheticCaptureConfigError(configWith(0.999)), badRate);
  EXPECT_EQ(syntheticCaptureConfigError(configWith(-24000)), badRate);
  // 72 s of frames must fit a signed 64-bit count.
  EXPECT_EQ(syntheticCaptureConfigError(configWith(1.3e17)),
            "--canonical-rate is too high: 72 s of frames do not fit a frame count");
  EXPECT_EQ(syntheticCaptureConfigError(configWith(1.28e17)), std::nullopt);
  EXPECT_EQ(syntheticCaptureConfigError(configWith(1.0)), std::nullopt);

  EXPECT_EQ(syntheticCaptureConfigError(configWith(24000, -1)),
            "--canonical-mic-channels must be between 0 and 4294967295");
  EXPECT_EQ(syntheticCaptureConfigError(configWith(24000, 1, 4294967296LL)),
            "--canonical-system-channels must be between 0 and 4294967295");
  EXPECT_EQ(syntheticCaptureConfigError(configWith(24000, 0, 4294967295LL)), std::nullopt);
}

TEST(SyntheticCapture, RunSizeIsSeventyTwoSecondsInBuffersOfAtMost4800Frames) {
  EXPECT_EQ(syntheticRunSize(24000).totalFrames, 1'728'000);
  EXPECT_EQ(syntheticRunSize(24000).bufferFrames, 4800u);
  EXPECT_EQ(syntheticRunSize(1000).totalFrames, 72'000);
  EXPECT_EQ(syntheticRunSize(1000).bufferFrames, 1000u);
  EXPECT_EQ(syntheticRunSize(1.5).totalFrames, 108);
  EXPECT_EQ(syntheticRunSize(1.5).bufferFrames, 1u);
  EXPECT_EQ(syntheticRunSize(44100.7).totalFrames, 3'175'250);
  EXPECT_EQ(syntheticRunSize(44100.7).bufferFrames, 4800u);
}

TEST(SyntheticCapture, BuffersHoldTheValueInEverySampleOfEveryLayout) {
  const auto interleaved =
      makeSyntheticPCMBuffer(*AudioFormat::make(CommonFormat::pcmFloat32, 24000, 3, true), 7, 0.015f);
  ASSERT_TRUE(interleaved);
  EXPECT_EQ(interleaved->frameLength(), 7u);
  const float* samples = interleaved->floatChannelData()[0];
  for (int i = 0; i < 21; ++i) EXPECT_EQ(samples[i], 0.015f) << i;

  const auto planar = makeSyntheticPCMBuffer(*AudioFormat::make(CommonFormat::pcmFloat32, 24000, 2, false), 5, 0.01f);
  ASSERT_TRUE(planar);
  for (int ch = 0; ch < 2; ++ch) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(planar->floatChannelData()[ch][i], 0.01f) << ch << " " << i;
  }

  EXPECT_EQ(makeSyntheticPCMBuffer(AudioFormat(CommonFormat::pcmFloat32, 24000, 0, true), 5, 0.01f), nullptr);
}

TEST(SyntheticCapture, HelperReadyDescribesOnlyTheIncludedSources) {
  CaptureConfig both = configWith(24000.9, 1, 2);
  both.includeSystem = true;
  const Event ready = buildSyntheticHelperReady(both);
  EXPECT_EQ(ready["protocol_version"], "2");
  EXPECT_EQ(
      ready["mic"]["native"],
      (Event{{"rate", 24000}, {"channels", 1}, {"format", "Float32"}, {"interleaved", true}, {"buffer_frames", 4800}}));
  EXPECT_EQ(ready["mic"]["capture_gain"], 1);
  EXPECT_TRUE(ready["mic"]["capture_gain"].is_number_integer());
  EXPECT_EQ(ready["aec"]["mode"], "synthetic");
  EXPECT_EQ(ready["system"]["canonical"], (Event{{"rate", 24000}, {"channels", 2}, {"format", "Float32"}}));
  EXPECT_EQ(ready["system"]["tap_channels"], 2);

  CaptureConfig micOnly = configWith(24000);
  const Event m = buildSyntheticHelperReady(micOnly);
  EXPECT_TRUE(m.contains("mic") && m.contains("aec"));
  EXPECT_FALSE(m.contains("system"));

  CaptureConfig systemOnly = configWith(24000);
  systemOnly.includeMic = false;
  systemOnly.includeSystem = true;
  const Event s = buildSyntheticHelperReady(systemOnly);
  EXPECT_TRUE(s.contains("system"));
  EXPECT_FALSE(s.contains("mic") || s.contains("aec"));
}

void expectProtocolError(const std::string& line, const std::string& command, const std::string& reason) {
  const SyntheticCommand c = interpretSyntheticCommandLine(line);
  EXPECT_EQ(c.kind, Kind::protocolError) << line;
  EXPECT_EQ(c.errorCommand, command) << line;
  EXPECT_EQ(c.errorReason, reason) << line;
}

TEST(SyntheticCapture, LinesWithoutAStringTypeAreReportedWithTheRawLine) {
  for (const std::string line : {"", "   ", "[1,2]", R"({"command":"stop"})", R"({"type":3})", "\"stop\"", "42",
                                 "{\"type\":\"stop\"", R"({"type":"stop"} x)", "null"}) {
    expectProtocolError(line, line, "missing_type_field");
  }
}

TEST(SyntheticCapture, CommandsThatNeedARequestIdRefuseAMissingOne) {
  for (const std::string type : {"pause", "resume", "stop", "shutdown"}) {
    expectProtocolError(R"({"type":")" + type + R"("})", type, "missing_request_id");
    expectProtocolError(R"({"type":")" + type + R"(","request_id":7})", type, "missing_request_id");
    expectProtocolError(R"({"type":")" + type + R"(","request_id":""})", type, "missing_request_id");
  }
  const SyntheticCommand pause = interpretSyntheticCommandLine(R"({"type":"pause","request_id":"p1","source":"mic"})");
  EXPECT_EQ(pause.kind, Kind::pause);
  EXPECT_EQ(pause.requestId, "p1");
  EXPECT_EQ(interpretSyntheticCommandLine(R"({"type":"resume","request_id":"r"})").kind, Kind::resume);
  EXPECT_EQ(interpretSyntheticCommandLine(R"({"type":"stop","request_id":"s"})").kind, Kind::stop);
  EXPECT_EQ(interpretSyntheticCommandLine(R"({"type":"shutdown","request_id":"x"})").kind, Kind::shutdown);
}

TEST(SyntheticCapture, TypesAreComparedExactly) {
  expectProtocolError(R"({"type":"PAUSE","request_id":"r1"})", "PAUSE", "unknown_command");
  expectProtocolError(R"({"type":"flush"})", "flush", "unknown_command");
}

TEST(SyntheticCapture, HeartbeatIdsAreWholeNumbersOrZero) {
  auto id = [](const std::string& line) {
    const SyntheticCommand c = interpretSyntheticCommandLine(line);
    EXPECT_EQ(c.kind, Kind::heartbeat) << line;
    return c.heartbeatId;
  };
  EXPECT_EQ(id(R"({"type":"heartbeat"})"), 0);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":17})"), 17);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":-4})"), -4);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":3.0})"), 3);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":3.5})"), 0);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":"9"})"), 0);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":18446744073709551615})"), 0);
  EXPECT_EQ(id(R"({"type":"heartbeat","id":1e300})"), 0);
}

TEST(SyntheticCapture, InvalidUtf8IsDecodedBeforeTheLineIsRead) {
  // The rest of the line still counts: a stray byte in another value does
  // not turn a heartbeat into a protocol error.
  EXPECT_EQ(interpretSyntheticCommandLine("{\"type\":\"heartbeat\",\"id\":5,\"note\":\"\xFF\"}").heartbeatId, 5);
  expectProtocolError("{\"type\":\"pa\xFFuse\",\"request_id\":\"r\"}", "pa\xEF\xBF\xBDuse", "unknown_command");
  expectProtocolError("\xC3\x28garbage", "\xEF\xBF\xBD(garbage", "missing_type_field");
}

TEST(SyntheticCapture, Utf8DecodingReplacesEachMaximalIllFormedSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(decodeUtf8Lossy("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x99"),
            "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x99");
  EXPECT_EQ(decodeUtf8Lossy("a\x80z"), "a" + r + "z");
  EXPECT_EQ(decodeUtf8Lossy("\xE2\x82"
                            "A"),
            r + "A");                                             // truncated sequence: one replacement
  EXPECT_EQ(decodeUtf8Lossy("\xC0\x80"), r + r);                  // overlong lead
  EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(decodeUtf8Lossy("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
  EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x8E"), r);                  // cut off at the end
  EXPECT_EQ(decodeUtf8Lossy(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(SyntheticCapture, TheLineReaderStripsOnlyTheTerminator) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string input = " a \r\nb\n\n\tc\r\r\nlast";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  LineReader reader(fds[0]);
  EXPECT_EQ(reader.next(), " a ");
  EXPECT_EQ(reader.next(), "b");
  EXPECT_EQ(reader.next(), "");
  EXPECT_EQ(reader.next(), "\tc\r");
  EXPECT_EQ(reader.next(), "last");
  EXPECT_EQ(reader.next(), std::nullopt);
  EXPECT_EQ(reader.next(), std::nullopt);
  close(fds[0]);
}

}  // namespace
}  // namespace helper
