// Capture mode: permissions, the microphone pipeline, "helper_ready", the
// watchers, and the run loop until a stop.
#include "helper/core/capture/capture_mode.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/capture/capture_watchers.h"
#include "helper/core/capture/permissions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/core/segments/source_health.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/converter.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

using platform::audio::AudioEngine;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

constexpr double kRunLoopSliceSeconds = 0.25;
constexpr uint64_t kStartupReconnectSuppressNs = 500'000'000ULL;
constexpr int64_t kStandardRates[] = {8000,  11025, 16000, 22050, 24000,  32000,
                                      44100, 48000, 88200, 96000, 176400, 192000};

bool isStandardSampleRate(int64_t rate) {
  for (int64_t r : kStandardRates) {
    if (r == rate) return true;
  }
  return false;
}

int64_t truncRate(double rate) {
  return std::isfinite(rate) && rate < 9.2e18 && rate > -9.2e18 ? static_cast<int64_t>(rate) : 0;
}

// What the mic pipeline looked like at start-up, for "helper_ready".
struct MicStartup {
  bool active = false;
  bool denied = false;
  double hardwareRate = 0;
  int64_t hardwareChannels = 0;
  bool hardwareInterleaved = false;
  int64_t bufferFrames = 0;
  float gain = 0;
};

extern "C" void onTerminationSignal(int) { gIsRunning.store(false); }

void installTerminationHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

// Builds and starts the microphone side. Fatal problems end the process.
MicStartup startMicPipeline(const std::shared_ptr<CaptureState>& state) {
  const CaptureConfig& config = state->config();
  MicStartup mic;
  mic.active = true;
  auto engine = std::make_shared<AudioEngine>();
  state->setEngine(engine);

  auto& input = engine->inputNode();
  const AudioFormat hardware = input.inputFormat(0);
  // No channels or a rate that is not a positive number means no usable device.
  if (!isUsableMicInputFormat(hardware)) {
    exitWithError("no_input_device", "No mic input device available (rate=0)", 1);
  }
  mic.hardwareRate = hardware.sampleRate();
  mic.hardwareChannels = hardware.channelCount();
  mic.hardwareInterleaved = hardware.isInterleaved();
  mic.bufferFrames = input.audioUnit().maximumFramesToRender();

  // A mic writer exists whenever the mic is included.
  const auto& writer = state->micWriter();
  if (auto eff = effectiveMicCaptureFormat(mic.hardwareRate, mic.hardwareChannels)) {
    writer->setNativeRateNow(eff->sampleRate);
    writer->setNativeChannelsNow(eff->channels);
  } else {
    writer->setNativeRateNow(truncRate(mic.hardwareRate));
    writer->setNativeChannelsNow(kEffectiveMicCaptureChannels);
  }

  std::optional<uint32_t> defaultInput = readDefaultInputDevice();
  if (defaultInput) {
    state->setMicDeviceUID(readDeviceUID(*defaultInput).value_or("unknown"));
    state->setMicDeviceName(readDeviceName(*defaultInput).value_or("Unknown Microphone"));
    state->setMicRouteKind(readDeviceTransportType(*defaultInput));
  }
  mic.gain = effectiveCaptureMicGain(config.micGain, state->micRouteKind());
  state->setAecMode("none");
  state->setAgcDisabled(true);

  std::optional<AudioFormat> canonical;
  if (config.canonicalMicChannels >= 1 && config.canonicalMicChannels <= UINT32_MAX) {
    canonical = AudioFormat::make(CommonFormat::pcmFloat32, config.canonicalRate,
                                  static_cast<uint32_t>(config.canonicalMicChannels), true);
  }
  if (!canonical) exitWithError("engine_init_failed", "Could not build the canonical mic format", 1);

  const AudioFormat tapFormat = input.outputFormat(0);
  state->setMicVpFormat(vpFormatDict(tapFormat));
  std::shared_ptr<platform::audio::AudioConverter> converter =
      platform::audio::AudioConverter::make(tapFormat, *canonical);
  if (!converter) exitWithError("engine_init_failed", "Could not build the mic converter", 1);
  converter->setSampleRateConverterAlgorithm(platform::audio::SampleRateConverterAlgorithm::normal);
  converter->setSampleRateConverterQuality(INT64_MAX);
  state->setMicConverter(converter);

  // The ring and the hand-overs were made with the state; the consumer
  // starts before the tap exists, so it is there for the first buffer.
  MicPipeline& pipeline = *state->micPipeline();
  state->recordMicGenerationFormat(1, writer->nativeRateNow(), writer->nativeChannelsNow(), state->micDeviceUID(),
                                   state->micRouteKind(), "initial_capture");
  writer->open();

  state->setMicConsumerStarted(true);
  pipeline.startConsumer(*state, canonical);

  const double tapRate = tapFormat.sampleRate();
  MicPipeline::TapSettings tap;
  tap.tapBufferFrames = micTapRequestFrames(tapRate);
  tap.renderQuantum = std::max<int64_t>(1, input.audioUnit().maximumFramesToRender());
  tap.scratchFrames = micTapScratchMaxFrames(tapRate, tap.renderQuantum);
  tap.gain = mic.gain;
  if (tap.tapBufferFrames > UINT32_MAX) exitWithError("engine_init_failed", "Mic tap buffer size out of range", 1);

  pipeline.tapEnabled().store(1);
  const bool installed =
      input.installTap(0, static_cast<uint32_t>(tap.tapBufferFrames), tapFormat, pipeline.makeTapBlock(tap));
  if (!installed) exitWithError("engine_init_failed", "Could not install the mic input tap", 1);

  std::string error;
  if (!engine->start(&error)) exitWithError("engine_init_failed", "AVAudioEngine.start() failed: " + error, 1);
  state->setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kStartupReconnectSuppressNs);

  std::weak_ptr<CaptureState> weak = state;
  const AudioFormat canonicalFormat = *canonical;
  const float gain = mic.gain;
  engine->addConfigurationChangeObserver(nullptr, [weak, canonicalFormat, gain] {
    auto s = weak.lock();
    if (!s || s->isStopClaimed()) return;
    const auto& w = s->micWriter();
    if (!w || w->paused()) return;
    emitRouteTrace("mic_config_notification", "mic",
                   {{"state_uid", s->micDeviceUID()},
                    {"state_route", s->micRouteKind()},
                    {"writer_rate", w->nativeRateNow()},
                    {"writer_channels", w->nativeChannelsNow()}});
    platform::dispatch::mainQueue()->async([s, canonicalFormat, gain] {
      if (s->isStopClaimed()) return;
      if (auto eng = s->engine()) {
        handleMicDeviceChange(s, eng, canonicalFormat, gain, false, false, std::nullopt);
      }
    });
  });
  return mic;
}

Event helperReadyEvent(const CaptureState& state, const MicStartup& mic) {
  const CaptureConfig& c = state.config();
  Event ready{{"type", "helper_ready"},
              {"protocol_version", std::to_string(kProtocolVersion)},
              {"helper_build_id", kHelperBuildID}};
  if (c.includeMic) {
    ready["mic"] =
        Event{{"native",
               {{"rate", mic.active ? truncRate(mic.hardwareRate) : 0},
                {"channels", mic.active ? mic.hardwareChannels : 0},
                {"format", "Float32"},
                {"interleaved", mic.active && mic.hardwareInterleaved},
                {"buffer_frames", mic.active ? mic.bufferFrames : 0}}},
              {"canonical",
               {{"rate", truncRate(c.canonicalRate)}, {"channels", c.canonicalMicChannels}, {"format", "Float32"}}},
              {"device_name", state.micDeviceName()},
              {"device_uid", state.micDeviceUID()},
              {"route_kind", state.micRouteKind()},
              {"capture_gain", mic.active ? mic.gain : 0.0f},
              {"active", mic.active},
              {"permission_denied", mic.denied}};
  }
  if (mic.active) {
    ready["aec"] = Event{
        {"enabled", false}, {"mode", state.aecMode()}, {"agc_disabled", state.agcDisabled()}, {"ns_enabled", false}};
    auto vp = state.micVpFormat();
    if (vp.is_object() && !vp.empty()) ready["vp_format"] = vp;
  }
  return ready;
}

void emitMicStartupWarnings(const CaptureState& state, const MicStartup& mic) {
  const int64_t rate = truncRate(mic.hardwareRate);
  if (!isStandardSampleRate(rate))
    emitWarning("unusual_native_rate", "mic native rate " + std::to_string(rate) + " Hz");
  if (mic.hardwareChannels > 2) {
    emitWarning("unusual_channel_count",
                micHardwareChannelDiagnosticContext(mic.hardwareChannels, state.config().canonicalMicChannels));
  }
  const std::string route = state.micRouteKind();
  if (route == kRouteAggregate) emitWarning("aggregate_device_detected", "mic input is aggregate");
  if (route == kRouteVirtual) emitWarning("virtual_device_detected", "mic input is virtual");
}

}  // namespace

void runCapture(const CaptureConfig& config) {
  if (config.includeSystem) {
    exitWithError("system_capture_unavailable", "system audio capture is not available in this build", 1);
  }

  const bool micDenied = config.includeMic && microphonePermissionStatus(true) == "denied";
  if (micDenied) exitWithError("permission_denied", "Microphone permission denied", 1);

  std::error_code ignored;
  std::filesystem::create_directories(config.sessionDir, ignored);

  auto state = std::make_shared<CaptureState>(config);
  MicStartup mic;
  mic.denied = micDenied;
  if (config.includeMic && !micDenied) mic = startMicPipeline(state);

  emitEvent(helperReadyEvent(*state, mic));
  if (mic.active) emitMicStartupWarnings(*state, mic);

  startPermissionWatch(state, PermissionWatchConfig{config.includeMic, config.includeSystem, micDenied, false});
  startThermalObserver(state);
  startStdinReader(state);
  installTerminationHandlers();
  gStopStep.store(0);
  installCrashHandler();

  while (gIsRunning.load()) platform::dispatch::runMainQueueFor(kRunLoopSliceSeconds);
  state->performStop(false, std::string("sigterm"), std::nullopt);
}

}  // namespace helper
