#include "helper/core/mic/mic_startup.h"

#include <algorithm>
#include <cmath>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_config_observer.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_reconnect.h"
#include "helper/core/mic/mic_source.h"
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

MicStartup startMicPipeline(const std::shared_ptr<MicSource>& mic) {
  const CaptureConfig& config = mic->config();
  MicStartup startup;
  startup.active = true;
  auto engine = std::make_shared<AudioEngine>();
  mic->setEngine(engine);

  auto& input = engine->inputNode();
  const AudioFormat hardware = input.inputFormat(0);
  // No channels or a rate that is not a positive number means no usable device.
  if (!isUsableMicInputFormat(hardware)) {
    exitWithError("no_input_device", "No mic input device available (rate=0)", 1);
  }
  startup.hardwareRate = hardware.sampleRate();
  startup.hardwareChannels = hardware.channelCount();
  startup.hardwareInterleaved = hardware.isInterleaved();
  startup.bufferFrames = input.audioUnit().maximumFramesToRender();

  const auto& writer = mic->writer();
  if (auto eff = effectiveMicCaptureFormat(startup.hardwareRate, startup.hardwareChannels)) {
    writer->setNativeRateNow(eff->sampleRate);
    writer->setNativeChannelsNow(eff->channels);
  } else {
    writer->setNativeRateNow(truncToInt64(startup.hardwareRate));
    writer->setNativeChannelsNow(kEffectiveMicCaptureChannels);
  }

  std::optional<uint32_t> defaultInput = readDefaultInputDevice();
  if (defaultInput) adoptMicDevice(*mic, *defaultInput, "unknown", "Unknown Microphone");
  startup.gain = effectiveCaptureMicGain(config.micGain, mic->routeKind());
  mic->setAecMode("none");
  mic->setAgcDisabled(true);

  std::optional<AudioFormat> canonical;
  if (config.canonicalMicChannels >= 1 && config.canonicalMicChannels <= UINT32_MAX) {
    canonical = AudioFormat::make(CommonFormat::pcmFloat32, config.canonicalRate,
                                  static_cast<uint32_t>(config.canonicalMicChannels), true);
  }
  if (!canonical) exitWithError("engine_init_failed", "Could not build the canonical mic format", 1);
  startup.canonical = canonical;
  mic->setCanonicalFormat(*canonical);

  const AudioFormat tapFormat = input.outputFormat(0);
  mic->setVpFormat(vpFormatDict(tapFormat));
  // Each generation's consumer builds its own converter; one that cannot be
  // built from the start-up format is a start-up failure.
  if (!platform::audio::AudioConverter::make(tapFormat, *canonical)) {
    exitWithError("engine_init_failed", "Could not build the mic converter", 1);
  }

  // The ring and the hand-overs were made with the source; the consumer
  // starts before the tap exists, so it is there for the first buffer.
  MicPipeline& pipeline = mic->pipeline();
  mic->generationFormats().record(1, writer->nativeRateNow(), writer->nativeChannelsNow(), mic->deviceUID(),
                                  mic->routeKind(), "initial_capture");
  // A failed open is the writer's warning; start-up decides once every
  // source has tried.
  writer->open();

  mic->setConsumerStarted(true);
  pipeline.startConsumer(*mic, canonical);

  const double tapRate = tapFormat.sampleRate();
  MicPipeline::TapSettings tap;
  tap.tapBufferFrames = micTapRequestFrames(tapRate);
  tap.renderQuantum = std::max<int64_t>(1, input.audioUnit().maximumFramesToRender());
  tap.scratchFrames = micTapScratchMaxFrames(tapRate, tap.renderQuantum);
  tap.gain = startup.gain;
  if (tap.tapBufferFrames > UINT32_MAX) exitWithError("engine_init_failed", "Mic tap buffer size out of range", 1);

  pipeline.openTap();
  const bool installed = installMicTap(input, pipeline, tap, tapFormat);
  if (!installed) exitWithError("engine_init_failed", "Could not install the mic input tap", 1);
  mic->setTapInstalled(true);

  std::string error;
  if (!engine->start(&error)) exitWithError("engine_init_failed", "AVAudioEngine.start() failed: " + error, 1);
  mic->setReconnectSuppressUntilNs(machAbsoluteTimeNs() + kStartupReconnectSuppressNs);

  installMicConfigChangeObserver(mic, nullptr, engine);
  return startup;
}

bool stopMicPipeline(MicSource& mic, uint64_t timeoutNs) {
  MicPipeline& pipeline = mic.pipeline();
  pipeline.closeTap();
  if (auto engine = mic.engine()) removeTapAndStop(*engine);
  pipeline.closeRing();
  if (!mic.consumerStarted()) return true;
  return pipeline.consumerDone().waitForNs(timeoutNs);
}

}  // namespace helper
