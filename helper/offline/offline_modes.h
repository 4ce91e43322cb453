#pragma once
// The one-shot media modes. Each ends the process itself.
#include "helper/core/entry/command_line.h"

namespace helper {

[[noreturn]] void runConcat(const ConcatConfig& config);
[[noreturn]] void runMix(const MixConfig& config);

}  // namespace helper
