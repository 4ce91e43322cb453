#pragma once
#include "helper/core/entry/command_line.h"

namespace helper {

// Records until the host stops the session; ends the process itself.
[[noreturn]] void runCapture(const CaptureConfig& config);

}  // namespace helper
