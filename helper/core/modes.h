#pragma once
// The run function of every mode. Each ends the process itself.
#include "helper/core/command_line.h"

namespace helper {

[[noreturn]] void runCapture(const CaptureConfig& config);
[[noreturn]] void runConcat(const ConcatConfig& config);
[[noreturn]] void runMix(const MixConfig& config);
[[noreturn]] void runPermissionCheck(const PermissionConfig& config);
[[noreturn]] void runTestSegmentWriter(const TestSegmentWriterConfig& config);
[[noreturn]] void runTestClassify();
[[noreturn]] void runTestDeviceFollowing();
[[noreturn]] void runTestControlPlane();
[[noreturn]] void runSyntheticCapture(const CaptureConfig& config);
[[noreturn]] void runHardwareInputStress();
[[noreturn]] void runTestMicTapScratch();
[[noreturn]] void runSelfTest();

// Ends a mode that this build does not have yet: one "fatal_error" line
// with reason "mode_unavailable", exit status 1.
[[noreturn]] void exitModeUnavailable(HelperMode mode);

// The program: start-up, argument parsing and dispatch. Never returns.
[[noreturn]] void helperMain(int argc, char** argv);

}  // namespace helper
