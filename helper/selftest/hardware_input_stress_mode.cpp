#include "helper/core/entry/entry.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runHardwareInputStress() { exitModeUnavailable(HelperMode::testHardwareInputStress); }

}  // namespace helper
