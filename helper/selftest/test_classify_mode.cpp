#include "helper/core/modes.h"

namespace helper {

void runTestClassify() { exitModeUnavailable(HelperMode::testClassify); }

}  // namespace helper
