#pragma once
// A slow disk for the program slow_close_preload.cpp is loaded into
// (LD_PRELOAD): closing a non-empty regular file inside
// kSlowCloseDirEnvVar's directory first waits kSlowCloseMsEnvVar
// milliseconds. For a written file that is where its last bytes reach the
// disk; for a read one it stretches the time its reader spends on it. The
// first such close creates kSlowCloseMarkEnvVar's file, so a test can tell
// that the delay took effect.
namespace testsupport {

inline constexpr const char* kSlowCloseDirEnvVar = "VR_SLOW_CLOSE_DIR";
inline constexpr const char* kSlowCloseMsEnvVar = "VR_SLOW_CLOSE_MS";
inline constexpr const char* kSlowCloseMarkEnvVar = "VR_SLOW_CLOSE_MARK";

}  // namespace testsupport
