#include "helper/core/modes.h"

namespace helper {

void runTestControlPlane() { exitModeUnavailable(HelperMode::testControlPlane); }

}  // namespace helper
