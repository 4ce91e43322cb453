// --mode test-device-following: follow-back suppression and the debounce of
// default-device switches. Only failures are written, then the summary.
#include "helper/selftest/device_following_checks.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/test_report.h"

namespace helper {

void runTestDeviceFollowing() {
  TestReport report;
  runDeviceFollowingChecks(report, makeDeviceFollowingState);
  report.finish("test_device_following: ");
}

}  // namespace helper
