#include "helper/core/modes.h"

namespace helper {

void runSelfTest() { exitModeUnavailable(HelperMode::selfTest); }

}  // namespace helper
