#include "helper/core/mic/mic_consumer.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helper/core/await/drain_request.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/segments/source_clock.h"
#include "helper/ring/spsc_ring.h"
#include "platform/audio/engine/converter.h"

namespace helper {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

constexpr auto kIdleSleep = std::chrono::microseconds(2000);
// The overflow report's schedule counted in idle passes: each sleeps at
// least kIdleSleep, so this many take no less than the report's 5 s, and
// the idle pass reads no clock until then.
constexpr uint32_t kIdlePassesPerOverflowCheck = 2500;
// Room for everything the ring can hold behind the partial message left
// from the last pass (a message is never larger than the ring), so the
// staging never grows.
constexpr size_t kStagingCapacity = 2 * kMicRingCapacity;
// Output frames beyond a message's share: the converter's held-back ones.
constexpr uint32_t kConverterSlackFrames = 32;

// What the consumer knows of the generation whose audio it is converting.
struct GenerationCache {
  // None until the first message: every 32-bit value is a real generation.
  std::optional<uint32_t> generation;
  double nativeRate = 0.0;
  int64_t channels = kEffectiveMicCaptureChannels;
  std::string uid;
  std::string route = "unknown";
  std::optional<AudioFormat> inputFormat;
  std::unique_ptr<AudioConverter> converter;
  // The device's clock against the host's, and the ratio its audio is
  // converted at; a new generation is a new device clock.
  std::optional<SourceClockFollower> clock;
  bool resampling = false;  // at the canonical rate, but resampled to keep time
};

class MicConsumer {
 public:
  MicConsumer(MicPipeline& pipeline, MicSource& mic, std::optional<AudioFormat> writerFormat)
      : pipeline_(pipeline),
        ring_(&pipeline.ring()),
        mic_(mic),
        writer_(pipeline.writer()),
        writerFormat_(std::move(writerFormat)),
        staging_(std::make_unique<uint8_t[]>(kStagingCapacity)) {}

  void run() {
    uint64_t lastReportNs = machAbsoluteTimeNs();
    uint64_t lastReportedBytes = 0;
    uint32_t idlePasses = 0;
    for (;;) {
      emitFirstBufferReport();
      if (spsc_ring_readable(ring_) > 0) {
        staged_ += micRingTakeAvailable(ring_, staging_.get() + staged_, kStagingCapacity - staged_);
        processStaged();
        checkMicOverflow(pipeline_.overflow(), pipeline_.sink(), lastReportNs, lastReportedBytes);
        continue;
      }
      if (pipeline_.drainRequested().load() != 0) {
        staged_ = 0;
        answerDrainRequest(pipeline_.drainRequested(), pipeline_.drainDone());
        std::this_thread::sleep_for(kIdleSleep);
        continue;
      }
      if (spsc_ring_is_closed(ring_)) {
        // Everything pushed before the close is visible now.
        if (spsc_ring_readable(ring_) > 0) continue;
        break;
      }
      if (++idlePasses >= kIdlePassesPerOverflowCheck) {
        idlePasses = 0;
        checkMicOverflow(pipeline_.overflow(), pipeline_.sink(), lastReportNs, lastReportedBytes);
      }
      std::this_thread::sleep_for(kIdleSleep);
    }
    emitFirstBufferReport();
  }

 private:
  // "first_frame_format" for a first buffer the render thread described.
  void emitFirstBufferReport() {
    FirstBufferReport& r = pipeline_.firstBuffer();
    if (!r.pending.load(std::memory_order_acquire)) return;
    r.pending.store(false, std::memory_order_relaxed);
    const int64_t retained = r.retainedFrames.load(std::memory_order_relaxed);
    const int64_t raw = r.rawFrames.load(std::memory_order_relaxed);
    const int64_t maxFrames = r.maxFrames.load(std::memory_order_relaxed);
    pipeline_.sink()(Event{{"type", "first_frame_format"},
                           {"sample_rate", r.sampleRate.load(std::memory_order_relaxed)},
                           {"channels", r.channels.load(std::memory_order_relaxed)},
                           {"interleaved", r.interleaved.load(std::memory_order_relaxed)},
                           {"common_format", r.commonFormat.load(std::memory_order_relaxed)},
                           {"frames", retained},
                           {"raw_frames", raw},
                           {"retained_frames", retained},
                           {"max_frames", maxFrames},
                           {"render_quantum", r.renderQuantum.load(std::memory_order_relaxed)},
                           {"tap_request_frames", r.tapRequestFrames.load(std::memory_order_relaxed)},
                           {"truncated", maxFrames < raw},
                           {"first_frame_peak", floatForJson(r.peak.load(std::memory_order_relaxed))}});
  }

  // Works through the staged bytes in place; only a partial message at
  // the end is moved to the front for the next pass.
  void processStaged() {
    size_t at = 0;
    while (staged_ - at >= static_cast<size_t>(kMicRingHeaderSize)) {
      const MicRingStagingResult r = micRingPeekStagedMessage(staging_.get() + at, staged_ - at);
      if (r.kind == MicRingStagingResult::Kind::malformedHeader) {
        at += kMicRingHeaderSize;
        pipeline_.sink()(
            Event{{"type", "warning"},
                  {"code", "mic_ring_malformed_message"},
                  {"ctx", "frameCount=" + std::to_string(r.malformedFrameCount) + " exceeds ring capacity"}});
        continue;
      }
      if (r.kind == MicRingStagingResult::Kind::needMoreData) break;
      // Every message's frames count, whatever becomes of them here: the
      // render thread counted them too.
      const uint64_t position = streamFrames_;
      const std::optional<uint64_t> stampNs = pipeline_.streamClock().captureTimeOf(position);
      streamFrames_ += r.message.frameCount;
      processMessage(r.message, staging_.get() + at + kMicRingHeaderSize, position, stampNs);
      at += static_cast<size_t>(r.message.messageSize);
    }
    if (at > 0 && at < staged_) std::memmove(staging_.get(), staging_.get() + at, staged_ - at);
    staged_ -= at;
  }

  // Loads the format and converter of a new generation; false drops the message.
  bool loadGeneration(uint32_t generation) {
    int64_t rate, channels;
    std::string uid, route;
    if (auto fmt = mic_.generationFormats().find(generation)) {
      rate = fmt->sampleRate;
      channels = fmt->channels;
      uid = fmt->uid;
      route = fmt->routeKind;
    } else {
      rate = writer_->nativeRateNow();
      channels = writer_->nativeChannelsNow();
      uid = mic_.deviceUID();
      route = mic_.routeKind();
      emitRouteTrace("mic_generation_format_missing", "mic",
                     {{"generation", generation},
                      {"writer_rate", rate},
                      {"writer_channels", channels},
                      {"state_uid", uid},
                      {"state_route", route}});
    }
    if (rate <= 0 || channels <= 0) {
      cache_.converter.reset();
      cache_.nativeRate = 0.0;
      emitRouteTrace(
          "mic_generation_format_invalid", "mic",
          {{"generation", generation}, {"rate", rate}, {"channels", channels}, {"uid", uid}, {"route", route}});
      return false;
    }
    // The ring is always mono, whatever the device's channel count.
    auto inputFormat = AudioFormat::make(CommonFormat::pcmFloat32, static_cast<double>(rate), 1, true);
    std::unique_ptr<AudioConverter> converter;
    if (inputFormat && writerFormat_) converter = AudioConverter::make(*inputFormat, *writerFormat_);
    if (!converter) {
      cache_.converter.reset();
      cache_.nativeRate = 0.0;
      emitRouteTrace("mic_consumer_converter_failed", "mic",
                     {{"generation", generation},
                      {"from_rate", rate},
                      {"from_channels", 1},
                      {"to_rate", writerFormat_ ? static_cast<int64_t>(writerFormat_->sampleRate()) : 0},
                      {"to_channels", writerFormat_ ? writerFormat_->channelCount() : 0},
                      {"uid", uid},
                      {"route", route}});
      return false;
    }
    converter->setSampleRateConverterAlgorithm(platform::audio::SampleRateConverterAlgorithm::normal);
    converter->setSampleRateConverterQuality(INT64_MAX);
    cache_.converter = std::move(converter);
    cache_.clock.emplace(static_cast<double>(rate));
    cache_.resampling = false;
    cache_.inputFormat = inputFormat;
    cache_.generation = generation;
    cache_.nativeRate = static_cast<double>(rate);
    cache_.channels = channels;
    cache_.uid = uid;
    cache_.route = route;
    return true;
  }

  void processMessage(const MicRingStagedMessage& m, const uint8_t* payload, uint64_t position,
                      std::optional<uint64_t> stampNs) {
    if (m.generation != pipeline_.generation().load()) return;  // a stale engine's audio
    if (writer_->paused()) {
      // The device runs on while paused: its clock's trend is kept.
      if (m.generation == cache_.generation && cache_.clock) cache_.clock->captureTimeOf(position, stampNs);
      return;
    }
    if (m.frameCount == 0) return;
    if (m.generation != cache_.generation && !loadGeneration(m.generation)) return;
    if (seen_.insert(m.generation).second) {
      emitRouteTrace("mic_generation_first_frames", "mic",
                     {{"generation", m.generation},
                      {"native_rate", cache_.nativeRate},
                      {"native_channels", cache_.channels},
                      {"frames", m.frameCount},
                      {"writer_uid", cache_.uid},
                      {"writer_route", cache_.route}});
    }
    if (!(cache_.nativeRate > 0) || !cache_.inputFormat || !cache_.clock) return;
    PCMBuffer* input = inputBuffer(m.frameCount);
    if (input == nullptr) return;
    input->setFrameLength(m.frameCount);
    std::memcpy(input->floatChannelData()[0], payload, static_cast<size_t>(m.payloadSize));

    SourceClockFollower& clock = *cache_.clock;
    const std::optional<uint64_t> captureNs = clock.captureTimeOf(position, stampNs);
    const bool written = writeConverted(*input, m.frameCount, captureNs, clock.conversionRatio());
    // The next message is converted at a ratio that keeps the audio at its
    // capture time.
    clock.correct(written ? writer_->clockOffsetSeconds() : std::nullopt,
                  static_cast<double>(m.frameCount) / cache_.nativeRate);
    // Only audio that reached a segment proves the source back: a writer
    // sealed, left without a file or failing to write records nothing.
    if (!written) return;
    SourceRecoveryFrameProof proof{cache_.uid,      static_cast<int64_t>(cache_.nativeRate),
                                   cache_.channels, cache_.generation,
                                   m.frameCount,    machAbsoluteTimeNs()};
    if (pipeline_.proofSink()) {
      pipeline_.proofSink()(proof);
    } else {
      mic_.recovery().verifyFromFrames(proof);
    }
  }

  // Converts the message at the canonical rate (the device's nominal rate
  // times `ratio`) and writes it; true when all of it reached the writer.
  bool writeConverted(const PCMBuffer& input, uint32_t frameCount, std::optional<uint64_t> captureNs, double ratio) {
    const double canonicalRate = mic_.config().canonicalRate;
    if (cache_.nativeRate == canonicalRate && !cache_.resampling) {
      // At the canonical rate already, and on time: unchanged, until its
      // clock first needs a ratio; resampled from then on.
      if (ratio == 1.0) return writer_->write(input, captureNs) == static_cast<int64_t>(input.frameLength());
      cache_.resampling = true;
    }
    if (!cache_.converter || !writerFormat_) return false;
    cache_.converter->setInputRateRatio(ratio);
    // What comes out first is what the converter held back of earlier frames.
    if (captureNs) captureNs = cache_.clock->before(*captureNs, cache_.converter->delayFrames());
    // Room for what the slowest ratio followed makes of the message, and
    // the filter's held-back frames: the same for every message of a size.
    const double outFrames =
        std::trunc(static_cast<double>(frameCount) * canonicalRate / cache_.nativeRate / (1 - kSourceClockMaxDrift));
    if (!(outFrames >= 0) || outFrames >= 4294967295.0 - kConverterSlackFrames) return false;
    PCMBuffer* output = outputBuffer(static_cast<uint32_t>(outFrames) + kConverterSlackFrames);
    if (output == nullptr) return false;
    bool given = false;
    std::string error;
    const auto status = cache_.converter->convert(
        *output, &error, [&](uint32_t, platform::audio::ConverterInputStatus& s) -> const PCMBuffer* {
          if (given) {
            s = platform::audio::ConverterInputStatus::noDataNow;
            return nullptr;
          }
          given = true;
          s = platform::audio::ConverterInputStatus::haveData;
          return &input;
        });
    if (status == platform::audio::ConverterOutputStatus::error || output->frameLength() == 0) return false;
    return writer_->write(*output, captureNs, cache_.converter->inputRateRatio()) ==
           static_cast<int64_t>(output->frameLength());
  }

  // The generation's input buffer, grown only for a larger message than
  // any before it.
  PCMBuffer* inputBuffer(uint32_t frames) {
    if (!input_ || input_->frameCapacity() < frames || !(input_->format() == *cache_.inputFormat)) {
      input_ = PCMBuffer::make(*cache_.inputFormat, frames);
    }
    return input_.get();
  }

  // The conversion's output buffer, made again only when a message of
  // another size arrives (tap buffers are normally all alike).
  PCMBuffer* outputBuffer(uint32_t capacity) {
    if (!output_ || output_->frameCapacity() != capacity) output_ = PCMBuffer::make(*writerFormat_, capacity);
    return output_.get();
  }

  MicPipeline& pipeline_;
  SPSCRing* const ring_;
  MicSource& mic_;
  const std::shared_ptr<SegmentWriter> writer_;
  const std::optional<AudioFormat> writerFormat_;
  const std::unique_ptr<uint8_t[]> staging_;
  size_t staged_ = 0;          // bytes of staging_ in use, from its start
  uint64_t streamFrames_ = 0;  // frames of every message parsed so far
  std::unique_ptr<PCMBuffer> input_;
  std::unique_ptr<PCMBuffer> output_;
  GenerationCache cache_;
  std::set<uint32_t> seen_;
};

}  // namespace

void micConsumerThread(MicPipeline& pipeline, MicSource& mic, const std::optional<AudioFormat>& writerFormat) {
  MicConsumer consumer(pipeline, mic, writerFormat);
  consumer.run();
}

}  // namespace helper
