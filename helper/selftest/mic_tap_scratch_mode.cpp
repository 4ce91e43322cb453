#include "helper/core/modes.h"

namespace helper {

void runTestMicTapScratch() { exitModeUnavailable(HelperMode::testMicTapScratch); }

}  // namespace helper
