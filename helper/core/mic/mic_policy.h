#pragma once
// Decisions of the microphone path: capture format and gain, whether an
// observed configuration needs a reconnect, and how long a route settles.
// Pure functions, so the test modes can call them directly.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio/engine/pcm.h"

namespace helper {

struct EffectiveMicCaptureFormat {
  int64_t sampleRate = 0;
  int64_t channels = 0;
  bool operator==(const EffectiveMicCaptureFormat&) const = default;
};

enum class MicConfigChangeAction { ignore, restartExistingEngine, reconnect };
const char* rawValue(MicConfigChangeAction action);
std::optional<MicConfigChangeAction> micConfigChangeActionFromRaw(const std::string& raw);

// The configured gain whatever the route; else 1.0 on Bluetooth hands-free
// and 4.0 on every other route.
float selectMicReconnectGain(std::optional<float> configuredGain, const std::string& newRouteKind);
float effectiveCaptureMicGain(std::optional<float> configuredGain, const std::string& routeKind);

std::optional<EffectiveMicCaptureFormat> effectiveMicCaptureFormat(double sampleRate, int64_t hardwareChannels);
// Float32, interleaved, mono at the given (untruncated) rate.
std::optional<platform::audio::AudioFormat> makeEffectiveMicPCMFormat(double sampleRate, int64_t hardwareChannels);
// An input format a recording can use: a finite rate above 0 and at least one channel.
bool isUsableMicInputFormat(const platform::audio::AudioFormat& format);
std::string micHardwareChannelDiagnosticContext(int64_t hardwareChannels, int64_t writerChannels);

MicConfigChangeAction classifyMicConfigChangeAction(const std::string& currentUID, const std::string& observedUID,
                                                    const std::string& currentRouteKind,
                                                    const std::string& observedRouteKind, int64_t currentNativeRate,
                                                    int64_t observedNativeRate, int64_t currentNativeChannels,
                                                    int64_t observedNativeChannels, bool engineRunning);

// An engine that no longer delivers is brought to the default input even
// when that is the very device it recorded (nothing else would bring the
// mic back).
bool defaultInputChangeRequiresMicReconnect(const std::string& currentUID, const std::string& newUID, bool micPaused,
                                            bool hasEngine, bool engineDelivering = true);
// How long a reconnect to a new default input waits: for the route to
// settle and, only while the old engine still records, for the cool-down
// between reconnects (a stopped engine has nothing left to protect).
uint64_t micDeferredReconnectDelayNs(uint64_t settleDelayNs, uint64_t cooldownDelayNs, bool oldEngineDelivering);
bool shouldDeferMicReconnectForRoute(bool shouldReconnect, const std::string& observedRouteKind);
uint64_t micReconnectSettleDelayNs(bool shouldReconnect, const std::string& observedRouteKind);
bool shouldRecordDefaultInputDisconnection(const std::string& oldUID, uint32_t oldDeviceID, bool oldDeviceAlive,
                                           bool oldDeviceStillAddressable);

}  // namespace helper
