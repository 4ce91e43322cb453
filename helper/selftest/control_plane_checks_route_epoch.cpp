// The route epoch model: an epoch settles only on sustained frames from the
// target devices at a plausible cadence, in the current epoch, before any
// stop; configuration changes compare the effective capture format; a mic
// reconnect always ends in a terminal outcome.
#include <cstdint>
#include <string>

#include "helper/selftest/control_plane_checks.h"
#include "helper/selftest/route_sim.h"

namespace helper {

namespace {

constexpr uint64_t kWindowMs = 250;
constexpr const char* kHeadset = "PixelBuds";
constexpr const char* kBuiltInMic = "BuiltInMicrophoneDevice";

// One headset on a hands-free route, both ways.
TestRouteSnapshot bluetoothTarget() { return {kHeadset, "bluetooth_hfp", 16000, kHeadset, "bluetooth_hfp", 16000}; }
TestRouteSnapshot builtInTarget() {
  return {kBuiltInMic, "builtin_mic", 44100, "BuiltInSpeakerDevice", "builtin_mic", 44100};
}

void proveMic(TestRouteCoordinatorSim& sim, uint64_t epoch, const std::string& uid, double rate, uint64_t frames) {
  sim.micGraphStartedEvent(epoch, uid, rate);
  sim.micFrames(epoch, uid, rate, frames, kWindowMs);
}

void proveSystem(TestRouteCoordinatorSim& sim, uint64_t epoch, const std::string& uid, double rate, uint64_t frames) {
  sim.systemGraphStartedEvent(epoch, uid, rate);
  sim.systemFrames(epoch, uid, frames, kWindowMs);
}

void reportMicProof(TestReport& report) {
  TestRouteCoordinatorSim started;
  started.micGraphStartedEvent(started.startEpoch(bluetoothTarget()), kHeadset, 16000);
  report.check("route_epoch_mic_engine_start_without_frames_not_recovered",
               started.micGraphStarted && !started.micVerified, "engine.start success is not capture proof");

  TestRouteCoordinatorSim wrongRoute;
  proveMic(wrongRoute, wrongRoute.startEpoch(bluetoothTarget()), kBuiltInMic, 44100, 11025);
  report.check("route_epoch_mic_recovery_requires_observed_target_uid", !wrongRoute.micVerified,
               "fresh engine binding to the wrong route must not publish recovery");

  TestRouteCoordinatorSim stale;
  const uint64_t older = stale.startEpoch(bluetoothTarget());
  stale.startEpoch(bluetoothTarget());
  proveMic(stale, older, kHeadset, 16000, 4000);
  report.check("route_epoch_stale_callbacks_do_not_recover_mic", !stale.micVerified,
               "older epoch callbacks must be ignored after a newer route epoch starts");

  TestRouteCoordinatorSim current;
  current.startEpoch(bluetoothTarget());
  proveMic(current, current.startEpoch(bluetoothTarget()), kHeadset, 16000, 4000);
  report.check("route_epoch_current_callbacks_can_verify_mic", current.micVerified,
               "current epoch frames should verify once target and cadence match");
}

void reportBluetoothSettling(TestReport& report) {
  TestRouteCoordinatorSim wideBand;
  proveSystem(wideBand, wideBand.startEpoch(bluetoothTarget()), kHeadset, 48000, 12000);
  report.check("route_epoch_bt_hfp_system_48k_waits_for_paired_mic_evidence",
               !wideBand.systemVerified && !(wideBand.phase == TestRoutePhase::settled()),
               "BT HFP system output must not settle at 48k while paired mic is unsettled");

  TestRouteCoordinatorSim paired;
  const uint64_t epoch = paired.startEpoch(bluetoothTarget());
  proveMic(paired, epoch, kHeadset, 16000, 4000);
  proveSystem(paired, epoch, kHeadset, 16000, 4000);
  report.check("route_epoch_bt_hfp_settles_after_mic_and_system_16k_evidence",
               paired.micVerified && paired.systemVerified && paired.phase == TestRoutePhase::settled(),
               "paired BT HFP should settle only after both sources verify at stable cadence");

  TestRouteCoordinatorSim burst;
  proveSystem(burst, burst.startEpoch(bluetoothTarget()), kHeadset, 16000, 320);
  report.check("route_epoch_bt_system_initial_burst_without_cadence_not_recovered", !burst.systemVerified,
               "a short BT Process Tap burst must not prove sustained system capture");
}

void reportCadenceAndStop(TestReport& report) {
  TestRouteCoordinatorSim implausible;
  proveMic(implausible, implausible.startEpoch(builtInTarget()), kBuiltInMic, 44100, 12000);
  report.check("route_epoch_rejects_implausible_frame_cadence", !implausible.micVerified,
               "frame proof must include cadence, not just nonzero frames");

  TestRouteCoordinatorSim stopped;
  const uint64_t epoch = stopped.startEpoch(builtInTarget());
  stopped.stop("stop");
  proveMic(stopped, epoch, kBuiltInMic, 44100, 11025);
  report.check("route_epoch_stop_cancels_pending_recovery",
               stopped.phase == TestRoutePhase::cancelled("stop") && !stopped.micVerified,
               "stop must win over in-flight route rebuild and ignore late frames");
}

void reportMicConfiguration(TestReport& report) {
  TestRouteCoordinatorSim builtIn;
  const uint64_t epoch = builtIn.startEpoch(builtInTarget());
  report.check("route_epoch_builtin_3ch_hardware_1ch_capture_is_absorbed",
               builtIn.micConfigNotification(epoch, kBuiltInMic, "builtin_mic", 44100, 3, 1, 1, true) ==
                   TestMicConfigDecision::ignore,
               "coordinator must compare effective capture format, not native hardware channel count alone");

  TestRouteCoordinatorSim usb;
  const uint64_t usbEpoch = usb.startEpoch({"USBMic", "usb", 48000, "BuiltInSpeakerDevice", "builtin_mic", 48000});
  report.check(
      "route_epoch_usb_2ch_hardware_1ch_capture_is_absorbed",
      usb.micConfigNotification(usbEpoch, "USBMic", "usb", 48000, 2, 1, 1, true) == TestMicConfigDecision::ignore,
      "non-built-in devices can also expose hardware channels above the mono capture target");

  report.check("route_epoch_same_target_config_after_settle_restarts_existing_engine",
               builtIn.micConfigNotification(epoch, kBuiltInMic, "builtin_mic", 44100, 3, 1, 1, false) ==
                   TestMicConfigDecision::restartExistingEngine,
               "same target with stopped engine should not use the destructive full reconnect path first");
}

// One sim throughout: a reconnect that starts the engine, then a fresh
// epoch whose reconnect times out.
void reportMicReconnect(TestReport& report) {
  TestRouteCoordinatorSim sim;
  const uint64_t epoch = sim.startEpoch(bluetoothTarget());
  sim.micReconnectBegin(epoch);
  report.check("route_epoch_mic_reconnect_records_inflight_state",
               sim.micReconnectInFlight && !sim.micReconnectTerminalOutcome.has_value(),
               "a reconnect begin must be visible until a terminal outcome is emitted");
  sim.micReconnectTerminal(epoch, TestReconnectTerminalOutcome::engineStarted);
  report.check("route_epoch_mic_reconnect_engine_started_is_terminal",
               !sim.micReconnectInFlight &&
                   sim.micReconnectTerminalOutcome == TestReconnectTerminalOutcome::engineStarted &&
                   sim.phase == TestRoutePhase::verifying(),
               "engine-start success should close the reconnect transaction before frame verification");
  const uint64_t fresh = sim.startEpoch(bluetoothTarget());
  sim.micReconnectBegin(fresh);
  sim.micReconnectTimedOut(fresh);
  report.check("route_epoch_mic_reconnect_timeout_is_terminal_failure",
               !sim.micReconnectInFlight &&
                   sim.micReconnectTerminalOutcome == TestReconnectTerminalOutcome::sourceFailed &&
                   sim.phase == TestRoutePhase::failedRecoverable("mic_reconnect_timeout"),
               "the coordinator must not leave a reconnect stuck after begin without source_failed/cancelled");
}

}  // namespace

void runRouteEpochModelChecks(TestReport& report) {
  reportMicProof(report);
  reportBluetoothSettling(report);
  reportCadenceAndStop(report);
  reportMicConfiguration(report);
  reportMicReconnect(report);
}

}  // namespace helper
