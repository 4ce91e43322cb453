#include "platform/audio/engine/converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

using namespace platform::audio;

AudioFormat monoFloat(double rate) { return AudioFormat(CommonFormat::pcmFloat32, rate, 1, true); }

std::unique_ptr<PCMBuffer> sine(double rate, uint32_t frames, double hz, uint32_t offset = 0) {
  auto buf = PCMBuffer::make(monoFloat(rate), frames);
  for (uint32_t i = 0; i < frames; ++i) {
    buf->floatChannelData()[0][i] = static_cast<float>(std::sin(2 * std::numbers::pi * hz * (i + offset) / rate));
  }
  buf->setFrameLength(frames);
  return buf;
}

// Hands the buffer over once, then says no data for now.
ConverterOutputStatus convertOnce(AudioConverter& conv, const PCMBuffer& in, PCMBuffer& out) {
  bool given = false;
  return conv.convert(out, nullptr, [&](uint32_t, ConverterInputStatus& status) -> const PCMBuffer* {
    if (given) {
      status = ConverterInputStatus::noDataNow;
      return nullptr;
    }
    given = true;
    status = ConverterInputStatus::haveData;
    return &in;
  });
}

// Largest difference between the output and the ideal sine at the output rate.
double maxErrorAgainstSine(const PCMBuffer& out, double rate, double hz, uint32_t skipEdges) {
  double worst = 0;
  for (uint32_t i = skipEdges; i + skipEdges < out.frameLength(); ++i) {
    const double want = std::sin(2 * std::numbers::pi * hz * i / rate);
    worst = std::max(worst, std::fabs(out.floatChannelData()[0][i] - want));
  }
  return worst;
}

TEST(Converter, Resamples16kTo24kWithTheRightFrameCountAndLowLatency) {
  auto conv = AudioConverter::make(monoFloat(16000), monoFloat(24000));
  ASSERT_NE(conv, nullptr);
  auto in = sine(16000, 16000, 440);
  auto out = PCMBuffer::make(monoFloat(24000), 24001);
  EXPECT_EQ(convertOnce(*conv, *in, *out), ConverterOutputStatus::inputRanDry);
  // The frames held back by the filter are the whole latency.
  EXPECT_LE(24000 - static_cast<int>(out->frameLength()), 16);
  EXPECT_LE(out->frameLength(), 24000u);
  // Time-aligned: the output is the same 440 Hz sine, not shifted.
  EXPECT_LT(maxErrorAgainstSine(*out, 24000, 440, 32), 0.02);
}

TEST(Converter, Resamples48kTo24kStreamedInPiecesAsIfWhole) {
  auto piecewise = AudioConverter::make(monoFloat(48000), monoFloat(24000));
  auto whole = AudioConverter::make(monoFloat(48000), monoFloat(24000));
  ASSERT_NE(piecewise, nullptr);
  std::vector<float> streamed;
  for (uint32_t k = 0; k < 10; ++k) {
    auto in = sine(48000, 4800, 1000, k * 4800);
    auto out = PCMBuffer::make(monoFloat(24000), 2401);
    ASSERT_EQ(convertOnce(*piecewise, *in, *out), ConverterOutputStatus::inputRanDry);
    streamed.insert(streamed.end(), out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
  }
  auto all = sine(48000, 48000, 1000);
  auto wholeOut = PCMBuffer::make(monoFloat(24000), 24001);
  convertOnce(*whole, *all, *wholeOut);
  ASSERT_EQ(streamed.size(), wholeOut->frameLength());
  EXPECT_GE(streamed.size(), 24000u - 8);
  for (size_t i = 0; i < streamed.size(); ++i) ASSERT_FLOAT_EQ(streamed[i], wholeOut->floatChannelData()[0][i]) << i;
  EXPECT_LT(maxErrorAgainstSine(*wholeOut, 24000, 1000, 16), 0.02);
}

TEST(Converter, EndOfStreamFlushesTheHeldBackFrames) {
  auto conv = AudioConverter::make(monoFloat(16000), monoFloat(24000));
  auto in = sine(16000, 16000, 440);
  auto out = PCMBuffer::make(monoFloat(24000), 30000);
  int calls = 0;
  const auto status = conv->convert(*out, nullptr, [&](uint32_t, ConverterInputStatus& s) -> const PCMBuffer* {
    if (calls++ == 0) {
      s = ConverterInputStatus::haveData;
      return in.get();
    }
    s = ConverterInputStatus::endOfStream;
    return nullptr;
  });
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_NEAR(out->frameLength(), 24000, 2);
}

TEST(Converter, KeepsWhatDoesNotFitForTheNextCall) {
  auto conv = AudioConverter::make(monoFloat(24000), monoFloat(24000));
  auto in = sine(24000, 1000, 300);
  auto first = PCMBuffer::make(monoFloat(24000), 600);
  EXPECT_EQ(convertOnce(*conv, *in, *first), ConverterOutputStatus::haveData);
  EXPECT_EQ(first->frameLength(), 600u);
  auto second = PCMBuffer::make(monoFloat(24000), 600);
  EXPECT_EQ(convertOnce(*conv, *sine(24000, 0, 300), *second), ConverterOutputStatus::inputRanDry);
  ASSERT_EQ(second->frameLength(), 400u);
  // Same rate: the samples pass unchanged, in order.
  EXPECT_EQ(first->floatChannelData()[0][599], in->floatChannelData()[0][599]);
  EXPECT_EQ(second->floatChannelData()[0][0], in->floatChannelData()[0][600]);
  EXPECT_EQ(second->floatChannelData()[0][399], in->floatChannelData()[0][999]);
}

TEST(Converter, MislabelledInputRateLosesTwoThirdsOfTheFrames) {
  auto source = sine(16000, 16000, 440);
  auto claimed48k = PCMBuffer::make(monoFloat(48000), 16000);
  std::copy_n(source->floatChannelData()[0], 16000, claimed48k->floatChannelData()[0]);
  claimed48k->setFrameLength(16000);
  auto wrong = AudioConverter::make(monoFloat(48000), monoFloat(24000));
  auto right = AudioConverter::make(monoFloat(16000), monoFloat(24000));
  auto m = PCMBuffer::make(monoFloat(24000), 8001);
  auto c = PCMBuffer::make(monoFloat(24000), 24001);
  convertOnce(*wrong, *claimed48k, *m);
  convertOnce(*right, *source, *c);
  const double ratio = static_cast<double>(c->frameLength()) / std::max<uint32_t>(m->frameLength(), 1);
  EXPECT_GT(ratio, 2.8);
  EXPECT_LT(ratio, 3.2);
  EXPECT_LE(std::abs(static_cast<int>(c->frameLength()) - 24000), 32);
}

// Streams `chunks` chunks of a continuous sine of `hz` through the
// converter, sampled `inRate` times a second (its clock, which may be off
// the converter's input rate), calling `beforeChunk(k)` first; the output
// joined.
template <typename BeforeChunk>
std::vector<float> streamSine(AudioConverter& conv, double inRate, double outRate, double hz, uint32_t chunkFrames,
                              uint32_t chunks, BeforeChunk beforeChunk) {
  std::vector<float> streamed;
  for (uint32_t k = 0; k < chunks; ++k) {
    beforeChunk(k);
    auto in = PCMBuffer::make(conv.inputFormat(), chunkFrames);
    for (uint32_t i = 0; i < chunkFrames; ++i) {
      in->floatChannelData()[0][i] =
          static_cast<float>(std::sin(2 * std::numbers::pi * hz * (k * chunkFrames + i) / inRate));
    }
    in->setFrameLength(chunkFrames);
    auto out = PCMBuffer::make(monoFloat(outRate), static_cast<uint32_t>(chunkFrames * outRate / inRate * 1.02) + 32);
    EXPECT_EQ(convertOnce(conv, *in, *out), ConverterOutputStatus::inputRanDry);
    streamed.insert(streamed.end(), out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
  }
  return streamed;
}

// The largest second difference: a sine's own is small; a sample inserted
// or dropped, or a jump of phase, makes it as large as a whole step.
double roughest(const std::vector<float>& s, size_t from) {
  double worst = 0;
  for (size_t i = std::max<size_t>(from, 1); i + 1 < s.size(); ++i) {
    worst = std::max(worst, std::fabs(static_cast<double>(s[i + 1]) - 2.0 * s[i] + s[i - 1]));
  }
  return worst;
}

TEST(Converter, AnInputRateRatioKeepsTimeWithoutAStep) {
  // A 48 kHz device 0.5 % fast: its frames come at 48240 a second. At that
  // ratio a second of them is a second at 24 kHz, and a 440 Hz tone stays
  // 440 Hz, its phase continuous while the ratio moves.
  auto conv = AudioConverter::make(monoFloat(48000), monoFloat(24000));
  ASSERT_NE(conv, nullptr);
  EXPECT_EQ(conv->inputRateRatio(), 1.0);
  double ideal = 0;
  const auto out = streamSine(*conv, 48240, 24000, 440, 4824, 100, [&](uint32_t k) {
    const double ratio = k < 50 ? 1.0 + 0.0001 * k : 1.005;
    EXPECT_TRUE(conv->setInputRateRatio(ratio));
    ideal += 4824.0 * 24000 / (48000 * ratio);
  });
  EXPECT_NEAR(static_cast<double>(out.size()), ideal, 16);  // the filter holds back a few
  EXPECT_EQ(conv->inputRateRatio(), 1.005);
  const double step = 2 * std::numbers::pi * 440 / 24000;
  EXPECT_LT(roughest(out, 32), step * step * 1.2);
  // Past the ramp every second of input makes a second of output.
  const auto later = streamSine(*conv, 48240, 24000, 440, 48240, 3, [](uint32_t) {});
  EXPECT_NEAR(static_cast<double>(later.size()), 3 * 24000, 2);
  EXPECT_FALSE(conv->setInputRateRatio(0));
  EXPECT_EQ(conv->inputRateRatio(), 1.005);
}

TEST(Converter, BetweenEqualRatesARatioStartsResamplingWithoutAStep) {
  auto conv = AudioConverter::make(monoFloat(24000), monoFloat(24000));
  ASSERT_NE(conv, nullptr);
  const auto out = streamSine(*conv, 24000, 24000, 440, 2400, 40, [&](uint32_t k) {
    if (k == 20) {
      EXPECT_TRUE(conv->setInputRateRatio(0.997));
    }
  });
  const auto exact = sine(24000, 2400 * 20, 440);
  // Unchanged until the ratio was asked for...
  for (uint32_t i = 0; i < 2400 * 20; ++i) ASSERT_EQ(out[i], exact->floatChannelData()[0][i]) << i;
  // ...then 0.3 % more frames, and no step where resampling began.
  EXPECT_NEAR(static_cast<double>(out.size() - 2400 * 20), 2400 * 20 / 0.997, 16);
  const double step = 2 * std::numbers::pi * 440 / 24000;
  EXPECT_LT(roughest(out, 0), step * step * 1.2);
}

TEST(Converter, MapsChannelsAndSampleFormats) {
  // Deinterleaved stereo to mono: the mean of the channels.
  AudioFormat stereo(CommonFormat::pcmFloat32, 48000, 2, false);
  auto conv = AudioConverter::make(stereo, monoFloat(48000));
  auto in = PCMBuffer::make(stereo, 4);
  for (uint32_t i = 0; i < 4; ++i) {
    in->floatChannelData()[0][i] = 0.5f;
    in->floatChannelData()[1][i] = -0.25f;
  }
  in->setFrameLength(4);
  auto out = PCMBuffer::make(monoFloat(48000), 4);
  convertOnce(*conv, *in, *out);
  ASSERT_EQ(out->frameLength(), 4u);
  EXPECT_FLOAT_EQ(out->floatChannelData()[0][3], 0.125f);

  // Mono float to interleaved stereo 16-bit: both channels, clipped.
  AudioFormat stereo16(CommonFormat::pcmInt16, 48000, 2, true);
  auto toInt = AudioConverter::make(monoFloat(48000), stereo16);
  auto mono = PCMBuffer::make(monoFloat(48000), 2);
  mono->floatChannelData()[0][0] = 0.5f;
  mono->floatChannelData()[0][1] = 2.0f;
  mono->setFrameLength(2);
  auto ints = PCMBuffer::make(stereo16, 2);
  convertOnce(*toInt, *mono, *ints);
  ASSERT_EQ(ints->frameLength(), 2u);
  const int16_t* s = ints->int16ChannelData()[0];
  EXPECT_EQ(s[0], 16384);
  EXPECT_EQ(s[1], 16384);
  EXPECT_EQ(s[2], 32767);
  EXPECT_EQ(s[3], 32767);
}

TEST(Converter, RefusesUnusableFormatsAndForeignBuffers) {
  EXPECT_EQ(AudioConverter::make(AudioFormat(CommonFormat::pcmFloat32, 0, 0, true), monoFloat(24000)), nullptr);
  EXPECT_EQ(AudioConverter::make(monoFloat(8000), AudioFormat(CommonFormat::pcmFloat32, 24000, 0, true)), nullptr);
  EXPECT_NE(AudioConverter::make(monoFloat(8000), monoFloat(24000)), nullptr);

  auto conv = AudioConverter::make(monoFloat(16000), monoFloat(24000));
  auto foreign = sine(44100, 100, 440);
  auto out = PCMBuffer::make(monoFloat(24000), 200);
  std::string error;
  bool given = false;
  const auto status = conv->convert(*out, &error, [&](uint32_t, ConverterInputStatus& s) -> const PCMBuffer* {
    s = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
    given = true;
    return foreign.get();
  });
  EXPECT_EQ(status, ConverterOutputStatus::error);
  EXPECT_FALSE(error.empty());
}

}  // namespace
