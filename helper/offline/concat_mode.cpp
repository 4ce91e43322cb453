#include "helper/core/entry/entry.h"
#include "helper/offline/offline_modes.h"

namespace helper {

void runConcat(const ConcatConfig&) { exitModeUnavailable(HelperMode::concat); }

}  // namespace helper
