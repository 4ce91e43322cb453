#include "helper/core/mic/mic_consumer.h"

#include <chrono>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/ring/spsc_ring.h"
#include "platform/audio/engine/converter.h"

namespace helper {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

constexpr auto kIdleSleep = std::chrono::microseconds(2000);
constexpr uint64_t kOverflowReportIntervalNs = 5'000'000'000ULL;
constexpr size_t kStagingReserve = 32768;

// What the consumer knows of the generation whose audio it is converting.
struct GenerationCache {
  uint32_t generation = 0xFFFFFFFF;
  double nativeRate = 0.0;
  int64_t channels = kEffectiveMicCaptureChannels;
  std::string uid;
  std::string route = "unknown";
  std::optional<AudioFormat> inputFormat;
  std::unique_ptr<AudioConverter> converter;
};

class MicConsumer {
 public:
  MicConsumer(std::shared_ptr<CaptureState> state, std::shared_ptr<SegmentWriter> writer, SPSCRing* ring,
              std::optional<AudioFormat> writerFormat)
      : state_(std::move(state)), writer_(std::move(writer)), ring_(ring), writerFormat_(std::move(writerFormat)) {
    staging_.reserve(kStagingReserve);
  }

  void run() {
    uint64_t lastReportNs = machAbsoluteTimeNs();
    uint64_t lastReportedBytes = 0;
    for (;;) {
      if (spsc_ring_readable(ring_) > 0) {
        micRingTakeAvailable(ring_, staging_);
        processStaged();
        checkMicOverflow(lastReportNs, lastReportedBytes);
        continue;
      }
      if (gMicDrainRequested.load() != 0) {
        staging_.clear();
        gMicDrainRequested.store(0);
        gMicDrainDone.signal();
        std::this_thread::sleep_for(kIdleSleep);
        continue;
      }
      if (spsc_ring_is_closed(ring_)) {
        // Everything pushed before the close is visible now.
        if (spsc_ring_readable(ring_) > 0) continue;
        break;
      }
      checkMicOverflow(lastReportNs, lastReportedBytes);
      std::this_thread::sleep_for(kIdleSleep);
    }
  }

 private:
  void processStaged() {
    while (staging_.size() >= static_cast<size_t>(kMicRingHeaderSize)) {
      const MicRingStagingResult r = micRingConsumeNextStagedMessage(staging_);
      if (r.kind == MicRingStagingResult::Kind::malformedHeader) {
        emitEvent(Event{{"type", "warning"},
                        {"code", "mic_ring_malformed_message"},
                        {"ctx", "frameCount=" + std::to_string(r.malformedFrameCount) + " exceeds ring capacity"}});
        continue;
      }
      if (r.kind == MicRingStagingResult::Kind::needMoreData) break;
      processMessage(r.message);
      staging_.erase(staging_.begin(), staging_.begin() + r.message.messageSize);
    }
  }

  // Loads the format and converter of a new generation; false drops the message.
  bool loadGeneration(uint32_t generation) {
    int64_t rate, channels;
    std::string uid, route;
    if (auto fmt = state_->micGenerationFormat(generation)) {
      rate = fmt->sampleRate;
      channels = fmt->channels;
      uid = fmt->uid;
      route = fmt->routeKind;
    } else {
      rate = writer_->nativeRateNow();
      channels = writer_->nativeChannelsNow();
      uid = state_->micDeviceUID();
      route = state_->micRouteKind();
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
    cache_.inputFormat = inputFormat;
    cache_.generation = generation;
    cache_.nativeRate = static_cast<double>(rate);
    cache_.channels = channels;
    cache_.uid = uid;
    cache_.route = route;
    return true;
  }

  void processMessage(const MicRingStagedMessage& m) {
    if (m.generation != gMicGeneration.load()) return;  // a stale engine's audio
    if (writer_->paused()) return;
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
    if (!(cache_.nativeRate > 0) || !cache_.inputFormat) return;
    auto input = PCMBuffer::make(*cache_.inputFormat, m.frameCount);
    if (!input) return;
    input->setFrameLength(m.frameCount);
    copyMicRingPayload(staging_, m, input->floatChannelData()[0]);

    const double canonicalRate = state_->config().canonicalRate;
    if (cache_.nativeRate == canonicalRate) {
      writer_->write(*input);
    } else {
      if (!cache_.converter || !writerFormat_) return;
      const double outFrames = std::trunc(static_cast<double>(m.frameCount) * canonicalRate / cache_.nativeRate);
      if (!(outFrames >= 0) || outFrames >= 4294967295.0) return;
      auto output = PCMBuffer::make(*writerFormat_, static_cast<uint32_t>(outFrames) + 1);
      if (!output) return;
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
            return input.get();
          });
      if (status == platform::audio::ConverterOutputStatus::error || output->frameLength() == 0) return;
      writer_->write(*output);
    }
    SourceRecoveryFrameProof proof{cache_.uid,      static_cast<int64_t>(cache_.nativeRate),
                                   cache_.channels, cache_.generation,
                                   m.frameCount,    machAbsoluteTimeNs()};
    state_->verifySourceRecoveryFromFrames("mic", proof);
  }

  std::shared_ptr<CaptureState> state_;
  std::shared_ptr<SegmentWriter> writer_;
  SPSCRing* ring_;
  std::optional<AudioFormat> writerFormat_;
  std::vector<uint8_t> staging_;
  GenerationCache cache_;
  std::set<uint32_t> seen_;
};

}  // namespace

void checkMicOverflow(uint64_t& lastReportNs, uint64_t& lastReportedBytes) {
  const uint64_t now = machAbsoluteTimeNs();
  if (now - lastReportNs < kOverflowReportIntervalNs) return;
  lastReportNs = now;
  const uint64_t total = gMicOverflowBytes.load();
  if (total <= lastReportedBytes) return;
  const uint64_t delta = total - lastReportedBytes;
  lastReportedBytes = total;
  emitEvent(Event{{"type", "source_overflow"},
                  {"source", "mic"},
                  {"dropped_bytes", delta},
                  {"dropped_frames_estimate", delta / 4}});
}

void micConsumerThread(const std::shared_ptr<CaptureState>& state) {
  SPSCRing* ring = gMicRing.load();
  auto writer = state->micWriter();
  if (ring == nullptr || !writer) return;
  const auto& c = state->config();
  // Validated at start-up, so this only fails for formats the engine refuses.
  auto writerFormat = c.canonicalMicChannels >= 1 && c.canonicalMicChannels <= UINT32_MAX
                          ? AudioFormat::make(CommonFormat::pcmFloat32, c.canonicalRate,
                                              static_cast<uint32_t>(c.canonicalMicChannels), true)
                          : std::nullopt;
  {
    MicConsumer consumer(state, writer, ring, writerFormat);
    consumer.run();
  }
  gMicConsumerDone.signal();
}

}  // namespace helper
