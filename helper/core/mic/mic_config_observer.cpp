#include "helper/core/mic/mic_config_observer.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/mic/mic_device_change.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

void onMicConfigurationChange(const std::weak_ptr<CaptureState>& weak,
                              const platform::audio::AudioFormat& canonicalFormat, float micGain) {
  auto s = weak.lock();
  if (!s || s->isStopClaimed()) return;
  const auto& w = s->micWriter();
  if (!w) return;
  if (w->paused()) {
    // The engine runs on while paused: resume looks at its input again.
    s->followMicChangeAtResume(CaptureState::PausedMicChange::engineConfiguration, [weak, canonicalFormat, micGain] {
      onMicConfigurationChange(weak, canonicalFormat, micGain);
    });
    return;
  }
  emitRouteTrace("mic_config_notification", "mic",
                 {{"state_uid", s->micDeviceUID()},
                  {"state_route", s->micRouteKind()},
                  {"writer_rate", w->nativeRateNow()},
                  {"writer_channels", w->nativeChannelsNow()}});
  platform::dispatch::mainQueue()->async([s, canonicalFormat, micGain] {
    if (s->isStopClaimed()) return;
    if (auto eng = s->engine()) handleMicDeviceChange(s, eng, canonicalFormat, micGain, false, false, std::nullopt);
  });
}

}  // namespace

void installMicConfigChangeObserver(const std::shared_ptr<CaptureState>& state,
                                    const std::shared_ptr<platform::audio::AudioEngine>& previous,
                                    const std::shared_ptr<platform::audio::AudioEngine>& engine,
                                    const platform::audio::AudioFormat& canonicalFormat, float micGain) {
  if (auto token = state->configChangeObserver(); token && previous) {
    previous->removeConfigurationChangeObserver(*token);
  }
  std::weak_ptr<CaptureState> weak = state;
  const auto token = engine->addConfigurationChangeObserver(
      nullptr, [weak, canonicalFormat, micGain] { onMicConfigurationChange(weak, canonicalFormat, micGain); });
  state->setConfigChangeObserver(token);
}

}  // namespace helper
