#include "helper/core/entry/entry.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runTestControlPlane() { exitModeUnavailable(HelperMode::testControlPlane); }

}  // namespace helper
