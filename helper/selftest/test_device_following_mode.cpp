#include "helper/core/entry/entry.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runTestDeviceFollowing() { exitModeUnavailable(HelperMode::testDeviceFollowing); }

}  // namespace helper
