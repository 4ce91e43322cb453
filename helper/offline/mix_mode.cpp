#include "helper/core/entry/entry.h"
#include "helper/offline/offline_modes.h"

namespace helper {

void runMix(const MixConfig&) { exitModeUnavailable(HelperMode::mix); }

}  // namespace helper
