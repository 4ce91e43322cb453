// The microphone's route policies: the effective mono capture format, what
// an observed configuration change calls for, the gain after a reconnect,
// and when a default-input change reconnects (and after how long).
#include <cstdint>
#include <string>
#include <vector>

#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/selftest/control_plane_checks.h"

namespace helper {

namespace {

struct MicConfigRow {
  const char* name;
  const char* currentUID;
  const char* observedUID;
  const char* currentRoute;
  const char* observedRoute;
  int64_t currentRate;
  int64_t observedRate;
  int64_t currentChannels;
  int64_t observedChannels;
  bool engineRunning;
  MicConfigChangeAction expected;
  const char* reason;
};

MicConfigChangeAction classify(const MicConfigRow& r) {
  return classifyMicConfigChangeAction(r.currentUID, r.observedUID, r.currentRoute, r.observedRoute, r.currentRate,
                                       r.observedRate, r.currentChannels, r.observedChannels, r.engineRunning);
}

constexpr const char* kPixel = "pixelbuds:input";
constexpr const char* kBuiltIn = "BuiltInMicrophoneDevice";
constexpr const char* kHeadsetInput = "5E-17-C2-9A-04-DB:input";
constexpr const char* kHfp = "bluetooth_hfp";
constexpr const char* kBuiltInRoute = "builtin_mic";
constexpr auto kIgnore = MicConfigChangeAction::ignore;
constexpr auto kRestart = MicConfigChangeAction::restartExistingEngine;
constexpr auto kReconnect = MicConfigChangeAction::reconnect;

const std::vector<MicConfigRow>& micConfigRows() {
  static const std::vector<MicConfigRow> rows = {
      {"mic_config_same_running_ignored", kPixel, kPixel, kHfp, kHfp, 16000, 16000, 1, 1, true, kIgnore,
       "output-only route changes must not seal/reconnect an unchanged mic"},
      {"mic_config_same_stopped_bt_hfp_reconnects", kPixel, kPixel, kHfp, kHfp, 16000, 16000, 1, 1, false, kReconnect,
       "stopped Bluetooth HFP route should full-reconnect instead of flapping same-engine restart"},
      {"mic_config_rate_change_reconnects", kPixel, kPixel, kHfp, kHfp, 16000, 48000, 1, 1, true, kReconnect,
       "native format changes need a real mic reconnect"},
      {"mic_config_uid_change_reconnects", kPixel, kBuiltIn, kHfp, kBuiltInRoute, 16000, 48000, 1, 1, true, kReconnect,
       "actual input device changes need a real mic reconnect"},
      {"mic_config_builtin_hardware_3ch_capture_1ch_running_ignored", kBuiltIn, kBuiltIn, kBuiltInRoute, kBuiltInRoute,
       44100, 44100, 1, 3, true, kIgnore,
       "same built-in mic route can expose 3 hardware channels while effective capture remains mono"},
      {"mic_config_builtin_hardware_3ch_capture_1ch_stopped_restarts", kBuiltIn, kBuiltIn, kBuiltInRoute, kBuiltInRoute,
       44100, 44100, 1, 3, false, kRestart,
       "same built-in target with a stopped engine should restart before destructive reconnect"},
      {"mic_config_stopped_uid_change_still_reconnects", kBuiltIn, "ExternalUSBMic", kBuiltInRoute, "usb", 44100, 48000,
       1, 1, false, kReconnect,
       "a real device swap while stopped is not a benign settle \u2014 must reconnect, never be absorbed"},
      {"mic_config_stopped_rate_change_still_reconnects", kBuiltIn, kBuiltIn, kBuiltInRoute, kBuiltInRoute, 44100,
       96000, 1, 1, false, kReconnect,
       "a real native-rate change while stopped is not a benign settle \u2014 must reconnect"},
      {"mic_config_stopped_bt_hfp_reconnects", kHeadsetInput, kHeadsetInput, kHfp, kHfp, 16000, 16000, 1, 1, false,
       kReconnect,
       "stopped Bluetooth HFP engines should use full reconnect; same-engine restart flaps the mic on route storms"},
  };
  return rows;
}

const MicConfigRow kUsbStereoRow = {"mic_config_usb_stereo_hardware_mono_capture_running_ignored",
                                    "USBMic",
                                    "USBMic",
                                    "usb",
                                    "usb",
                                    48000,
                                    48000,
                                    1,
                                    2,
                                    true,
                                    kIgnore,
                                    "same USB mic target should compare effective mono capture, not hardware channel "
                                    "count"};

// A route storm on a hands-free headset: the stopped mic full-reconnects,
// sparse system frames fail rather than rebuild the output again, and a
// system graph without any frame gets its one bounded retry.
bool routeStormHolds() {
  using Kind = SourceRecoveryTimeoutAction::Kind;
  const char* reason = "no_sustained_frames_after_graph_start";
  const bool micReconnects = classify(micConfigRows().back()) == kReconnect;
  const auto sparse =
      classifySourceRecoveryTimeoutAction(Source::system, reason, true, 0, kSystemRecoveryTimeoutMaxRetries);
  const auto silent =
      classifySourceRecoveryTimeoutAction(Source::system, reason, false, 0, kSystemRecoveryTimeoutMaxRetries);
  return micReconnects && sparse.kind == Kind::fail && silent.kind == Kind::retrySystemTapRebuild &&
         silent.reason == "system_recovery_timeout_retry";
}

bool effectiveFormatIsMonoForEveryHardwareCount() {
  for (int64_t hardware : {1, 2, 3, 8}) {
    const auto format = effectiveMicCaptureFormat(44100, hardware);
    if (!format || format->channels != 1) return false;
  }
  return kEffectiveMicCaptureChannels == 1;
}

// Every change in turn, from the headset to the built-in mic and back.
bool repeatedSwitchesReconnectEachTime() {
  std::string current = kPixel;
  bool all = true;
  for (const char* next : {kBuiltIn, kPixel, kBuiltIn, kPixel}) {
    all = defaultInputChangeRequiresMicReconnect(current, next, false, true) && all;
    current = next;
  }
  return all;
}

}  // namespace

void runEffectiveMicFormatChecks(TestReport& report) {
  report.check("effective_mic_capture_format_forces_mono", effectiveFormatIsMonoForEveryHardwareCount(),
               "mic ring stores channel-0 mono regardless of HAL hardware channel count");
  report.check(
      "mic_hardware_channel_diagnostic_names_effective_capture",
      micHardwareChannelDiagnosticContext(3, 1) == "mic hardware_channels=3 effective_channels=1 writer_channels=1",
      "diagnostic must not imply the writer stores HAL's 3ch hardware format");
  const auto format = makeEffectiveMicPCMFormat(44100, 3);
  if (!format) {
    report.check("effective_mic_pcm_format_uses_mono_for_3ch_hardware", false,
                 "failed to create effective mono PCM format");
    return;
  }
  report.check("effective_mic_pcm_format_uses_mono_for_3ch_hardware",
               format->sampleRate() == 44100 && format->channelCount() == 1 && format->isInterleaved(),
               "mic reconnect converter should match the mono ring payload, not HAL's 3ch hardware format");
}

void runMicConfigChangeChecks(TestReport& report) {
  for (const auto& row : micConfigRows()) report.check(row.name, classify(row) == row.expected, row.reason);
  report.check("route_storm_hfp_switch_does_not_flap_mic_or_rebuild_system", routeStormHolds(),
               "stopped HFP mic must full-reconnect, sparse system frames must not trigger another output rebuild, "
               "and true no-frame system recovery remains bounded-retry");
  report.check(kUsbStereoRow.name, classify(kUsbStereoRow) == kUsbStereoRow.expected, kUsbStereoRow.reason);
}

void runReconnectGainChecks(TestReport& report) {
  report.check("mic_reconnect_bt_to_builtin_recomputes_builtin_gain",
               selectMicReconnectGain(std::nullopt, kBuiltInRoute) == 4.0f,
               "BT-started recordings must not keep Bluetooth unity gain after switching to built-in mic");
  report.check("mic_reconnect_builtin_to_bt_recomputes_hfp_gain", selectMicReconnectGain(std::nullopt, kHfp) == 1.0f,
               "switching back to Bluetooth HFP should return to unity gain to avoid clipping/scratchiness");
  report.check("mic_reconnect_explicit_gain_preserved",
               selectMicReconnectGain(2.5f, kBuiltInRoute) == 2.5f && selectMicReconnectGain(2.5f, kHfp) == 2.5f,
               "explicit --mic-gain should remain authoritative across route switches");
}

void runDefaultInputChecks(TestReport& report) {
  report.check("default_input_uid_change_reconnects_active_mic",
               defaultInputChangeRequiresMicReconnect(kPixel, kBuiltIn, false, true),
               "HAL default-input listener must actively reconnect changed mic input");
  report.check("default_input_same_uid_does_not_reconnect",
               !defaultInputChangeRequiresMicReconnect(kPixel, kPixel, false, true),
               "same input UID should leave the existing mic graph alone");
  report.check("default_input_paused_mic_does_not_reconnect",
               !defaultInputChangeRequiresMicReconnect(kPixel, kBuiltIn, true, true),
               "paused mic should not churn the capture graph on route changes");
  report.check("default_input_missing_engine_does_not_reconnect",
               !defaultInputChangeRequiresMicReconnect(kPixel, kBuiltIn, false, false),
               "listener cannot reconnect without a live AVAudioEngine");
  report.check("default_input_empty_new_uid_does_not_reconnect",
               !defaultInputChangeRequiresMicReconnect(kPixel, "", false, true),
               "empty HAL UID should wait for a real device observation");
  report.check("default_input_repeated_bt_builtin_switches_reconnect_each_time", repeatedSwitchesReconnectEachTime(),
               "BT mic <-> built-in mic changes should reconnect in both directions across repeated switches");
  // The deferral is checked on the production rule, so a change of it shows.
  report.check("default_input_bt_hfp_reconnect_is_deferred",
               shouldDeferMicReconnectForRoute(true, kHfp) &&
                   micReconnectSettleDelayNs(true, kHfp) == kBluetoothHfpMicReconnectDeferNs,
               "Bluetooth HFP route changes should settle briefly before tearing down the old mic engine");
  report.check("default_input_builtin_reconnect_not_deferred",
               !shouldDeferMicReconnectForRoute(true, kBuiltInRoute) &&
                   micReconnectSettleDelayNs(true, kBuiltInRoute) == kDefaultMicReconnectDeferNs,
               "wired/built-in route changes should keep the existing immediate reconnect path");
  report.check("default_input_ignored_change_not_deferred",
               !shouldDeferMicReconnectForRoute(false, kHfp) && micReconnectSettleDelayNs(false, kHfp) == 0 &&
                   micReconnectSettleDelayNs(false, kBuiltInRoute) == 0,
               "non-reconnect notifications must not schedule delayed work");
}

}  // namespace helper
