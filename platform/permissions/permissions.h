#pragma once
// Capture permissions: the microphone authorisation and the system audio
// capture service, which is loaded at run time and may be missing.
#include <functional>
#include <memory>

namespace platform::permissions {

// Microphone authorisation codes: 0 not determined, 1 restricted,
// 2 denied, 3 authorised; other values may appear.
inline constexpr int kMicNotDetermined = 0;
inline constexpr int kMicRestricted = 1;
inline constexpr int kMicDenied = 2;
inline constexpr int kMicAuthorized = 3;

int microphoneAuthorizationStatus();

// Asks the user for microphone access. The completion runs once, on a
// thread of the platform's choosing, possibly late or never.
void requestMicrophoneAccess(std::function<void(bool granted)> completion);

// The system audio capture consent service. open() returns null when the
// service cannot be loaded; each function may be missing on its own.
class AudioCaptureConsent {
 public:
  static std::unique_ptr<AudioCaptureConsent> open();
  virtual ~AudioCaptureConsent() = default;

  virtual bool hasPreflight() const = 0;
  // 0 granted, below 0 unreadable, above 0 not granted.
  virtual int preflight(const char* service) = 0;
  virtual bool hasRequest() const = 0;
  // The completion runs once, on any thread, possibly late or never.
  virtual void request(const char* service, std::function<void(bool granted)> completion) = 0;
};

}  // namespace platform::permissions
