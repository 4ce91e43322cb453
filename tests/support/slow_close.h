#pragma once
// A slow disk for the program slow_close_preload.cpp is loaded into
// (LD_PRELOAD): closing a non-empty regular file that was opened for
// writing inside kSlowCloseDirEnvVar's directory first waits
// kSlowCloseSecondsEnvVar seconds, which is where a writer's last bytes
// reach the disk. The first such close creates kSlowCloseMarkEnvVar's file,
// so a test can tell that the delay took effect.
namespace testsupport {

inline constexpr const char* kSlowCloseDirEnvVar = "VR_SLOW_CLOSE_DIR";
inline constexpr const char* kSlowCloseSecondsEnvVar = "VR_SLOW_CLOSE_SECONDS";
inline constexpr const char* kSlowCloseMarkEnvVar = "VR_SLOW_CLOSE_MARK";

}  // namespace testsupport
