#include "helper/core/modes.h"

namespace helper {

void runTestDeviceFollowing() { exitModeUnavailable(HelperMode::testDeviceFollowing); }

}  // namespace helper
