// Self-test groups 1-7: source health, mic tap sizing and scratch, mic
// ring messages and their staging, and the float to 16-bit rule.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/segments/caf_segment.h"
#include "helper/core/segments/source_health.h"
#include "helper/selftest/self_test_suite.h"

namespace helper {
namespace {

constexpr int64_t kRenderQuantum = 4096;

bool near(float got, float expected) { return std::fabs(got - expected) <= 0.001f; }

void checkTapSizingAt(const SelfTestContext& ctx, double rate) {
  const int64_t request = micTapRequestFrames(rate);
  const int64_t scratch = micTapScratchMaxFrames(rate, kRenderQuantum);
  const int64_t e100 = std::max<int64_t>(1, static_cast<int64_t>(rate * 0.1));
  const int64_t e400 = std::max<int64_t>(1, static_cast<int64_t>(rate * 0.4));
  const std::string r = wholeNumberText(rate);
  ctx.check("mic_tap_request_100ms_" + r, request == e100,
            "expected " + std::to_string(e100) + ", got " + std::to_string(request));
  ctx.check("mic_tap_scratch_exact_400ms_plus_quantum_" + r, scratch == e400 + kRenderQuantum,
            "scratch=" + std::to_string(scratch) + ", expected=" + std::to_string(e400 + kRenderQuantum));
  ctx.check("mic_tap_400ms_not_clamped_" + r, e400 <= scratch,
            "400ms callback would clamp at scratch=" + std::to_string(scratch));
  ctx.check("mic_tap_scratch_ge_request_" + r, scratch >= request,
            "scratch=" + std::to_string(scratch) + ", request=" + std::to_string(request));
}

bool isAligned4(const void* p) { return reinterpret_cast<uintptr_t>(p) % 4 == 0; }

void checkScratchHeader(const SelfTestContext& ctx, MicTapScratch& scratch) {
  scratch.writeHeader(7, 16);
  const auto* bytes = scratch.messageBytes();
  const std::vector<uint8_t> header(bytes, bytes + kMicRingHeaderSize);
  const uint32_t generation = readU32(header, 0);
  const uint32_t frames = readU32(header, 4);
  ctx.check("mic_tap_scratch_header_generation", generation == 7, "expected 7, got " + std::to_string(generation));
  ctx.check("mic_tap_scratch_header_frames", frames == 16, "expected 16, got " + std::to_string(frames));
}

void checkScratchRingPush(const SelfTestContext& ctx, MicTapScratch& scratch) {
  scratch.writeHeader(9, 2);
  scratch.withPayloadFloats(2, [](float* payload, int64_t capacity) {
    if (capacity >= 2) {
      payload[0] = 0.25f;
      payload[1] = -0.5f;
    }
  });
  OwnedRing ring(256);
  const uint64_t size = kMicRingHeaderSize + 2 * 4;
  ctx.check("mic_tap_scratch_ring_push_succeeds", spsc_ring_push(ring.get(), scratch.raw(), size));
  const uint64_t readable = ring.readable();
  ctx.check("mic_tap_scratch_ring_readable_size", readable == 16, "expected 16 got " + std::to_string(readable));
  const auto bytes = ring.peek(readable);
  const uint32_t generation = readU32(bytes, 0);
  const uint32_t frames = readU32(bytes, 4);
  const float first = readF32(bytes, 8);
  const float second = readF32(bytes, 12);
  ctx.check("mic_tap_scratch_ring_header_generation", generation == 9, "expected 9, got " + std::to_string(generation));
  ctx.check("mic_tap_scratch_ring_header_frames", frames == 2, "expected 2, got " + std::to_string(frames));
  ctx.check("mic_tap_scratch_ring_payload_first", bytes.size() >= 16 && near(first, 0.25f),
            "expected 0.25 got " + formatFloatShortest(first));
  ctx.check("mic_tap_scratch_ring_payload_second", bytes.size() >= 16 && near(second, -0.5f),
            "expected -0.5 got " + formatFloatShortest(second));
}

std::vector<uint8_t> bareHeader(uint32_t generation, uint32_t frames) {
  auto bytes = micRingMessageBytes(generation, std::vector<float>{});
  for (int i = 0; i < 4; ++i) bytes[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(frames >> (8 * i));
  return bytes;
}

void checkStagedMessage(const SelfTestContext& ctx, const MicRingStagingResult& result,
                        const std::vector<uint8_t>& staging) {
  const bool isMessage = result.kind == MicRingStagingResult::Kind::message;
  const MicRingStagedMessage& m = result.message;
  const float first = readF32(staging, kMicRingHeaderSize);
  const float second = readF32(staging, kMicRingHeaderSize + 4);
  ctx.check("mic_ring_staging_recovery_keeps_next_generation", isMessage && m.generation == 7);
  ctx.check("mic_ring_staging_recovery_keeps_next_frame_count", isMessage && m.frameCount == 2);
  ctx.check("mic_ring_staging_recovery_keeps_next_payload_size", isMessage && m.payloadSize == 8);
  ctx.check("mic_ring_staging_recovery_keeps_next_message_size", isMessage && m.messageSize == kMicRingHeaderSize + 8);
  ctx.check("mic_ring_staging_recovery_keeps_first_payload_sample",
            isMessage && staging.size() >= 16 && near(first, 0.125f));
  ctx.check("mic_ring_staging_recovery_keeps_second_payload_sample",
            isMessage && staging.size() >= 16 && near(second, -0.25f));
}

// "saturate(" + the input as printed + ") == " + the expected value.
std::string saturationName(float input, int expected) {
  const std::string printed = std::isnan(input) ? "nan" : formatFloatShortest(input);
  return "saturate(" + printed + ") == " + std::to_string(expected);
}

}  // namespace

void runSourceHealthGroup(const SelfTestContext& ctx) {
  SourceHealthAccumulator speech;
  speech.foldSegment(0.2f, 12.0, 1000);
  speech.foldSegment(0.7f, 40.0, 1000);
  speech.foldSegment(0.4f, 25.0, 1000);
  const SourceHealth speechHealth = speech.snapshot(false);
  ctx.check("source_health_peak_max", speechHealth.peak == 0.7f);

  SourceHealthAccumulator mostlySilent;
  mostlySilent.foldSegment(0.5f, 10.0, 1000);
  for (int i = 0; i < 3; ++i) mostlySilent.foldSegment(0.0f, 0.0, 1000);
  ctx.check("source_health_silence_ratio_three_quarters", mostlySilent.snapshot(false).silenceRatio == 0.75);

  ctx.check("source_health_rms_positive", speechHealth.rms > 0.0f);
  ctx.check("source_health_no_frames_ratio_one", SourceHealthAccumulator{}.snapshot(false).silenceRatio == 1.0);
  ctx.check("source_health_failed_flag", speech.snapshot(true).sourceFailed);
}

void runMicTapSizingGroup(const SelfTestContext& ctx) {
  ctx.check("mic_tap_scratch_seconds_400ms", kMicTapScratchSeconds == 0.4,
            "expected 0.4, got " + decimalText(kMicTapScratchSeconds));
  for (double rate : {16000.0, 44100.0, 48000.0, 96000.0, 192000.0}) checkTapSizingAt(ctx, rate);
}

void runMicTapScratchGroup(const SelfTestContext& ctx) {
  auto scratch = std::make_shared<MicTapScratch>(16);
  const std::weak_ptr<MicTapScratch> watcher = scratch;
  ctx.check("mic_tap_scratch_capacity_bytes", scratch->capacityBytes() == kMicRingHeaderSize + 16 * 4,
            "got " + std::to_string(scratch->capacityBytes()));
  ctx.check("mic_tap_scratch_alignment", isAligned4(scratch->raw()),
            "raw pointer is not aligned for Float/UInt32 rebinding");
  const void* payload = nullptr;
  scratch->withPayloadFloats(16, [&payload](float* p, int64_t) { payload = p; });
  ctx.check("mic_tap_scratch_payload_alignment", isAligned4(payload),
            "payload pointer is not aligned for Float rebinding");
  checkScratchHeader(ctx, *scratch);
  checkScratchRingPush(ctx, *scratch);
  scratch.reset();
  ctx.check("mic_tap_scratch_owner_deallocates_without_cycle", watcher.expired());
}

void runMicRingMessageSizeGroup(const SelfTestContext& ctx) {
  const auto zero = micRingMessageSize(0);
  ctx.check("mic_ring_message_size_accepts_zero_frames", zero && *zero == kMicRingHeaderSize);
  const auto largest = micRingMessageSize(static_cast<uint32_t>(kMicRingMaxFrames));
  ctx.check("mic_ring_message_size_accepts_max_frames", largest && *largest == static_cast<int64_t>(kMicRingCapacity));
  ctx.check("mic_ring_message_size_rejects_over_capacity",
            !micRingMessageSize(static_cast<uint32_t>(kMicRingMaxFrames) + 1));
}

void runMalformedHeaderDropGroup(const SelfTestContext& ctx) {
  std::vector<uint8_t> longer(kMicRingHeaderSize + 3, 0xAB);
  ctx.check("mic_ring_malformed_header_drop_returns_true", dropMalformedMicRingHeader(longer));
  ctx.check("mic_ring_malformed_header_drop_keeps_tail_bytes", longer == std::vector<uint8_t>(3, 0xAB));
  std::vector<uint8_t> shorter(kMicRingHeaderSize - 1, 0xCD);
  ctx.check("mic_ring_malformed_header_drop_rejects_short_header", !dropMalformedMicRingHeader(shorter));
  ctx.check("mic_ring_malformed_header_drop_preserves_short_data",
            shorter == std::vector<uint8_t>(kMicRingHeaderSize - 1, 0xCD));
}

void runStagingRecoveryGroup(const SelfTestContext& ctx) {
  const uint32_t overCount = static_cast<uint32_t>(kMicRingMaxFrames) + 1;
  std::vector<uint8_t> staging = bareHeader(3, overCount);
  const auto valid = micRingMessageBytes(7, {0.125f, -0.25f});
  staging.insert(staging.end(), valid.begin(), valid.end());

  const auto first = micRingConsumeNextStagedMessage(staging);
  ctx.check("mic_ring_staging_recovery_reports_malformed_frame_count",
            first.kind == MicRingStagingResult::Kind::malformedHeader && first.malformedFrameCount == overCount);
  checkStagedMessage(ctx, micRingConsumeNextStagedMessage(staging), staging);
}

void runSaturationGroup(const SelfTestContext& ctx) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::pair<float, int> cases[] = {{-2.0f, -32768}, {-1.0f, -32768}, {-0.5f, -16383}, {0.0f, 0},
                                         {0.5f, 16383},   {1.0f, 32767},   {2.0f, 32767},   {std::nanf(""), 0},
                                         {kInf, 32767},   {-kInf, -32768}};
  for (const auto& [input, expected] : cases) {
    const int got = saturateToInt16(input);
    ctx.check(saturationName(input, expected), got == expected, "got " + std::to_string(got));
  }
}

}  // namespace helper
