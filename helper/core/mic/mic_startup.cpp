#include "helper/core/mic/mic_startup.h"

#include <algorithm>
#include <cmath>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_config_observer.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_tap_format.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/engine/converter.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

using platform::audio::AudioEngine;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;

constexpr uint64_t kStartupReconnectSuppressNs = 500'000'000ULL;

}  // namespace

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
    writer->setNativeRateNow(truncToInt64(mic.hardwareRate));
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
  mic.canonical = canonical;

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
  // A failed open is the writer's warning; start-up decides once every
  // source has tried.
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
  state->setMicTapInstalled(true);

  std::string error;
  if (!engine->start(&error)) exitWithError("engine_init_failed", "AVAudioEngine.start() failed: " + error, 1);
  state->setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kStartupReconnectSuppressNs);

  installMicConfigChangeObserver(state, nullptr, engine, *canonical, mic.gain);
  return mic;
}

bool stopMicPipeline(CaptureState& state, uint64_t timeoutNs) {
  MicPipeline* pipeline = state.micPipeline();
  if (pipeline == nullptr) return true;
  pipeline->tapEnabled().store(0);
  if (auto engine = state.engine()) {
    engine->inputNode().removeTap(0);
    engine->stop();
  }
  pipeline->closeRing();
  if (!state.micConsumerStarted()) return true;
  return pipeline->consumerDone().waitForNs(timeoutNs);
}

}  // namespace helper
