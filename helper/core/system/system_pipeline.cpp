#include "helper/core/system/system_pipeline.h"

#include <algorithm>
#include <cmath>

#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/segments/source_clock.h"
#include "helper/core/system/system_consumer.h"
#include "helper/core/system/system_ring.h"
#include "helper/core/system/system_source.h"
#include "helper/core/system/system_tap_format.h"

namespace helper {

namespace hal = platform::audio::hal;
using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

// Everything the IO proc reads, at a fixed address handed to it as client
// data. Atomics only: the IO proc takes no lock.
struct SystemPipeline::IOShared {
  CallbackGate* gate = nullptr;
  std::atomic<SPSCRing*> ring{nullptr};
  std::atomic<StreamClock*> clock{nullptr};
  std::atomic<double> rate{0};  // the rate the consumer reads the frames at
  std::atomic<uint32_t> frameBytes{0};
  std::atomic<bool> debug{false};
  std::atomic<double> tapAsbdRate{0};
  std::atomic<uint64_t> callCount{0};
  std::atomic<uint32_t> lastMNumberBuffers{0};
  std::atomic<uint32_t> lastMNumberChannels{0};
  std::atomic<uint32_t> lastMDataByteSize{0};
  std::atomic<uint64_t> totalBytes{0};

  IOProcStats stats() const {
    return IOProcStats{callCount.load(std::memory_order_relaxed), lastMNumberBuffers.load(std::memory_order_relaxed),
                       lastMNumberChannels.load(std::memory_order_relaxed),
                       lastMDataByteSize.load(std::memory_order_relaxed), totalBytes.load(std::memory_order_relaxed)};
  }
  void resetStats() {
    callCount.store(0);
    lastMNumberBuffers.store(0);
    lastMNumberChannels.store(0);
    lastMDataByteSize.store(0);
    totalBytes.store(0);
  }
};

namespace {

// A chunk the consumer converts in one go; a backlog takes several passes.
constexpr uint32_t kMaxChunkFrames = 16384;
// The most canonical frames one conversion may produce.
constexpr double kMaxOutputFrames = 1 << 20;

hal::AudioObjectPropertyAddress globalAddress(uint32_t selector) {
  return {selector, hal::kAudioObjectPropertyScopeGlobal, hal::kAudioObjectPropertyElementMain};
}

std::string statusText(hal::OSStatus status) { return std::to_string(status); }

// The IO proc: whole frames of the first input buffer into the ring.
hal::OSStatus systemIOProc(hal::AudioObjectID, const hal::AudioTimeStamp*, const hal::AudioBufferList* input,
                           const hal::AudioTimeStamp* inputTime, hal::AudioBufferList*, const hal::AudioTimeStamp*,
                           void* client) {
  auto* io = static_cast<SystemPipeline::IOShared*>(client);
  if (io == nullptr) return hal::kAudioHardwareNoError;
  const CallbackGate::Pass pass(*io->gate);
  StreamClock* clock = io->clock.load(std::memory_order_acquire);
  if (!pass.open()) {
    if (clock != nullptr) clock->breakContinuity();
    return hal::kAudioHardwareNoError;
  }
  SPSCRing* ring = io->ring.load(std::memory_order_acquire);
  const uint32_t frameBytes = io->frameBytes.load(std::memory_order_relaxed);
  bool placeable = true;
  if (clock != nullptr) {
    const bool timed = inputTime != nullptr && (inputTime->flags & hal::kAudioTimeStampHostTimeValid) != 0;
    placeable = clock->beginBuffer(timed ? inputTime->hostTime : 0, io->rate.load(std::memory_order_relaxed));
  }
  bool accepted = false;
  // A buffer whose frames could not be placed in time is refused as a full ring would refuse it.
  const uint64_t offered = placeable ? pushSystemIOProcBuffer(ring, input, frameBytes, &accepted) : 0;
  if (!placeable && ring != nullptr && input != nullptr && input->numberBuffers > 0 && input->buffers != nullptr) {
    ring->dropped.fetch_add(input->buffers[0].dataByteSize, std::memory_order_relaxed);
  }
  if (clock != nullptr) clock->endBuffer(accepted && frameBytes > 0 ? offered / frameBytes : 0);
  if (io->debug.load(std::memory_order_relaxed) && ring != nullptr && input != nullptr && input->numberBuffers > 0 &&
      input->buffers != nullptr) {
    const hal::AudioBuffer& b = input->buffers[0];
    io->callCount.fetch_add(1, std::memory_order_relaxed);
    io->lastMNumberBuffers.store(input->numberBuffers, std::memory_order_relaxed);
    io->lastMNumberChannels.store(b.numberChannels, std::memory_order_relaxed);
    io->lastMDataByteSize.store(b.dataByteSize, std::memory_order_relaxed);
    io->totalBytes.fetch_add(b.dataByteSize, std::memory_order_relaxed);
  }
  return hal::kAudioHardwareNoError;
}

nlohmann::json aggregateDescription(const std::string& outputUID, const std::string& tapUUID) {
  return nlohmann::json{{hal::kAudioAggregateDeviceNameKey, kAggregateDeviceName},
                        {hal::kAudioAggregateDeviceUIDKey, hal::makeUUIDString()},
                        {hal::kAudioAggregateDeviceMainSubDeviceKey, outputUID},
                        {hal::kAudioAggregateDeviceIsPrivateKey, true},
                        {hal::kAudioAggregateDeviceIsStackedKey, false},
                        {hal::kAudioAggregateDeviceTapAutoStartKey, true},
                        {hal::kAudioAggregateDeviceSubDeviceListKey, {{{hal::kAudioSubDeviceUIDKey, outputUID}}}},
                        {hal::kAudioAggregateDeviceTapListKey,
                         {{{hal::kAudioSubTapDriftCompensationKey, true}, {hal::kAudioSubTapUIDKey, tapUUID}}}}};
}

}  // namespace

std::optional<uint32_t> translatePIDToProcessObjectID(int32_t pid) {
  uint32_t object = 0;
  const hal::OSStatus status = hal::getPropertyUInt32(
      hal::kAudioObjectSystemObject, globalAddress(hal::kAudioHardwarePropertyTranslatePIDToProcessObject),
      static_cast<uint32_t>(pid), object);
  if (status != hal::kAudioHardwareNoError || object == 0) return std::nullopt;
  return object;
}

SystemPipeline::SystemPipeline(std::shared_ptr<SegmentWriter> writer, EventSink sink, FrameProofSink proofSink)
    : writer_(std::move(writer)),
      sink_(std::move(sink)),
      proofSink_(std::move(proofSink)),
      io_(std::make_shared<IOShared>()) {
  io_->gate = &tapGate_;
}

SystemPipeline::~SystemPipeline() {
  tearDownAndClose();
  auto joinRun = [](const std::shared_ptr<SystemConsumerRun>& run) {
    if (!run) return;
    spsc_ring_close(&run->ring);
    if (run->thread.joinable()) run->thread.join();
  };
  joinRun(run_);
  for (const auto& r : retiredRuns_) joinRun(r);
}

double SystemPipeline::tapAsbdRate() const { return io_->tapAsbdRate.load(); }

IOProcStats SystemPipeline::ioProcStats() const { return io_->stats(); }

std::shared_ptr<SystemConsumerRun> SystemPipeline::prepareRun(const CaptureConfig& config, const ResolvedRate& rate,
                                                              uint32_t tapChannels, bool interleaved,
                                                              const std::string& outputUID) {
  auto run = std::make_shared<SystemConsumerRun>(kRingCapacity);
  run->ringFrameBytes = systemRingFrameBytes(tapChannels, interleaved);
  run->outputUID = outputUID;

  const auto native = makeSystemNativeFormat(rate.effectiveRate, tapChannels, interleaved);
  if (!native) {
    throw SystemTapGraphError("tap_creation_failed", "unsupported tap format: rate=" + formatRate(rate.effectiveRate) +
                                                         " channels=" + std::to_string(tapChannels));
  }
  run->nativeFormat = *native;
  std::optional<AudioFormat> canonical;
  if (config.canonicalSystemChannels >= 1 && config.canonicalSystemChannels <= UINT32_MAX) {
    canonical = AudioFormat::make(CommonFormat::pcmFloat32, config.canonicalRate,
                                  static_cast<uint32_t>(config.canonicalSystemChannels), true);
  }
  if (canonical) run->converter = AudioConverter::make(*native, *canonical);
  if (!run->converter) {
    throw SystemTapGraphError("tap_creation_failed",
                              "no converter to the canonical system format: rate=" + formatRate(config.canonicalRate) +
                                  " channels=" + std::to_string(config.canonicalSystemChannels));
  }
  run->converter->setSampleRateConverterAlgorithm(platform::audio::SampleRateConverterAlgorithm::normal);
  run->converter->setSampleRateConverterQuality(INT64_MAX);

  // Chunks small enough that one conversion's output stays bounded.
  const double ratio = config.canonicalRate / rate.effectiveRate;
  const double ringFrames = static_cast<double>(kRingCapacity / run->ringFrameBytes);
  const double byOutput = std::floor((kMaxOutputFrames - 16) * (1 - kSourceClockMaxDrift) / ratio);
  run->maxChunkFrames = std::max<uint32_t>(1, truncToUInt32(std::min({ringFrames, byOutput, double(kMaxChunkFrames)})));
  // Room for what the slowest device clock followed makes of a chunk.
  const uint32_t outputCapacity =
      truncToUInt32(std::ceil(run->maxChunkFrames * ratio / (1 - kSourceClockMaxDrift))) + 16;
  run->input = PCMBuffer::make(*native, run->maxChunkFrames);
  run->output = PCMBuffer::make(*canonical, outputCapacity);
  if (!run->input || !run->output) {
    throw SystemTapGraphError("tap_creation_failed", "cannot allocate the system conversion buffers");
  }
  return run;
}

SystemTapStartResult SystemPipeline::start(SystemSource& source, std::optional<uint32_t> preferredOutputDeviceID,
                                           bool openSegment) {
  const CaptureConfig& config = source.config();
  // Before anything is created: a second graph would leave the first one's
  // tap, aggregate device and IO proc beyond any stop's reach.
  if (run_ || tapID_.load() != 0 || aggregateDeviceID_.load() != 0 || ioProcID_.load() != 0) {
    throw SystemTapGraphError("aggregate_creation_failed", "system ring already exists before graph start");
  }
  // The tap hears every process but ours.
  std::vector<hal::AudioObjectID> excluded;
  if (auto own = translatePIDToProcessObjectID(config.excludePID)) excluded.push_back(*own);
  tapDescription_ = hal::TapDescription::stereoGlobalTapButExcludeProcesses(excluded);
  tapDescription_.uuid = hal::makeUUIDString();
  tapDescription_.muteBehavior = hal::TapMuteBehavior::unmuted;

  hal::AudioObjectID tap = 0;
  hal::OSStatus status = hal::createProcessTap(tapDescription_, &tap);
  if (status != hal::kAudioHardwareNoError) {
    throw SystemTapGraphError("tap_creation_failed", "AudioHardwareCreateProcessTap: " + statusText(status));
  }
  tapID_.store(tap);

  hal::AudioStreamBasicDescription format{};
  status = hal::getPropertyStreamDescription(tap, globalAddress(hal::kAudioTapPropertyFormat), format);
  if (status != hal::kAudioHardwareNoError) {
    throw SystemTapGraphError("tap_creation_failed", "kAudioTapPropertyFormat read failed: " + statusText(status));
  }
  io_->tapAsbdRate.store(format.sampleRate);
  if (auto refused = unsupportedTapFormatReason(format)) throw SystemTapGraphError("tap_creation_failed", *refused);
  const uint32_t tapChannels = format.channelsPerFrame;
  const bool interleaved = !isNonInterleavedTapFormat(format);

  const std::optional<uint32_t> output =
      preferredOutputDeviceID ? preferredOutputDeviceID : readPreferredSystemCaptureOutputDevice();
  const std::optional<std::string> outputUID = output ? readDeviceUID(*output) : std::nullopt;
  if (!outputUID || outputUID->empty()) {
    throw SystemTapGraphError("no_output_device", "No default system output device");
  }
  const std::string outputName = readDeviceName(*output).value_or(kUnknownSpeakersName);
  const OutputDeviceClassification classification = classifyOutputDevice(*output);
  source.setOutputDevice(*outputUID, outputName, classification);

  hal::AudioObjectID aggregate = 0;
  status = hal::createAggregateDevice(aggregateDescription(*outputUID, tapDescription_.uuid), &aggregate);
  if (status != hal::kAudioHardwareNoError) {
    throw SystemTapGraphError("aggregate_creation_failed", "AudioHardwareCreateAggregateDevice: " + statusText(status));
  }
  aggregateDeviceID_.store(aggregate);

  const std::optional<double> outputNominal = readDeviceNominalSampleRate(*output);
  const std::optional<double> aggregateNominal = readDeviceNominalSampleRate(aggregate);
  const std::string transport = readDeviceTransportType(*output);
  const MicRouteFacts mic = source.session().micRouteFacts();
  const int64_t micRate = mic.nativeRate;
  const std::string& micUID = mic.uid;
  const std::string& micRoute = mic.routeKind;
  const ResolvedRate rate =
      resolveSystemNativeRate(format.sampleRate, outputNominal, aggregateNominal, transport, *outputUID, outputName,
                              static_cast<double>(micRate), micRoute, micUID, mic.name);
  emitRouteTrace("system_graph_rate_resolution", "system",
                 {{"output_uid", *outputUID},
                  {"output_name", outputName},
                  {"output_transport", transport},
                  {"tap_asbd_rate", format.sampleRate},
                  {"output_nominal_rate", outputNominal.value_or(0)},
                  {"aggregate_nominal_rate", aggregateNominal.value_or(0)},
                  {"mic_uid", micUID},
                  {"mic_route", micRoute},
                  {"mic_native_rate", micRate},
                  {"effective_rate", rate.effectiveRate},
                  {"source", rate.source},
                  {"same_bluetooth_device", rate.sameBluetoothDevice}});
  if (writer_) {
    writer_->setNativeRateNow(truncToInt64(rate.effectiveRate));
    writer_->setNativeChannelsNow(tapChannels);
  }

  hal::AudioDeviceIOProcID procID = 0;
  status = hal::createIOProcID(aggregate, systemIOProc, io_.get(), &procID);
  if (status != hal::kAudioHardwareNoError) {
    throw SystemTapGraphError("aggregate_creation_failed", "AudioDeviceCreateIOProcID: " + statusText(status));
  }
  ioProcID_.store(procID);

  std::shared_ptr<SystemConsumerRun> run = prepareRun(config, rate, tapChannels, interleaved, *outputUID);
  run_ = run;
  // Published before the device starts: the IO proc pushes whole frames
  // of this size from its first call on.
  io_->frameBytes.store(run->ringFrameBytes);
  io_->rate.store(rate.effectiveRate);
  io_->clock.store(&run->clock, std::memory_order_release);
  io_->ring.store(&run->ring, std::memory_order_release);

  if (openSegment && writer_) writer_->open();

  drainRequested_.store(0);
  SystemConsumerRun* raw = run.get();
  run->thread = platform::dispatch::startNamedThread("tasmerig-sys-consumer", [this, raw, &source] {
    systemConsumerThread(*raw, *this, source);
    raw->done.signal();
  });
  hasConsumer_.store(true, std::memory_order_release);

  tapGate_.enabled().store(1);
  status = hal::deviceStart(aggregate, procID);
  if (status != hal::kAudioHardwareNoError) {
    tapGate_.enabled().store(0);
    spsc_ring_close(&run->ring);  // the consumer drains and ends
    throw SystemTapGraphError("aggregate_creation_failed", "AudioDeviceStart: " + statusText(status));
  }
  if (gDebugIOProc.load()) startStatsTimer();

  SystemTapStartResult result;
  result.outputUID = *outputUID;
  result.outputName = outputName;
  result.outputClassification = classification;
  result.nativeRate = rate.effectiveRate;
  result.nativeChannels = tapChannels;
  result.nativeInterleaved = interleaved;
  result.tapChannels = tapChannels;
  result.rateResolution = rate;
  result.outputNominalRate = outputNominal;
  result.aggregateNominalRate = aggregateNominal;
  result.outputTransport = transport;
  return result;
}

void SystemPipeline::startStatsTimer() {
  io_->resetStats();
  io_->debug.store(true);
  std::shared_ptr<IOShared> io = io_;
  EventSink sink = sink_;
  statsTimer_ = std::make_unique<platform::dispatch::Timer>(
      platform::dispatch::globalQueue(platform::dispatch::Qos::utility), kIOProcStatsIntervalNs, [io, sink] {
        const IOProcStats s = io->stats();
        sink(Event{{"type", "ioproc_stats"},
                   {"call_count", s.callCount},
                   {"last_m_number_buffers", s.lastMNumberBuffers},
                   {"last_m_number_channels", s.lastMNumberChannels},
                   {"last_m_data_byte_size", s.lastMDataByteSize},
                   {"total_bytes", s.totalBytes},
                   {"tap_asbd_rate", io->tapAsbdRate.load()}});
      });
}

void SystemPipeline::tearDownAndClose() {
  tapGate_.enabled().store(0);
  if (statsTimer_) {
    statsTimer_->cancel();
    statsTimer_.reset();
  }
  io_->debug.store(false);
  const hal::AudioObjectID aggregate = aggregateDeviceID_.load();
  if (const hal::AudioDeviceIOProcID proc = ioProcID_.load(); proc != 0 && aggregate != 0) {
    // Synchronous: once these return the IO proc neither runs nor will.
    hal::deviceStop(aggregate, proc);
    hal::destroyIOProcID(aggregate, proc);
    ioProcID_.store(0);
  }
  if (aggregate != 0) {
    hal::destroyAggregateDevice(aggregate);
    aggregateDeviceID_.store(0);
  }
  if (const hal::AudioObjectID tap = tapID_.load(); tap != 0) {
    hal::destroyProcessTap(tap);
    tapID_.store(0);
  }
  io_->ring.store(nullptr, std::memory_order_release);
  io_->clock.store(nullptr, std::memory_order_release);
  if (run_) spsc_ring_close(&run_->ring);
}

bool SystemPipeline::awaitConsumer(uint64_t timeoutNs) {
  std::shared_ptr<SystemConsumerRun> run = std::move(run_);
  run_.reset();
  if (!run) return true;
  if (!run->done.waitForNs(timeoutNs)) {
    hasConsumer_.store(false, std::memory_order_release);
    retiredRuns_.push_back(std::move(run));
    return false;
  }
  if (run->thread.joinable()) run->thread.join();
  hasConsumer_.store(false, std::memory_order_release);
  return true;
}

bool SystemPipeline::stop(uint64_t joinTimeoutNs, const std::string& timeoutContext) {
  tearDownAndClose();
  if (awaitConsumer(joinTimeoutNs)) return true;
  sink_(Event{{"type", "warning"},
              {"code", "consumer_join_timeout"},
              {"ctx", timeoutContext + "; leaving old system ring allocated"}});
  return false;
}

SystemTapStartResult startSystemTapGraph(SystemSource& source, std::optional<uint32_t> preferredOutputDeviceID,
                                         bool openSegment) {
  return source.pipeline().start(source, preferredOutputDeviceID, openSegment);
}

bool stopActiveSystemTapGraph(SystemSource& source, double joinTimeoutSeconds, const std::string& timeoutContext) {
  SystemPipeline* pipeline = &source.pipeline();
  const double ns = std::isfinite(joinTimeoutSeconds) && joinTimeoutSeconds > 0 ? joinTimeoutSeconds * 1e9 : 0;
  return pipeline->stop(static_cast<uint64_t>(std::min(ns, 1.8e19)), timeoutContext);
}

}  // namespace helper
