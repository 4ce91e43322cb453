#pragma once
#include <string>

#include "helper/core/entry/command_line.h"

namespace helper {

inline constexpr const char* kAudioCaptureService = "kTCCServiceAudioCapture";
inline constexpr uint64_t kPermissionRequestTimeoutNs = 85'000'000'000ULL;

// System audio preflight: 0 granted, below 0 unreadable, above 0 not granted.
int checkAudioCapturePermission();
// Blocks up to 85 s for the user's answer. An answer that comes later is
// ignored and touches nothing the caller owned.
bool requestAudioCapturePermission(uint64_t timeoutNs = kPermissionRequestTimeoutNs);
// "granted", "denied", "prompt" or "unknown".
std::string microphonePermissionStatus(bool request, uint64_t timeoutNs = kPermissionRequestTimeoutNs);
std::string systemAudioPermissionStatus(bool request);

[[noreturn]] void runPermissionCheck(const PermissionConfig& config);

}  // namespace helper
