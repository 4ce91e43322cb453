#pragma once
// Which sample rate the system tap's frames really arrive at, decided from
// what the tap, the output device and the private aggregate device report
// (and, on a hands-free headset, what the microphone runs at); with the
// Bluetooth same-device test and the device-name normaliser it relies on.
// Pure functions without state; any thread may call them.
#include <optional>
#include <string>

namespace helper {

struct ResolvedRate {
  double effectiveRate = 0;  // Hz: the rate the system consumer reads the tap's frames at
  double tapAsbdRate = 0;    // Hz: what the tap's format reported
  // "tap_asbd", "output_device_nominal", "aggregate_device_nominal" or "bluetooth_hfp_mic_rate".
  std::string source;
  bool sameBluetoothDevice = false;
  bool operator==(const ResolvedRate&) const = default;
};

inline constexpr const char* kRateSourceTapAsbd = "tap_asbd";
inline constexpr const char* kRateSourceOutputNominal = "output_device_nominal";
inline constexpr const char* kRateSourceAggregateNominal = "aggregate_device_nominal";
inline constexpr const char* kRateSourceBluetoothMic = "bluetooth_hfp_mic_rate";

// An absent nominal rate is a property that could not be read.
ResolvedRate resolveSystemNativeRate(double tapAsbdRate, std::optional<double> outputDeviceNominalRate,
                                     std::optional<double> aggregateDeviceNominalRate,
                                     const std::string& outputTransport, const std::string& outputDeviceUID,
                                     const std::string& outputDeviceName, double micNativeRate,
                                     const std::string& micRouteKind, const std::string& micDeviceUID,
                                     const std::string& micDeviceName);

// The same UID (a non-empty one), or the same name once both are normalised
// (an empty normalised mic name never matches).
bool isLikelySameBluetoothDevice(const std::string& micDeviceUID, const std::string& micDeviceName,
                                 const std::string& outputDeviceUID, const std::string& outputDeviceName);

// Lower-cases the name, replaces each of the role words ("microphone",
// "mic", "input", ... "audio", singulars before plurals) by a space
// wherever it occurs, then keeps only a-z and 0-9. May be empty.
std::string normalizeBluetoothDeviceName(const std::string& name);

}  // namespace helper
