#include "helper/core/capture/device_listeners.h"

#include <algorithm>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/system/system_tap_rebuild.h"
#include "helper/routing/device_properties.h"
#include "platform/audio/hal/hal.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

void addSystemListener(uint32_t selector, hal::AudioObjectPropertyListenerBlock block) {
  const hal::AudioObjectPropertyAddress address{selector, hal::kAudioObjectPropertyScopeGlobal,
                                                hal::kAudioObjectPropertyElementMain};
  hal::PropertyListenerID id = 0;
  const hal::OSStatus status = hal::addPropertyListenerBlock(hal::kAudioObjectSystemObject, address,
                                                             platform::dispatch::mainQueue(), std::move(block), &id);
  if (status != hal::kAudioHardwareNoError) {
    emitWarning("device_listener_failed",
                "cannot listen to '" + hal::fourCharString(selector) + "': " + std::to_string(status));
  }
}

hal::AudioObjectPropertyListenerBlock makeOutputListener(std::shared_ptr<CaptureState> state, std::string trigger) {
  return [state = std::move(state), trigger = std::move(trigger)](uint32_t, const hal::AudioObjectPropertyAddress*) {
    if (state->isStopClaimed()) return;
    scheduleSystemTapRebuildForCurrentOutput(*state, "output_device_changed", trigger, true, std::nullopt,
                                             std::nullopt);
  };
}

// A default-input change met while the mic writer is paused is looked at
// again at resume, as noticed at `noticedNs`.
void followDefaultInputAtResume(const std::shared_ptr<CaptureState>& state,
                                const platform::audio::AudioFormat& canonical, float gain, uint64_t noticedNs) {
  std::weak_ptr<CaptureState> weak = state;
  state->followMicChangeAtResume(CaptureState::PausedMicChange::defaultInput, [weak, canonical, gain, noticedNs] {
    if (auto s = weak.lock()) handleDefaultInputNotification(s, canonical, gain, noticedNs);
  });
}

// The deferred reconnect to the device the default input changed to; it
// gives way to a later change. `noticedAtNs` is when the change was
// noticed, if not now.
void scheduleDeferredReconnect(const std::shared_ptr<CaptureState>& state,
                               const std::shared_ptr<DeviceFollowingState>& following, const std::string& newUID,
                               const std::string& newRoute, const platform::audio::AudioFormat& canonical, float gain,
                               std::optional<uint64_t> noticedAtNs) {
  const uint64_t now = machAbsoluteTimeNs();
  const uint64_t noticedNs = noticedAtNs.value_or(now);
  // The route settles from when the change was noticed: a change put off
  // by a pause has been settling all along.
  const uint64_t fullSettle =
      newRoute == kRouteBluetoothHfp ? kBluetoothHfpMicReconnectDeferNs : kDefaultMicReconnectDeferNs;
  const uint64_t settling = now - std::min(now, noticedNs);
  const uint64_t settle = fullSettle - std::min(fullSettle, settling);
  const uint64_t cooldown = state->micReconnectCooldownDelayNs(now);
  const uint64_t delay = std::max(settle, cooldown);
  emitRouteTrace("mic_reconnect_deferred", "mic",
                 {{"reason", "input_device_changed"},
                  {"new_uid", newUID},
                  {"new_route", newRoute},
                  {"delay_ms", delay / 1'000'000},
                  {"settle_delay_ms", settle / 1'000'000},
                  {"cooldown_delay_ms", cooldown / 1'000'000}});
  std::weak_ptr<CaptureState> weakState = state;
  std::weak_ptr<DeviceFollowingState> weakFollowing = following;
  state->scheduleMicReconnectAfterRouteSettle(
      delay, [weakState, weakFollowing, newUID, newRoute, canonical, gain, noticedNs] {
        auto s = weakState.lock();
        auto f = weakFollowing.lock();
        if (!s || !f || f->currentUID() != newUID) return;
        const auto& writer = s->micWriter();
        auto engine = s->engine();
        if (!writer || !engine) return;
        if (writer->paused()) {
          followDefaultInputAtResume(s, canonical, gain, noticedNs);
          return;
        }
        emitRouteTrace("mic_reconnect_deferred_fired", "mic",
                       {{"reason", "input_device_changed"}, {"new_uid", newUID}, {"new_route", newRoute}});
        handleMicDeviceChange(s, engine, canonical, gain, true, false, std::nullopt);
      });
}

}  // namespace

void installOutputDeviceListeners(const std::shared_ptr<CaptureState>& state) {
  addSystemListener(hal::kAudioHardwarePropertyDefaultOutputDevice, makeOutputListener(state, "default_output"));
  addSystemListener(hal::kAudioHardwarePropertyDefaultSystemOutputDevice,
                    makeOutputListener(state, "default_system_output"));
}

void installDefaultInputListener(const std::shared_ptr<CaptureState>& state,
                                 const platform::audio::AudioFormat& canonicalMicFormat, float micGain) {
  std::weak_ptr<CaptureState> weak = state;
  addSystemListener(hal::kAudioHardwarePropertyDefaultInputDevice,
                    [weak, canonicalMicFormat, micGain](uint32_t, const hal::AudioObjectPropertyAddress*) {
                      if (auto s = weak.lock()) handleDefaultInputNotification(s, canonicalMicFormat, micGain);
                    });
}

void handleDefaultInputNotification(const std::shared_ptr<CaptureState>& state,
                                    const platform::audio::AudioFormat& canonicalMicFormat, float micGain,
                                    std::optional<uint64_t> noticedAtNs) {
  if (state->isStopClaimed()) return;
  const auto following = state->deviceFollowing();
  const auto& writer = state->micWriter();
  if (!following || !writer) return;
  if (writer->paused()) {
    followDefaultInputAtResume(state, canonicalMicFormat, micGain, noticedAtNs.value_or(machAbsoluteTimeNs()));
    return;
  }

  const std::optional<uint32_t> device = readDefaultInputDevice();
  const std::optional<std::string> newUID = device ? readDeviceUID(*device) : std::nullopt;
  if (!newUID) return;
  const std::string newRoute = readDeviceTransportType(*device);

  const std::string stateUID = state->micDeviceUID();
  // A mic left without any device follows the next one to appear, even the
  // one it recorded before, whose UID the state and the following still hold.
  const bool shouldReconnect =
      state->engine() && !newUID->empty() && (*newUID != stateUID || state->micAwaitingInputDevice());
  const std::string oldUID = following->currentUID();
  if (*newUID == oldUID && !shouldReconnect) return;

  const uint32_t oldID = following->currentDeviceID();
  const bool oldAddressable = oldID != 0 && readDeviceUID(oldID) == std::optional<std::string>(oldUID);
  const bool oldAlive = oldID != 0 && isDeviceAlive(oldID);
  const std::optional<double> newNominal = readDeviceNominalSampleRate(*device);
  emitRouteTrace("default_input_notification", "mic",
                 {{"state_uid", stateUID},
                  {"state_route", state->micRouteKind()},
                  {"following_uid", oldUID},
                  {"new_uid", *newUID},
                  {"new_name", readDeviceName(*device).value_or("")},
                  {"new_route", newRoute},
                  {"new_nominal_rate", newNominal.value_or(0)},
                  {"old_alive", oldAlive},
                  {"old_still_addressable", oldAddressable},
                  {"should_reconnect", shouldReconnect}});
  state->observeRouteCoordinatorInput(*newUID, newRoute, truncToInt64(newNominal.value_or(0)), "input_device_changed",
                                      shouldReconnect);

  if (shouldRecordDefaultInputDisconnection(oldUID, oldID, oldAlive, oldAddressable)) {
    following->recordDisconnection(oldUID);
  }
  state->setPreviousMicDeviceID(oldID);
  following->setCurrentUID(*newUID);
  following->setCurrentDeviceID(*device);
  following->setCurrentRouteKind(newRoute);

  if (shouldReconnect) {
    scheduleDeferredReconnect(state, following, *newUID, newRoute, canonicalMicFormat, micGain, noticedAtNs);
  }
}

}  // namespace helper
