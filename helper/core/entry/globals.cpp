#include "helper/core/entry/globals.h"

namespace helper {

std::atomic<bool> gIsRunning{true};
std::atomic<uint32_t> gStopStep{0};
std::atomic<void**> gBacktraceFrames{nullptr};
std::atomic<bool> gDebugIOProc{false};

}  // namespace helper
