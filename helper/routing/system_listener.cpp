#include "helper/routing/system_listener.h"

#include <string>

#include "platform/dispatch/dispatch.h"

namespace helper {

namespace hal = platform::audio::hal;

void addSystemListener(uint32_t selector, const ListenerWarningSink& warn,
                       hal::AudioObjectPropertyListenerBlock block) {
  const hal::AudioObjectPropertyAddress address{selector, hal::kAudioObjectPropertyScopeGlobal,
                                                hal::kAudioObjectPropertyElementMain};
  hal::PropertyListenerID id = 0;
  const hal::OSStatus status = hal::addPropertyListenerBlock(hal::kAudioObjectSystemObject, address,
                                                             platform::dispatch::mainQueue(), std::move(block), &id);
  if (status != hal::kAudioHardwareNoError) {
    warn("device_listener_failed",
         "cannot listen to '" + hal::fourCharString(selector) + "': " + std::to_string(status));
  }
}

}  // namespace helper
