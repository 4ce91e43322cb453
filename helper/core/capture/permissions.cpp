#include "helper/core/capture/permissions.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "helper/core/bus/event_bus.h"
#include "helper/core/bus/fd_write.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "platform/dispatch/dispatch.h"
#include "platform/permissions/permissions.h"

namespace helper {
namespace {

namespace perm = platform::permissions;

// Shared with a completion that may run after the waiter gave up, so the
// answer never lands in freed memory.
struct AnswerBox {
  std::atomic<bool> granted{false};
  platform::dispatch::Semaphore answered{0};
};

}  // namespace

int checkAudioCapturePermission() {
  auto consent = perm::AudioCaptureConsent::open();
  if (!consent || !consent->hasPreflight()) return -1;
  return consent->preflight(kAudioCaptureService);
}

bool requestAudioCapturePermission(uint64_t timeoutNs) {
  auto consent = perm::AudioCaptureConsent::open();
  if (!consent) return false;
  if (consent->hasPreflight() && consent->preflight(kAudioCaptureService) == 0) return true;
  if (!consent->hasRequest()) return false;
  auto box = std::make_shared<AnswerBox>();
  consent->request(kAudioCaptureService, [box](bool granted) {
    box->granted.store(granted);
    box->answered.signal();
  });
  if (!box->answered.waitForNs(timeoutNs)) {
    return consent->hasPreflight() && consent->preflight(kAudioCaptureService) == 0;
  }
  return box->granted.load();
}

std::string microphonePermissionStatus(bool request, uint64_t timeoutNs) {
  const int status = perm::microphoneAuthorizationStatus();
  switch (status) {
    case perm::kMicRestricted:
    case perm::kMicDenied:
      return "denied";
    case perm::kMicAuthorized:
      return "granted";
    case perm::kMicNotDetermined:
      break;
    default:
      return "unknown";
  }
  if (!request) return "prompt";
  auto box = std::make_shared<AnswerBox>();
  perm::requestMicrophoneAccess([box](bool granted) {
    box->granted.store(granted);
    box->answered.signal();
  });
  if (!box->answered.waitForNs(timeoutNs)) return "denied";
  return box->granted.load() ? "granted" : "denied";
}

std::string systemAudioPermissionStatus(bool request) {
  const int p = checkAudioCapturePermission();
  if (p == 0) return "granted";
  if (request) return requestAudioCapturePermission() ? "granted" : "denied";
  return p < 0 ? "unknown" : "prompt";
}

void runPermissionCheck(const PermissionConfig& config) {
  nlohmann::json result = nlohmann::json::object();  // keys come out sorted
  if (config.includeMic) result["microphone"] = microphonePermissionStatus(config.request);
  if (config.includeSystem) result["systemAudio"] = systemAudioPermissionStatus(config.request);
  const std::string line = result.dump() + "\n";
  if (!writeAll(1, line)) {
    exitWithError("permission_check_failed",
                  std::string("could not write the result to standard output: ") + std::strerror(errno), 1);
  }
  gEventBus.flushAndStop();
  std::_Exit(0);
}

}  // namespace helper
