#include "helper/core/capture/device_listeners.h"

#include <optional>
#include <string>

#include "helper/core/system/system_source.h"
#include "helper/core/system/system_tap_rebuild.h"
#include "helper/routing/system_listener.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

hal::AudioObjectPropertyListenerBlock makeOutputListener(std::shared_ptr<SystemSource> system, std::string trigger) {
  return [system = std::move(system), trigger = std::move(trigger)](uint32_t, const hal::AudioObjectPropertyAddress*) {
    if (system->session().isStopClaimed()) return;
    scheduleSystemTapRebuildForCurrentOutput(*system, "output_device_changed", trigger, true, std::nullopt,
                                             std::nullopt);
  };
}

}  // namespace

void installOutputDeviceListeners(const std::shared_ptr<SystemSource>& system) {
  addSystemListener(hal::kAudioHardwarePropertyDefaultOutputDevice, emitWarning,
                    makeOutputListener(system, "default_output"));
  addSystemListener(hal::kAudioHardwarePropertyDefaultSystemOutputDevice, emitWarning,
                    makeOutputListener(system, "default_system_output"));
}

}  // namespace helper
