// --mode test-synthetic-capture: the host protocol of a capture on 72 s of
// generated audio, written through the real segment writers as fast as
// they take it, with no device, permission or run loop. Commands are read
// on the calling thread; a writer thread of its own generates the audio.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "helper/core/bus/event_bus.h"
#include "helper/core/bus/host_replies.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/synthetic_capture.h"
#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

// Shared by the command loop and the writer thread: the stop request.
class SyntheticCaptureControl {
 public:
  void requestStop() {
    std::lock_guard lock(lock_);
    stopRequested_ = true;
  }
  bool stopRequested() {
    std::lock_guard lock(lock_);
    return stopRequested_;
  }

 private:
  std::mutex lock_;
  bool stopRequested_ VR_GUARDED_BY(lock_) = false;
};

int64_t nowTs() { return static_cast<int64_t>(machAbsoluteTimeNs()); }

// One included source as the writer thread feeds it.
struct SyntheticSource {
  std::shared_ptr<SegmentWriter> writer;
  int64_t channels = 0;
  float value = 0;
};

// The writer thread's own copy of what it needs.
struct GeneratorContext {
  SyntheticRunSize size;
  std::shared_ptr<SyntheticCaptureControl> control;
  std::shared_ptr<platform::dispatch::Semaphore> done;
  SyntheticSource mic;
  SyntheticSource system;
};

// The buffer a source is fed from, made once: every sample is the same
// value, and the writer only reads it. Nothing for a source without a
// writer or a format; a refused allocation is reported.
std::unique_ptr<PCMBuffer> feedBufferFor(const SyntheticSource& source, double rate, uint32_t frames) {
  if (!source.writer) return nullptr;
  const auto format = AudioFormat::make(CommonFormat::pcmFloat32, rate, static_cast<uint32_t>(source.channels), true);
  if (!format) return nullptr;
  auto buffer = makeSyntheticPCMBuffer(*format, frames, source.value);
  if (!buffer) {
    emitWarning("synthetic_buffer_unavailable", source.writer->source() + ": no buffer of " + std::to_string(frames) +
                                                    " frames of " + std::to_string(source.channels) +
                                                    " channels could be made; this source gets no audio");
  }
  return buffer;
}

void generate(const GeneratorContext& ctx, double rate) {
  const auto micBuffer = feedBufferFor(ctx.mic, rate, ctx.size.bufferFrames);
  const auto systemBuffer = feedBufferFor(ctx.system, rate, ctx.size.bufferFrames);
  int64_t written = 0;
  while (written < ctx.size.totalFrames) {
    if (ctx.control->stopRequested()) break;
    const auto n = static_cast<uint32_t>(std::min<int64_t>(ctx.size.bufferFrames, ctx.size.totalFrames - written));
    if (micBuffer) {
      micBuffer->setFrameLength(n);
      ctx.mic.writer->write(*micBuffer);
    }
    if (systemBuffer) {
      systemBuffer->setFrameLength(n);
      ctx.system.writer->write(*systemBuffer);
    }
    written += n;
  }
  emitWarning("synthetic_capture_complete",
              "duration_sec=" + std::to_string(kSyntheticRunSeconds) + " frames=" + std::to_string(written));
  ctx.done->signal();
}

class SyntheticCapture {
 public:
  explicit SyntheticCapture(const CaptureConfig& config) : config_(config) {}

  [[noreturn]] void run() {
    start();
    LineReader reader(0);
    while (auto line = reader.next()) handle(interpretSyntheticCommandLine(*line));
    finish(false, std::string("stdin_eof"), std::nullopt);
  }

 private:
  void start() {
    std::error_code ec;
    std::filesystem::create_directories(config_.sessionDir, ec);  // a failure shows as the writers' own
    sessionStartNs_ = machAbsoluteTimeNs();
    const SyntheticRunSize size = syntheticRunSize(config_.canonicalRate);
    if (config_.includeMic) micWriter_ = openWriter("mic", config_.canonicalMicChannels);
    if (config_.includeSystem) systemWriter_ = openWriter("system", config_.canonicalSystemChannels);
    emitEvent(buildSyntheticHelperReady(config_));

    GeneratorContext ctx{size,
                         control_,
                         done_,
                         {micWriter_, config_.canonicalMicChannels, kSyntheticMicSampleValue},
                         {systemWriter_, config_.canonicalSystemChannels, kSyntheticSystemSampleValue}};
    generator_ = platform::dispatch::startNamedThread(
        "tasmerig-synthetic-capture", [ctx = std::move(ctx), rate = config_.canonicalRate] { generate(ctx, rate); });
  }

  std::shared_ptr<SegmentWriter> openWriter(const char* source, int64_t channels) {
    auto writer = std::make_shared<SegmentWriter>(source, config_.sessionDir, config_.canonicalRate, channels,
                                                  config_.segmentSeconds, sessionStartNs_);
    const auto rate = static_cast<int64_t>(config_.canonicalRate);
    writer->setNativeRateAtOpen(rate);
    writer->setNativeRateNow(rate);
    writer->setNativeChannelsAtOpen(channels);
    writer->setNativeChannelsNow(channels);
    writer->open();
    return writer;
  }

  void handle(const SyntheticCommand& command) {
    using Kind = SyntheticCommand::Kind;
    switch (command.kind) {
      case Kind::heartbeat: {
        const uint64_t now = machAbsoluteTimeNs();
        emitEvent(Event{{"type", "heartbeat"},
                        {"id", command.heartbeatId},
                        {"ts", static_cast<int64_t>(now)},
                        {"uptime_ms", static_cast<int64_t>((now - sessionStartNs_) / 1'000'000)}});
        return;
      }
      case Kind::pause:
        setPaused(true);
        emitEvent(Event{{"type", "pause"}, {"source", "all"}, {"ts", nowTs()}, {"reason", "user"}});
        emitEvent(pauseFenceComplete(command.requestId));
        return;
      case Kind::resume:
        setPaused(false);
        emitEvent(Event{{"type", "resume"}, {"source", "all"}, {"ts", nowTs()}, {"reason", "user"}});
        emitEvent(resumeFenceComplete(command.requestId));
        return;
      case Kind::stop:
        finish(true, std::nullopt, command.requestId);
      case Kind::shutdown:
        finish(false, std::string("shutdown"), command.requestId);
      case Kind::protocolError:
        emitEvent(protocolError(command.errorCommand, command.errorReason, nowTs()));
        return;
    }
  }

  void setPaused(bool paused) {
    if (micWriter_) micWriter_->setPaused(paused);
    if (systemWriter_) systemWriter_->setPaused(paused);
  }

  // Seals a writer and reports its segment; then its last segment number.
  // The number is read after the seal: a write still in flight after a
  // join time-out may rotate up to the seal (both take the writer's lock),
  // but with no segment open afterwards nothing moves it any more.
  static int64_t sealAndCount(const std::shared_ptr<SegmentWriter>& writer) {
    if (!writer) return 0;
    sealAndAnnounce(*writer);
    return writer->seq();
  }

  [[noreturn]] void finish(bool clean, const std::optional<std::string>& reason,
                           const std::optional<std::string>& requestId) {
    control_->requestStop();
    const bool joined = done_->waitForNs(kSyntheticWriterJoinWaitNs);
    if (joined) {
      generator_.join();
    } else {
      emitWarning("synthetic_writer_join_timeout", "synthetic writer did not complete before stop");
      // It holds its own references to everything it touches, and the
      // process ends below.
      generator_.detach();
    }

    const int64_t micSegments = sealAndCount(micWriter_);
    const int64_t systemSegments = sealAndCount(systemWriter_);
    if (requestId) emitEvent(stopFenceComplete(*requestId));

    Event segments = Event::object();
    if (config_.includeMic) segments["mic"] = micSegments;
    if (config_.includeSystem) segments["system"] = systemSegments;
    const uint64_t now = machAbsoluteTimeNs();
    emitEvent(Event{{"type", "session_end"},
                    {"clean", clean},
                    {"reason", reason ? nlohmann::json(*reason) : nlohmann::json(nullptr)},
                    {"segments", segments},
                    {"duration_ns", static_cast<int64_t>(now - sessionStartNs_)},
                    {"ts", static_cast<int64_t>(now)}});
    gEventBus.flushAndStop();
    std::_Exit(0);
  }

  const CaptureConfig config_;
  uint64_t sessionStartNs_ = 0;
  std::shared_ptr<SyntheticCaptureControl> control_ = std::make_shared<SyntheticCaptureControl>();
  std::shared_ptr<platform::dispatch::Semaphore> done_ = std::make_shared<platform::dispatch::Semaphore>(0);
  // Filled before the writer thread starts and never replaced.
  std::shared_ptr<SegmentWriter> micWriter_;
  std::shared_ptr<SegmentWriter> systemWriter_;
  std::thread generator_;
};

}  // namespace

void runSyntheticCapture(const CaptureConfig& config) {
  if (auto error = syntheticCaptureConfigError(config)) exitWithError("bad_args", *error, 2);
  SyntheticCapture(config).run();
}

}  // namespace helper
