#include "helper/core/mic/mic_config_observer.h"

#include "helper/core/bus/event_bus.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/mic/mic_source.h"
#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

void onMicConfigurationChange(const std::weak_ptr<MicSource>& weak) {
  auto mic = weak.lock();
  if (!mic || mic->session().isStopClaimed()) return;
  const auto& w = mic->writer();
  if (w->paused()) {
    // The engine runs on while paused: resume looks at its input again.
    mic->followChangeAtResume(MicSource::PausedChange::engineConfiguration, [weak] { onMicConfigurationChange(weak); });
    return;
  }
  emitRouteTrace("mic_config_notification", Source::mic,
                 {{"state_uid", mic->deviceUID()},
                  {"state_route", mic->routeKind()},
                  {"writer_rate", w->nativeRateNow()},
                  {"writer_channels", w->nativeChannelsNow()}});
  platform::dispatch::mainQueue()->async([mic] {
    if (mic->session().isStopClaimed()) return;
    if (auto eng = mic->engine()) handleMicDeviceChange(mic, eng, false, false, std::nullopt);
  });
}

}  // namespace

void installMicConfigChangeObserver(const std::shared_ptr<MicSource>& mic,
                                    const std::shared_ptr<platform::audio::AudioEngine>& previous,
                                    const std::shared_ptr<platform::audio::AudioEngine>& engine) {
  if (auto token = mic->configChangeObserver(); token && previous) {
    previous->removeConfigurationChangeObserver(*token);
  }
  std::weak_ptr<MicSource> weak = mic;
  const auto token = engine->addConfigurationChangeObserver(nullptr, [weak] { onMicConfigurationChange(weak); });
  mic->setConfigChangeObserver(token);
}

}  // namespace helper
