#include "helper/core/mic/mic_pipeline.h"

#include <algorithm>
#include <cmath>

#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_consumer.h"

namespace helper {
namespace {

constexpr uint64_t kOverflowReportIntervalNs = 5'000'000'000ULL;

}  // namespace

// One tap installation's own state; the first-buffer flag and the scratch
// are touched only by the render thread.
struct MicPipeline::TapBlockContext {
  TapSettings settings;
  bool firstBufferSeen = false;
  std::unique_ptr<MicTapScratch> scratch;
};

MicPipeline::MicPipeline(std::shared_ptr<SegmentWriter> writer, EventSink sink, FrameProofSink proofSink)
    : writer_(std::move(writer)),
      sink_(std::move(sink)),
      proofSink_(std::move(proofSink)),
      ringStorage_(std::make_unique<uint8_t[]>(kMicRingCapacity)) {
  spsc_ring_init(&ring_, ringStorage_.get(), kMicRingCapacity);
}

MicPipeline::~MicPipeline() {
  spsc_ring_close(&ring_);
  if (consumer_.joinable()) consumer_.join();
}

void MicPipeline::startConsumer(MicSource& mic, std::optional<platform::audio::AudioFormat> writerFormat) {
  consumer_ = platform::dispatch::startNamedThread("tasmerig-mic-consumer", [this, &mic, writerFormat] {
    micConsumerThread(*this, mic, writerFormat);
    consumerDone_.signal();
  });
}

platform::audio::AudioNodeTapBlock MicPipeline::makeTapBlock(const TapSettings& settings) {
  auto ctx = std::make_shared<TapBlockContext>();
  ctx->settings = settings;
  ctx->scratch = std::make_unique<MicTapScratch>(settings.scratchFrames);
  return [this, ctx](const platform::audio::PCMBuffer& buffer, const platform::audio::AudioTime& when) {
    onTapBuffer(*ctx, buffer, when);
  };
}

void MicPipeline::onTapBuffer(TapBlockContext& ctx, const platform::audio::PCMBuffer& buffer,
                              const platform::audio::AudioTime& when) {
  const CallbackGate::Pass pass(tapGate_);
  if (!pass.open()) {
    streamClock_.breakContinuity();
    return;
  }
  const int64_t frameLength = buffer.frameLength();
  if (frameLength == 0) return;
  if (const double rate = buffer.format().sampleRate(); when.hostTime != 0 && rate > 0) {
    // Read by a pause or the stop waiting for its instant's audio; the
    // gate's close waits for this callback, so the push below comes first.
    const auto spanNs = static_cast<uint64_t>(static_cast<double>(frameLength) * 1e9 / rate);
    capturedThroughNs_.store(when.hostTime + spanNs, std::memory_order_release);
  }
  const TapSettings& s = ctx.settings;
  const int64_t retained = std::min(frameLength, s.scratchFrames);
  if (s.describeFirstBuffer && !ctx.firstBufferSeen) {
    // Only described here: the consumer builds and emits the event.
    ctx.firstBufferSeen = true;
    const auto& f = buffer.format();
    float peak = 0;
    if (float* const* data = buffer.floatChannelData()) {
      if (f.isInterleaved()) {
        const int64_t n = static_cast<int64_t>(f.channelCount()) * retained;
        for (int64_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(data[0][i]));
      } else {
        for (uint32_t c = 0; c < f.channelCount(); ++c) {
          if (data[c] == nullptr) continue;
          for (int64_t i = 0; i < retained; ++i) peak = std::max(peak, std::fabs(data[c][i]));
        }
      }
    }
    FirstBufferReport& r = firstBuffer_;
    r.sampleRate.store(f.sampleRate(), std::memory_order_relaxed);
    r.channels.store(f.channelCount(), std::memory_order_relaxed);
    r.interleaved.store(f.isInterleaved(), std::memory_order_relaxed);
    r.commonFormat.store(static_cast<uint32_t>(f.commonFormat()), std::memory_order_relaxed);
    r.retainedFrames.store(retained, std::memory_order_relaxed);
    r.rawFrames.store(frameLength, std::memory_order_relaxed);
    r.maxFrames.store(s.scratchFrames, std::memory_order_relaxed);
    r.renderQuantum.store(s.renderQuantum, std::memory_order_relaxed);
    r.tapRequestFrames.store(s.tapBufferFrames, std::memory_order_relaxed);
    r.peak.store(peak, std::memory_order_relaxed);
    r.pending.store(true, std::memory_order_release);
  }
  if (!streamClock_.beginBuffer(when.hostTime, buffer.format().sampleRate())) {
    // Its frames could not be placed in time: refused as a full ring would.
    overflow_.bytes.fetch_add(4 * static_cast<uint64_t>(frameLength), std::memory_order_relaxed);
    overflow_.events.fetch_add(1, std::memory_order_relaxed);
    streamClock_.endBuffer(0);
    return;
  }
  const MicTapPushResult pushed = pushMicTapBufferToRing(buffer, &ring_, *ctx.scratch, s.scratchFrames, s.gain,
                                                         generation_.load(std::memory_order_relaxed), overflow_);
  streamClock_.endBuffer(pushed.pushed ? static_cast<uint64_t>(pushed.frames) : 0);
}

void checkMicOverflow(const MicOverflowCounters& overflow, const EventSink& sink, uint64_t& lastReportNs,
                      uint64_t& lastReportedBytes) {
  const uint64_t now = machAbsoluteTimeNs();
  if (now - lastReportNs < kOverflowReportIntervalNs) return;
  lastReportNs = now;
  const uint64_t total = overflow.bytes.load();
  if (total <= lastReportedBytes) return;
  const uint64_t delta = total - lastReportedBytes;
  lastReportedBytes = total;
  sink(Event{{"type", "source_overflow"},
             {"source", "mic"},
             {"dropped_bytes", delta},
             {"dropped_frames_estimate", delta / 4}});
}

}  // namespace helper
