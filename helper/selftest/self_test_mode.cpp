#include "helper/core/entry/entry.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runSelfTest() { exitModeUnavailable(HelperMode::selfTest); }

}  // namespace helper
