#include <csignal>
#include <string>
#include <vector>

#include "helper/core/event_bus.h"
#include "helper/core/globals.h"
#include "helper/core/modes.h"
#include "helper/core/process.h"

namespace helper {

void exitModeUnavailable(HelperMode mode) {
  exitWithError("mode_unavailable", std::string("mode ") + rawValue(mode) + " is not available in this build", 1);
}

void helperMain(int argc, char** argv) {
  // A host that dies must not kill us with SIGPIPE before the segments are
  // sealed; writes to a closed pipe fail with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  gRouteTraceEnabled.store(routeTraceEnabledFromEnvironment());

  const ParsedArguments parsed = parseArguments(std::vector<std::string>(argv, argv + argc));
  gEventBus.start();

  auto missing = [](const char* what) -> void {
    exitWithError("bad_args", std::string("Internal: missing ") + what + " config", 2);
  };
  switch (parsed.mode) {
    case HelperMode::capture:
      if (!parsed.captureConfig) missing("capture");
      runCapture(*parsed.captureConfig);
    case HelperMode::concat:
      if (!parsed.concatConfig) missing("concat");
      runConcat(*parsed.concatConfig);
    case HelperMode::mix:
      if (!parsed.mixConfig) missing("mix");
      runMix(*parsed.mixConfig);
    case HelperMode::permissions:
      if (!parsed.permissionConfig) missing("permissions");
      runPermissionCheck(*parsed.permissionConfig);
    case HelperMode::testSegmentWriter:
      if (!parsed.testSegmentWriterConfig) missing("test-segment-writer");
      runTestSegmentWriter(*parsed.testSegmentWriterConfig);
    case HelperMode::testClassify:
      runTestClassify();
    case HelperMode::testDeviceFollowing:
      runTestDeviceFollowing();
    case HelperMode::testControlPlane:
      runTestControlPlane();
    case HelperMode::testSyntheticCapture:
      if (!parsed.captureConfig) missing("synthetic capture");
      runSyntheticCapture(*parsed.captureConfig);
    case HelperMode::testHardwareInputStress:
      runHardwareInputStress();
    case HelperMode::testMicTapScratch:
      runTestMicTapScratch();
    case HelperMode::selfTest:
      runSelfTest();
  }
  exitWithError("bad_args", "Internal: unknown mode", 2);
}

}  // namespace helper
