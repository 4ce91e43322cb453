#include "helper/core/modes.h"

namespace helper {

void runConcat(const ConcatConfig&) { exitModeUnavailable(HelperMode::concat); }

}  // namespace helper
