// Feeds three synthetic tap callbacks through the production tap push and
// checks the message that lands in a private ring, the push result and
// the overflow counters. Reports through events, one per case and one
// overall; the exit status says whether anything failed.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/segments/source_health.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

constexpr uint32_t kGeneration = 42;
constexpr double kCaseRate = 48000.0;

struct ScratchCase {
  const char* name;
  int64_t frames;
  uint32_t channels;
  bool interleaved;
  float gain;
  float channel0Value;
  float otherChannelValue;
  int64_t expectedFrames;
  uint64_t expectedTailOverflowBytes;
  float expectedPayloadValue;
};

class ScratchSuite {
 public:
  Event exercise(const ScratchCase& c) {
    MicOverflowCounters gMicOverflow;

    std::vector<uint8_t> storage(kMicRingCapacity);
    SPSCRing ring;
    spsc_ring_init(&ring, storage.data(), kMicRingCapacity);
    MicTapScratch scratch(scratchMaxFrames_);

    const auto format = AudioFormat::make(CommonFormat::pcmFloat32, kCaseRate, c.channels, c.interleaved);
    if (!format) exitWithError("test_setup_failed", "Could not build PCM format", 1);
    auto buffer = PCMBuffer::make(*format, static_cast<uint32_t>(c.frames));
    if (!buffer) exitWithError("test_setup_failed", "Could not allocate PCM buffer", 1);
    buffer->setFrameLength(static_cast<uint32_t>(c.frames));
    fill(*buffer, c);

    const MicTapPushResult r =
        pushMicTapBufferToRing(*buffer, &ring, scratch, scratchMaxFrames_, c.gain, kGeneration, gMicOverflow);

    const int64_t expectedBytes = c.expectedFrames * 4 + kMicRingHeaderSize;
    expectEq(c.name, "rawFrames", r.rawFrames, c.frames);
    expectEq(c.name, "frames", r.frames, c.expectedFrames);
    expectEq(c.name, "tailOverflowBytes", r.tailOverflowBytes, c.expectedTailOverflowBytes);
    if (!r.payloadWritten) recordFailure(c.name, "payload was not written");
    if (!r.pushed) recordFailure(c.name, "message was not pushed into ring");
    expectEq(c.name, "messageBytes", r.messageBytes, expectedBytes);
    const uint64_t overflowBytes = gMicOverflow.bytes.load();
    expectEq(c.name, "overflowBytes", overflowBytes, c.expectedTailOverflowBytes);
    const uint64_t overflowEvents = gMicOverflow.events.load();
    if (overflowEvents != 0) recordFailure(c.name, "overflowEvents " + std::to_string(overflowEvents) + " != 0");

    const uint64_t w = ring.write_pos.load();
    const uint64_t rd = ring.read_pos.load();
    const uint64_t contiguous = ring.capacity - (rd & (ring.capacity - 1));
    const uint64_t readable = w == rd ? 0 : std::min(w - rd, contiguous);
    expectEq(c.name, "readable", readable, static_cast<uint64_t>(expectedBytes));

    uint32_t generation = 0, headerFrames = 0;
    float firstPayload = 0, lastPayload = 0;
    if (readable > 0 && readable >= static_cast<uint64_t>(expectedBytes)) {
      const uint8_t* at = ring.buffer + (rd & (ring.capacity - 1));
      std::memcpy(&generation, at, 4);
      std::memcpy(&headerFrames, at + 4, 4);
      std::memcpy(&firstPayload, at + 8, 4);
      std::memcpy(&lastPayload, at + 8 + 4 * (c.expectedFrames - 1), 4);
      ring.read_pos.store(rd + readable);
    }
    expectEq(c.name, "generation", generation, kGeneration);
    expectEq(c.name, "headerFrames", static_cast<int64_t>(headerFrames), c.expectedFrames);
    expectNear(c.name, "firstPayload", firstPayload, c.expectedPayloadValue);
    expectNear(c.name, "lastPayload", lastPayload, c.expectedPayloadValue);

    return Event{{"case", c.name},
                 {"raw_frames", c.frames},
                 {"written_frames", r.frames},
                 {"message_bytes", r.messageBytes},
                 {"tail_overflow_bytes", r.tailOverflowBytes},
                 {"overflow_bytes", overflowBytes},
                 {"first_payload", floatForJson(firstPayload)},
                 {"last_payload", floatForJson(lastPayload)}};
  }

  int64_t scratchMaxFrames_ = 0;
  std::vector<std::string> failures;

 private:
  static void fill(PCMBuffer& buffer, const ScratchCase& c) {
    const auto n = static_cast<size_t>(c.frames);
    if (c.interleaved) {
      auto* samples = static_cast<float*>(buffer.block(0).data);
      for (size_t i = 0; i < n * c.channels; ++i)
        samples[i] = i % c.channels == 0 ? c.channel0Value : c.otherChannelValue;
    } else {
      float* const* channels = buffer.floatChannelData();
      for (uint32_t ch = 0; ch < c.channels; ++ch) {
        for (size_t i = 0; i < n; ++i) channels[ch][i] = ch == 0 ? c.channel0Value : c.otherChannelValue;
      }
    }
  }

  void recordFailure(const std::string& caseName, const std::string& detail) {
    failures.push_back(caseName + ": " + detail);
  }

  template <typename A, typename B>
  void expectEq(const std::string& caseName, const char* what, A got, B expected) {
    if (got != static_cast<A>(expected)) {
      recordFailure(caseName, std::string(what) + " " + std::to_string(got) + " != " + std::to_string(expected));
    }
  }

  void expectNear(const std::string& caseName, const char* what, float got, float expected) {
    if (!(std::fabs(got - expected) < 0.0001f)) {
      recordFailure(caseName,
                    std::string(what) + " " + formatFloatShortest(got) + " != " + formatFloatShortest(expected));
    }
  }
};

}  // namespace

void runTestMicTapScratch() {
  const auto frames400 = static_cast<int64_t>(kMicTapScratchSeconds * kCaseRate);
  const int64_t scratchMaxFrames = std::max<int64_t>(1, frames400) + 4096;
  const int64_t oversizedFrames = scratchMaxFrames + 17;

  const ScratchCase cases[] = {
      {"exact_400ms_noninterleaved_mono", frames400, 1, false, 2.0f, 0.2f, 0.9f, frames400, 0, 0.4f},
      {"exact_400ms_interleaved_stereo_uses_channel_zero", frames400, 2, true, 1.0f, -0.25f, 0.75f, frames400, 0,
       -0.25f},
      {"oversized_callback_clamps_and_counts_tail", oversizedFrames, 1, false, 10.0f, 0.2f, 0.9f, scratchMaxFrames,
       17 * 4, 1.0f},
  };

  ScratchSuite suite;
  suite.scratchMaxFrames_ = scratchMaxFrames;
  for (const auto& c : cases) {
    Event record = suite.exercise(c);
    record["type"] = "mic_tap_scratch_case";
    gEventBus.enqueue(record);
  }

  gEventBus.enqueue(Event{{"type", "mic_tap_scratch_integration"},
                          {"passed", suite.failures.empty()},
                          {"cases", 3},
                          {"exact_400ms_frames", frames400},
                          {"exact_400ms_message_bytes", frames400 * 4 + 8},
                          {"oversized_written_frames", scratchMaxFrames},
                          {"oversized_tail_overflow_bytes", 68},
                          {"failures", suite.failures}});
  gEventBus.flushAndStop();
  std::_Exit(suite.failures.empty() ? 0 : 1);
}

}  // namespace helper
