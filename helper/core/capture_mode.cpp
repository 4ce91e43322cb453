#include "helper/core/modes.h"

namespace helper {

void runCapture(const CaptureConfig&) { exitModeUnavailable(HelperMode::capture); }

}  // namespace helper
