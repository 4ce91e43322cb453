#pragma once
// The built-in test modes. Each ends the process itself.
#include "helper/core/entry/command_line.h"

namespace helper {

[[noreturn]] void runTestSegmentWriter(const TestSegmentWriterConfig& config);
[[noreturn]] void runTestClassify();
[[noreturn]] void runTestDeviceFollowing();
[[noreturn]] void runTestControlPlane();
[[noreturn]] void runSyntheticCapture(const CaptureConfig& config);
[[noreturn]] void runHardwareInputStress();
[[noreturn]] void runTestMicTapScratch();
[[noreturn]] void runSelfTest();

}  // namespace helper
