// The mic's following of the default input: each change is traced and
// observed, recorded in the device following, and reconnected to after the
// route settles (put off to the resume while the writer is paused).
#include "helper/core/mic/mic_input_following.h"

#include <algorithm>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/conversions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_device_change.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_source.h"
#include "helper/routing/device_properties.h"
#include "helper/routing/system_listener.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

// A default-input change met while the mic writer is paused is looked at
// again at resume, as noticed at `noticedNs`.
void followDefaultInputAtResume(const std::shared_ptr<MicSource>& mic, uint64_t noticedNs) {
  std::weak_ptr<MicSource> weak = mic;
  mic->followChangeAtResume(MicSource::PausedChange::defaultInput, [weak, noticedNs] {
    if (auto m = weak.lock()) handleDefaultInputNotification(m, noticedNs);
  });
}

// The deferred reconnect to the device the default input changed to; it
// gives way to a later change. `noticedAtNs` is when the change was
// noticed, if not now.
void scheduleDeferredReconnect(const std::shared_ptr<MicSource>& mic,
                               const std::shared_ptr<DeviceFollowingState>& following, const std::string& newUID,
                               const std::string& newRoute, std::optional<uint64_t> noticedAtNs,
                               bool oldEngineDelivering) {
  const uint64_t now = machAbsoluteTimeNs();
  const uint64_t noticedNs = noticedAtNs.value_or(now);
  // The route settles from when the change was noticed: a change put off
  // by a pause has been settling all along.
  const uint64_t fullSettle = micReconnectSettleDelayNs(true, newRoute);
  const uint64_t settling = now - std::min(now, noticedNs);
  const uint64_t settle = fullSettle - std::min(fullSettle, settling);
  // The cool-down spaces switches between live devices; an engine that
  // stopped leaves the mic silent until the reconnect, so it only settles.
  const uint64_t cooldown = oldEngineDelivering ? mic->reconnectCooldownDelayNs(now) : 0;
  const uint64_t delay = micDeferredReconnectDelayNs(settle, cooldown, oldEngineDelivering);
  emitRouteTrace("mic_reconnect_deferred", Source::mic,
                 {{"reason", "input_device_changed"},
                  {"new_uid", newUID},
                  {"new_route", newRoute},
                  {"delay_ms", delay / 1'000'000},
                  {"settle_delay_ms", settle / 1'000'000},
                  {"cooldown_delay_ms", cooldown / 1'000'000},
                  {"old_engine_delivering", oldEngineDelivering}});
  std::weak_ptr<MicSource> weakMic = mic;
  std::weak_ptr<DeviceFollowingState> weakFollowing = following;
  mic->scheduleReconnectAfterRouteSettle(delay, settle, [weakMic, weakFollowing, newUID, newRoute, noticedNs] {
    auto m = weakMic.lock();
    auto f = weakFollowing.lock();
    if (!m || !f || f->currentUID() != newUID) return;
    auto engine = m->engine();
    if (!engine) return;
    if (m->paused()) {
      followDefaultInputAtResume(m, noticedNs);
      return;
    }
    emitRouteTrace("mic_reconnect_deferred_fired", Source::mic,
                   {{"reason", "input_device_changed"}, {"new_uid", newUID}, {"new_route", newRoute}});
    handleMicDeviceChange(m, engine, true, false, std::nullopt);
  });
}

}  // namespace

void installDefaultInputListener(const std::shared_ptr<MicSource>& mic) {
  std::weak_ptr<MicSource> weak = mic;
  addSystemListener(hal::kAudioHardwarePropertyDefaultInputDevice, emitWarning,
                    [weak](uint32_t, const hal::AudioObjectPropertyAddress*) {
                      if (auto m = weak.lock()) handleDefaultInputNotification(m);
                    });
}

void handleDefaultInputNotification(const std::shared_ptr<MicSource>& mic, std::optional<uint64_t> noticedAtNs) {
  if (mic->session().isStopClaimed()) return;
  const auto following = mic->deviceFollowing();
  if (!following) return;
  if (mic->paused()) {
    followDefaultInputAtResume(mic, noticedAtNs.value_or(machAbsoluteTimeNs()));
    return;
  }

  const std::optional<uint32_t> device = readDefaultInputDevice();
  const std::optional<std::string> newUID = device ? readDeviceUID(*device) : std::nullopt;
  if (!newUID) return;
  const std::string newRoute = readDeviceTransportType(*device);

  const std::string stateUID = mic->deviceUID();
  // A mic left without any device records none: the next one to appear is a
  // change, even the one it recorded before, whose UID the source and the
  // following still hold.
  const std::string currentUID = mic->awaitingInputDevice() ? std::string() : stateUID;
  // An engine that stopped when the default moved records nothing: the
  // input there now is followed even when it is the one the mic recorded
  // (a new input gone again before the switch to it).
  const bool delivering = mic->engineDelivering();
  const bool shouldReconnect =
      defaultInputChangeRequiresMicReconnect(currentUID, *newUID, false, mic->engine() != nullptr, delivering);
  const std::string oldUID = following->currentUID();
  if (*newUID == oldUID && !shouldReconnect) return;

  const uint32_t oldID = following->currentDeviceID();
  const bool oldAddressable = oldID != 0 && readDeviceUID(oldID) == std::optional<std::string>(oldUID);
  const bool oldAlive = oldID != 0 && isDeviceAlive(oldID);
  const std::optional<double> newNominal = readDeviceNominalSampleRate(*device);
  emitRouteTrace("default_input_notification", Source::mic,
                 {{"state_uid", stateUID},
                  {"state_route", mic->routeKind()},
                  {"following_uid", oldUID},
                  {"new_uid", *newUID},
                  {"new_name", readDeviceName(*device).value_or("")},
                  {"new_route", newRoute},
                  {"new_nominal_rate", newNominal.value_or(0)},
                  {"old_alive", oldAlive},
                  {"old_still_addressable", oldAddressable},
                  {"should_reconnect", shouldReconnect}});
  mic->session().observeRouteCoordinatorInput(*newUID, newRoute, truncToInt64(newNominal.value_or(0)),
                                              "input_device_changed", shouldReconnect);

  if (shouldRecordDefaultInputDisconnection(oldUID, oldID, oldAlive, oldAddressable)) {
    following->recordDisconnection(oldUID);
  }
  mic->setPreviousDeviceID(oldID);
  following->setCurrentUID(*newUID);
  following->setCurrentDeviceID(*device);
  following->setCurrentRouteKind(newRoute);

  if (shouldReconnect) {
    scheduleDeferredReconnect(mic, following, *newUID, newRoute, noticedAtNs, delivering);
  }
}

}  // namespace helper
