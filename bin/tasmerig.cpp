// tasmerig: the capture helper. One process per recording or one-shot job;
// the mode on the command line picks which.
#include "bin/standard_descriptors.h"
#include "helper/core/capture/capture_mode.h"
#include "helper/core/capture/permissions.h"
#include "helper/core/entry/entry.h"
#include "helper/core/entry/process.h"
#include "helper/offline/offline_modes.h"
#include "helper/selftest/selftest_modes.h"

namespace {

template <typename Config>
const Config& required(const std::optional<Config>& config, const char* what) {
  if (!config) helper::exitMissingConfig(what);
  return *config;
}

[[noreturn]] void dispatch(const helper::ParsedArguments& parsed) {
  using helper::HelperMode;
  switch (parsed.mode) {
    case HelperMode::capture:
      helper::runCapture(required(parsed.captureConfig, "capture"));
    case HelperMode::concat:
      helper::runConcat(required(parsed.concatConfig, "concat"));
    case HelperMode::mix:
      helper::runMix(required(parsed.mixConfig, "mix"));
    case HelperMode::permissions:
      helper::runPermissionCheck(required(parsed.permissionConfig, "permissions"));
    case HelperMode::testSegmentWriter:
      helper::runTestSegmentWriter(required(parsed.testSegmentWriterConfig, "test-segment-writer"));
    case HelperMode::testClassify:
      helper::runTestClassify();
    case HelperMode::testDeviceFollowing:
      helper::runTestDeviceFollowing();
    case HelperMode::testControlPlane:
      helper::runTestControlPlane();
    case HelperMode::testSyntheticCapture:
      helper::runSyntheticCapture(required(parsed.captureConfig, "synthetic capture"));
    case HelperMode::testHardwareInputStress:
      helper::runHardwareInputStress();
    case HelperMode::testMicTapScratch:
      helper::runTestMicTapScratch();
    case HelperMode::selfTest:
      helper::runSelfTest();
  }
  helper::exitWithError("bad_args", "Internal: unknown mode", 2);
}

}  // namespace

int main(int argc, char** argv) {
  holdClosedStandardDescriptors();
  dispatch(helper::startHelper(argc, argv));
}
