#include "helper/core/modes.h"

namespace helper {

void runMix(const MixConfig&) { exitModeUnavailable(HelperMode::mix); }

}  // namespace helper
