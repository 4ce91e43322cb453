// Capture mode: permissions, the microphone and system sides, device
// following, "helper_ready", the watchers, and the run loop until a stop.
#include "helper/core/capture/capture_mode.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/capture/capture_watchers.h"
#include "helper/core/capture/device_listeners.h"
#include "helper/core/capture/permissions.h"
#include "helper/core/capture/startup_report.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/mic/mic_input_following.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/mic/mic_startup.h"
#include "helper/core/system/system_pipeline.h"
#include "helper/core/system/system_source.h"
#include "helper/routing/device_following.h"
#include "helper/routing/device_properties.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr double kRunLoopSliceSeconds = 0.25;
constexpr uint64_t kStartupCleanupJoinNs = 1'000'000'000ULL;
constexpr const char* kStartupCleanupContext = "partial system graph startup cleanup timed out";

extern "C" void onTerminationSignal(int) { gIsRunning.store(false); }

void installTerminationHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

// The refusals that end start-up, and the warnings of a source that is
// refused while the other records.
void applyPermissionOutcome(const CaptureConfig& config, bool micDenied, bool systemDenied) {
  if (micDenied && systemDenied) {
    exitWithError("permission_denied", "Both microphone and system audio permissions denied", 1);
  }
  if (micDenied && !config.includeSystem) exitWithError("permission_denied", "Microphone permission denied", 1);
  if (systemDenied && !config.includeMic) {
    exitWithError("permission_denied", "System audio recording permission denied", 1);
  }
  if (micDenied) emitWarning("mic_permission_denied", "Microphone permission denied; recording system audio only");
  if (systemDenied) {
    emitWarning("audio_capture_permission_denied", "System audio permission denied; proceeding with mic only");
  }
}

// Ends start-up after the parts already running are torn down: the system
// graph (with its join time-out) and the mic's engine and consumer.
[[noreturn]] void failStartup(CaptureState& state, const std::string& reason, const std::string& ctx) {
  if (state.system()) stopActiveSystemTapGraph(*state.system(), 1.0, kStartupCleanupContext);
  if (state.mic()) stopMicPipeline(*state.mic(), kStartupCleanupJoinNs);
  exitWithError(reason, ctx, 1);
}

SystemStartup startSystemSide(CaptureState& state, bool denied) {
  SystemStartup system;
  system.denied = denied;
  if (!state.config().includeSystem || denied) return system;
  try {
    system.result = startSystemTapGraph(*state.system(), std::nullopt, true);
  } catch (const SystemTapGraphError& e) {
    failStartup(state, e.reason, e.ctx);
  } catch (const std::exception& e) {
    failStartup(state, "aggregate_creation_failed", e.what());
  }
  return system;
}

// A recording with no segment open for any active source would record
// nothing while reporting success: start-up ends with the first writer's
// own failure instead. A source that fails later only warns.
void requireAnOpenSegment(CaptureState& state, const MicStartup& mic, const SystemStartup& system) {
  std::optional<std::string> firstFailure;
  bool anyOpen = false;
  auto check = [&](bool active, const std::shared_ptr<SegmentWriter>& writer) {
    if (!active || !writer) return;
    if (auto failure = writer->openFailure()) {
      if (!firstFailure) firstFailure = failure;
    } else {
      anyOpen = true;
    }
  };
  check(mic.active, state.mic() ? state.mic()->writer() : nullptr);
  check(system.active(), state.system() ? state.system()->writer() : nullptr);
  if (!anyOpen && firstFailure) failStartup(state, "writer_open_failed", *firstFailure);
}

void startDeviceFollowing(const std::shared_ptr<MicSource>& mic) {
  auto following = std::make_shared<DeviceFollowingState>();
  if (auto input = readDefaultInputDevice()) {
    following->setCurrentUID(mic->deviceUID());
    following->setCurrentDeviceID(*input);
    following->setCurrentRouteKind(mic->routeKind());
    mic->setPreviousDeviceID(*input);
  }
  mic->setDeviceFollowing(following);
  installDefaultInputListener(mic);
}

}  // namespace

void runCapture(const CaptureConfig& config) {
  const bool micDenied = config.includeMic && microphonePermissionStatus(true) == "denied";
  const bool systemDenied = config.includeSystem && !requestAudioCapturePermission();
  applyPermissionOutcome(config, micDenied, systemDenied);

  std::error_code ignored;
  std::filesystem::create_directories(config.sessionDir, ignored);

  auto state = std::make_shared<CaptureState>(config);
  state->refuseSources(micDenied, systemDenied);
  state->startSessionClock();
  MicStartup mic;
  mic.denied = micDenied;
  if (config.includeMic && !micDenied) mic = startMicPipeline(state->mic());
  const SystemStartup system = startSystemSide(*state, systemDenied);
  requireAnOpenSegment(*state, mic, system);
  if (system.active()) installOutputDeviceListeners(state->system());
  if (mic.active) startDeviceFollowing(state->mic());

  emitEvent(helperReadyEvent(*state, mic, system));
  emitSystemRateOverride(system);
  emitOutputDeviceDetected(*state);
  if (mic.active) emitMicStartupWarnings(*state, mic);
  emitSystemStartupWarnings(system);

  startPermissionWatch(state, PermissionWatchConfig{config.includeMic, config.includeSystem, micDenied, systemDenied});
  startThermalObserver(state);
  startStdinReader(state);
  installTerminationHandlers();
  gStopStep.store(0);
  installCrashHandler();

  while (gIsRunning.load()) platform::dispatch::runMainQueueFor(kRunLoopSliceSeconds);
  // A stop begun on the reader thread ends the process itself; until then
  // the pauses and resumes read before it are still answered here.
  while (state->isStopClaimed()) platform::dispatch::runMainQueueFor(kRunLoopSliceSeconds);
  state->performStop(false, std::string("sigterm"), std::nullopt);
}

}  // namespace helper
