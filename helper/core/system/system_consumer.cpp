#include "helper/core/system/system_consumer.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "helper/core/await/drain_request.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/segments/source_clock.h"
#include "helper/core/system/system_cadence.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/core/system/system_ring.h"
#include "helper/core/system/system_source.h"
#include "helper/core/system/system_tap_rebuild.h"

namespace helper {
namespace {

using platform::audio::ConverterInputStatus;
using platform::audio::ConverterOutputStatus;
using platform::audio::PCMBuffer;

constexpr auto kIdleSleep = std::chrono::microseconds(2000);

class SystemConsumer {
 public:
  SystemConsumer(SystemConsumerRun& run, SystemPipeline& pipeline, SystemSource& source)
      : run_(run),
        pipeline_(pipeline),
        source_(source),
        writer_(pipeline.writer()),
        nativeRate_(run.nativeFormat.sampleRate()),
        canonicalRate_(source.config().canonicalRate),
        clock_(nativeRate_) {}

  void run() {
    SPSCRing* ring = &run_.ring;
    for (;;) {
      if (spsc_ring_readable(ring) >= run_.ringFrameBytes) {
        processChunk();
        continue;
      }
      // Everything the ring held is written: the pause may seal.
      if (answerDrainRequest(pipeline_.drainRequested(), pipeline_.drainDone())) {
        std::this_thread::sleep_for(kIdleSleep);
        continue;
      }
      if (spsc_ring_is_closed(ring)) {
        // Everything pushed before the close is visible now.
        if (spsc_ring_readable(ring) >= run_.ringFrameBytes) continue;
        return;
      }
      std::this_thread::sleep_for(kIdleSleep);
    }
  }

 private:
  void processChunk() {
    PCMBuffer& input = *run_.input;
    const uint64_t available = spsc_ring_readable(&run_.ring);
    // A chunk ends where the frames stop following on, so that it has one
    // capture time.
    const uint64_t position = streamFrames_;
    const std::optional<uint64_t> stampNs = run_.clock.captureTimeOf(position);
    uint32_t most = run_.maxChunkFrames;
    if (const auto next = run_.clock.nextAnchorAfter(streamFrames_)) {
      most = static_cast<uint32_t>(std::min<uint64_t>(most, *next - streamFrames_));
    }
    const uint32_t frames = takeSystemRingFrames(&run_.ring, input, run_.ringFrameBytes, most);
    if (frames == 0) return;
    streamFrames_ += frames;
    if (!firstChunkTraced_) {
      firstChunkTraced_ = true;
      emitRouteTrace("system_consumer_first_frames", "system",
                     {{"native_rate", nativeRate_},
                      {"native_channels", run_.nativeFormat.channelCount()},
                      {"interleaved", run_.nativeFormat.isInterleaved()},
                      {"frames", frames},
                      {"bytes_available", available},
                      {"bytes_per_frame", run_.ringFrameBytes}});
    }
    // The device runs on while paused: its clock's trend is kept.
    const std::optional<uint64_t> captureNs = clock_.captureTimeOf(position, stampNs);
    if (!writer_ || writer_->paused()) {
      // A pause never counts as drift.
      windowResetPending_ = true;
      return;
    }
    run_.converter->setInputRateRatio(clock_.conversionRatio());
    // What comes out first is what the converter held back of earlier frames.
    const double heldBack = run_.converter->delayFrames();
    PCMBuffer* output = convert(input);
    if (output == nullptr) return;
    const std::optional<uint64_t> outputNs =
        captureNs ? std::optional<uint64_t>(clock_.before(*captureNs, heldBack)) : std::nullopt;
    // Only audio that reached a segment proves the source back: a writer
    // sealed, left without a file or failing to write records nothing.
    const bool written = writer_->write(*output, outputNs, run_.converter->inputRateRatio()) ==
                         static_cast<int64_t>(output->frameLength());
    // The next chunk is converted at a ratio that keeps the audio at its
    // capture time.
    clock_.correct(written ? writer_->clockOffsetSeconds() : std::nullopt, static_cast<double>(frames) / nativeRate_);
    if (written) proveFrames(frames);
    watchCadence(output->frameLength());
  }

  // The chunk at the canonical rate, or null when nothing came out.
  PCMBuffer* convert(const PCMBuffer& input) {
    PCMBuffer& output = *run_.output;
    bool given = false;
    std::string error;
    const auto status =
        run_.converter->convert(output, &error, [&](uint32_t, ConverterInputStatus& s) -> const PCMBuffer* {
          if (given) {
            s = ConverterInputStatus::noDataNow;
            return nullptr;
          }
          given = true;
          s = ConverterInputStatus::haveData;
          return &input;
        });
    if (status == ConverterOutputStatus::error || output.frameLength() == 0) return nullptr;
    return &output;
  }

  void proveFrames(uint32_t nativeFrames) {
    const SourceRecoveryFrameProof proof{
        run_.outputUID, truncToInt64(nativeRate_),          static_cast<int64_t>(run_.nativeFormat.channelCount()),
        std::nullopt,   static_cast<int64_t>(nativeFrames), machAbsoluteTimeNs()};
    if (pipeline_.proofSink()) {
      pipeline_.proofSink()(proof);
    } else {
      source_.recovery().verifyFromFrames(proof);
    }
  }

  void watchCadence(uint32_t canonicalFrames) {
    const uint64_t now = machAbsoluteTimeNs();
    if (pipeline_.takeCadenceRestart()) windowResetPending_ = true;
    if (windowResetPending_) {
      windowFrames_ = 0;
      windowStartNs_ = now;
      windowResetPending_ = false;
    }
    windowFrames_ += canonicalFrames;
    const uint64_t elapsedMs = now >= windowStartNs_ ? (now - windowStartNs_) / 1'000'000 : 0;
    if (elapsedMs < kSystemCadenceRecoveryWindowMs) return;
    const SystemCadenceObservation observation{windowFrames_, canonicalRate_, elapsedMs};
    switch (classifySystemCadenceObservation(observation)) {
      case SystemCadenceClassification::normal:
        break;
      case SystemCadenceClassification::warning:
        emitRouteTrace("system_cadence_warning", "system",
                       {{"frames", windowFrames_},
                        {"wall_ms", elapsedMs},
                        {"frame_duration_ms", truncToInt64(observation.frameDurationMs())},
                        {"drift_ms", truncToInt64(observation.driftMs())},
                        {"drift_ratio", observation.driftRatio()},
                        {"consumer_native_rate", truncToInt64(nativeRate_)}});
        break;
      case SystemCadenceClassification::staleRate:
        scheduleSystemTapRebuildForCurrentOutput(source_, "system_stale_rate", "consumer_cadence", true, observation,
                                                 nativeRate_);
        break;
    }
    windowFrames_ = 0;
    windowStartNs_ = now;
  }

  SystemConsumerRun& run_;
  SystemPipeline& pipeline_;
  SystemSource& source_;
  const std::shared_ptr<SegmentWriter> writer_;
  const double nativeRate_;
  const double canonicalRate_;
  // The device's clock against the host's, and the ratio its audio is
  // converted at.
  SourceClockFollower clock_;
  bool firstChunkTraced_ = false;
  uint64_t streamFrames_ = 0;  // frames taken from the ring so far
  uint64_t windowFrames_ = 0;
  uint64_t windowStartNs_ = 0;
  bool windowResetPending_ = true;
};

}  // namespace

SystemConsumerRun::SystemConsumerRun(uint64_t ringCapacity) : storage(std::make_unique<uint8_t[]>(ringCapacity)) {
  spsc_ring_init(&ring, storage.get(), ringCapacity);
}

void systemConsumerThread(SystemConsumerRun& run, SystemPipeline& pipeline, SystemSource& source) {
  SystemConsumer consumer(run, pipeline, source);
  consumer.run();
}

}  // namespace helper
