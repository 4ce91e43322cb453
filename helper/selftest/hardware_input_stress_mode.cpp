#include "helper/core/modes.h"

namespace helper {

void runHardwareInputStress() { exitModeUnavailable(HelperMode::testHardwareInputStress); }

}  // namespace helper
