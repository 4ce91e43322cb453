#include "helper/core/modes.h"

namespace helper {

void runSyntheticCapture(const CaptureConfig&) { exitModeUnavailable(HelperMode::testSyntheticCapture); }

}  // namespace helper
