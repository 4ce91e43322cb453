#pragma once
#include <string>

#include "helper/core/command_line.h"

namespace helper {

inline constexpr const char* kAudioCaptureService = "kTCCServiceAudioCapture";
inline constexpr uint64_t kPermissionRequestTimeoutNs = 85'000'000'000ULL;

// System audio preflight: 0 granted, below 0 unreadable, above 0 not granted.
int checkAudioCapturePermission();
// Blocks up to 85 s for the user's answer.
bool requestAudioCapturePermission();
// "granted", "denied", "prompt" or "unknown".
std::string microphonePermissionStatus(bool request);
std::string systemAudioPermissionStatus(bool request);

[[noreturn]] void runPermissionCheck(const PermissionConfig& config);

}  // namespace helper
