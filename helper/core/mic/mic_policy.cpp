#include "helper/core/mic/mic_policy.h"

#include <algorithm>
#include <cmath>

#include "helper/core/entry/globals.h"
#include "helper/routing/device_properties.h"

namespace helper {

const char* rawValue(MicConfigChangeAction action) {
  switch (action) {
    case MicConfigChangeAction::ignore:
      return "ignore";
    case MicConfigChangeAction::restartExistingEngine:
      return "restartExistingEngine";
    case MicConfigChangeAction::reconnect:
      return "reconnect";
  }
  return "";
}

std::optional<MicConfigChangeAction> micConfigChangeActionFromRaw(const std::string& raw) {
  for (auto a : {MicConfigChangeAction::ignore, MicConfigChangeAction::restartExistingEngine,
                 MicConfigChangeAction::reconnect}) {
    if (raw == rawValue(a)) return a;
  }
  return std::nullopt;
}

float selectMicReconnectGain(std::optional<float> configuredGain, const std::string& newRouteKind) {
  if (configuredGain) return *configuredGain;
  return newRouteKind == kRouteBluetoothHfp ? kBluetoothHfpCaptureMicGain : kDefaultCaptureMicGain;
}

float effectiveCaptureMicGain(std::optional<float> configuredGain, const std::string& routeKind) {
  return selectMicReconnectGain(configuredGain, routeKind);
}

std::optional<EffectiveMicCaptureFormat> effectiveMicCaptureFormat(double sampleRate, int64_t hardwareChannels) {
  // NaN compares false, so it counts as not above 0.
  if (hardwareChannels < 1 || !(sampleRate > 0)) return std::nullopt;
  if (sampleRate >= 9.2e18) return std::nullopt;
  return EffectiveMicCaptureFormat{static_cast<int64_t>(sampleRate), kEffectiveMicCaptureChannels};
}

std::optional<platform::audio::AudioFormat> makeEffectiveMicPCMFormat(double sampleRate, int64_t hardwareChannels) {
  if (hardwareChannels < 1 || !(sampleRate > 0)) return std::nullopt;
  return platform::audio::AudioFormat::make(platform::audio::CommonFormat::pcmFloat32, sampleRate,
                                            kEffectiveMicCaptureChannels, true);
}

bool isUsableMicInputFormat(const platform::audio::AudioFormat& format) {
  return format.sampleRate() > 0 && std::isfinite(format.sampleRate()) && format.channelCount() > 0;
}

std::string micHardwareChannelDiagnosticContext(int64_t hardwareChannels, int64_t writerChannels) {
  return "mic hardware_channels=" + std::to_string(hardwareChannels) +
         " effective_channels=" + std::to_string(kEffectiveMicCaptureChannels) +
         " writer_channels=" + std::to_string(writerChannels);
}

MicConfigChangeAction classifyMicConfigChangeAction(const std::string& currentUID, const std::string& observedUID,
                                                    const std::string& currentRouteKind,
                                                    const std::string& observedRouteKind, int64_t currentNativeRate,
                                                    int64_t observedNativeRate, int64_t currentNativeChannels,
                                                    int64_t observedNativeChannels, bool engineRunning) {
  if (observedUID.empty() || observedNativeRate <= 0 || observedNativeChannels <= 0) {
    return MicConfigChangeAction::reconnect;
  }
  if (currentUID != observedUID) return MicConfigChangeAction::reconnect;
  const bool changed = currentRouteKind != observedRouteKind || currentNativeRate != observedNativeRate ||
                       currentNativeChannels != kEffectiveMicCaptureChannels;
  if (engineRunning || changed) return changed ? MicConfigChangeAction::reconnect : MicConfigChangeAction::ignore;
  if (currentRouteKind == kRouteBluetoothHfp || observedRouteKind == kRouteBluetoothHfp)
    return MicConfigChangeAction::reconnect;
  return MicConfigChangeAction::restartExistingEngine;
}

bool defaultInputChangeRequiresMicReconnect(const std::string& currentUID, const std::string& newUID, bool micPaused,
                                            bool hasEngine, bool engineDelivering) {
  return hasEngine && !micPaused && !newUID.empty() && (newUID != currentUID || !engineDelivering);
}

uint64_t micDeferredReconnectDelayNs(uint64_t settleDelayNs, uint64_t cooldownDelayNs, bool oldEngineDelivering) {
  return oldEngineDelivering ? std::max(settleDelayNs, cooldownDelayNs) : settleDelayNs;
}

bool shouldDeferMicReconnectForRoute(bool shouldReconnect, const std::string& observedRouteKind) {
  return shouldReconnect && observedRouteKind == kRouteBluetoothHfp;
}

uint64_t micReconnectSettleDelayNs(bool shouldReconnect, const std::string& observedRouteKind) {
  if (!shouldReconnect) return 0;
  return observedRouteKind == kRouteBluetoothHfp ? kBluetoothHfpMicReconnectDeferNs : kDefaultMicReconnectDeferNs;
}

bool shouldRecordDefaultInputDisconnection(const std::string& oldUID, uint32_t oldDeviceID, bool oldDeviceAlive,
                                           bool oldDeviceStillAddressable) {
  return !oldUID.empty() && oldDeviceID != 0 && !oldDeviceAlive && !oldDeviceStillAddressable;
}

}  // namespace helper
