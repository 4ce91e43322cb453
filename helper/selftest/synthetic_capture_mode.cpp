#include "helper/core/entry/entry.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runSyntheticCapture(const CaptureConfig&) { exitModeUnavailable(HelperMode::testSyntheticCapture); }

}  // namespace helper
