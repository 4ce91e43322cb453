// Followback suppression: only a device that is really gone is remembered
// as disconnected, so a manual switch away from a live headset (or an HFP
// profile change) still allows a quick switch back.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "helper/core/mic/mic_policy.h"
#include "helper/routing/device_following.h"
#include "helper/selftest/control_plane_checks.h"

namespace helper {

namespace {

constexpr const char* kHeadset = "pixelbuds:input";
constexpr uint64_t kSecondNs = 1'000'000'000ULL;

// A default-input switch away from the device the state follows, recorded
// as a disconnection exactly when the production rule says so.
void switchDefaultInput(DeviceFollowingState& state, uint32_t newDeviceID, const std::string& newUID, bool oldAlive,
                        bool oldAddressable) {
  const std::string oldUID = state.currentUID();
  if (shouldRecordDefaultInputDisconnection(oldUID, state.currentDeviceID(), oldAlive, oldAddressable)) {
    state.recordDisconnection(oldUID);
  }
  state.setCurrentUID(newUID);
  state.setCurrentDeviceID(newDeviceID);
}

// Headset 42 -> built-in 43, five seconds later: is the way back suppressed?
bool followbackSuppressedAfterSwitch(bool headsetAlive, bool headsetAddressable) {
  auto now = std::make_shared<std::atomic<uint64_t>>(1'000'000'000'000ULL);
  const auto state =
      std::make_shared<DeviceFollowingState>([now] { return now->load(); }, 1'500'000'000ULL, 60'000'000'000ULL, 16);
  state->setCurrentUID(kHeadset);
  state->setCurrentDeviceID(42);
  switchDefaultInput(*state, 43, "BuiltInMicrophoneDevice", headsetAlive, headsetAddressable);
  *now += 5 * kSecondNs;
  return state->shouldSuppressFollowback(kHeadset);
}

}  // namespace

void runFollowbackChecks(TestReport& report) {
  report.check("manual_default_input_switch_does_not_mark_alive_device_disconnected",
               !shouldRecordDefaultInputDisconnection(kHeadset, 42, true, true),
               "manual BT -> built-in switch while BT remains alive must allow a quick switch back");
  report.check("manual_hfp_profile_switch_not_alive_but_addressable_not_recorded",
               !shouldRecordDefaultInputDisconnection(kHeadset, 42, false, true),
               "HFP profile switches can mark the input not-alive while the headset is still addressable");
  report.check("actual_default_input_disconnect_records_recent_device",
               shouldRecordDefaultInputDisconnection(kHeadset, 42, false, false),
               "actual headset disconnect should still suppress automatic followback");
  report.check("empty_default_input_uid_not_recorded_as_disconnected",
               !shouldRecordDefaultInputDisconnection("", 42, false, false) &&
                   !shouldRecordDefaultInputDisconnection("", 42, true, true),
               "empty UIDs should not poison the followback suppression set");
  report.check("manual_alive_bt_builtin_bt_sequence_not_followback_suppressed",
               !followbackSuppressedAfterSwitch(true, true),
               "manual switch back to still-alive BT mic should not be treated as automatic followback");
  report.check("manual_hfp_profile_bt_builtin_bt_sequence_not_followback_suppressed",
               !followbackSuppressedAfterSwitch(false, true),
               "manual HFP profile churn should not poison the quick BT return path");
  report.check("actual_bt_disconnect_sequence_followback_suppressed", followbackSuppressedAfterSwitch(false, false),
               "actual disconnect/reconnect should still suppress automatic BT followback");
}

}  // namespace helper
