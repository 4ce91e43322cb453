#pragma once
// Audio device property readers, the route-kind vocabulary derived from a
// device's transport type, and the classifiers that turn transport, data
// source and name into the device classes reported to the host. Free
// functions without state; any thread may call them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace helper {

// Route kinds (results of readDeviceTransportType).
inline constexpr const char* kRouteBuiltIn = "builtin_mic";         // every built-in device, outputs too
inline constexpr const char* kRouteBluetoothHfp = "bluetooth_hfp";  // every Bluetooth device
inline constexpr const char* kRouteUsb = "usb";
inline constexpr const char* kRouteHdmi = "hdmi";
inline constexpr const char* kRouteAggregate = "aggregate";
inline constexpr const char* kRouteThunderbolt = "thunderbolt";
inline constexpr const char* kRouteAirPlay = "airplay";
inline constexpr const char* kRouteVirtual = "virtual";
inline constexpr const char* kRouteUnknown = "unknown";

struct OutputDeviceClassification {
  std::string deviceClass;
  bool echoRisk = false;  // the device plays into the room, so the microphone may hear it
  bool operator==(const OutputDeviceClassification&) const = default;
};

// Readers: absent (or the stated fallback) whenever the read fails.
std::optional<uint32_t> readDefaultOutputDevice(uint32_t selector);
std::optional<uint32_t> readDefaultPlaybackOutputDevice();
std::optional<uint32_t> readDefaultSystemOutputDevice();
// The default output device, else the default system output device.
std::optional<uint32_t> readPreferredSystemCaptureOutputDevice();
std::optional<uint32_t> readDefaultInputDevice();
std::optional<std::string> readDeviceUID(uint32_t deviceID);
std::optional<std::string> readDeviceName(uint32_t deviceID);
// Absent unless above 0.
std::optional<double> readDeviceNominalSampleRate(uint32_t deviceID);
// The route kind; "unknown" when the read fails.
std::string readDeviceTransportType(uint32_t deviceID);
std::optional<uint32_t> readDeviceDataSource(uint32_t deviceID);
bool isDeviceAlive(uint32_t deviceID);

// The first device of the system's list that is built in and has an
// input stream.
std::optional<uint32_t> findBuiltInInputDevice();

OutputDeviceClassification classifyOutputDeviceFromProperties(const std::string& transport,
                                                              std::optional<uint32_t> dataSource,
                                                              const std::string& name);
OutputDeviceClassification classifyOutputDevice(uint32_t deviceID);
std::string classifyInputDeviceFromProperties(const std::string& transport, std::optional<uint32_t> dataSource,
                                              const std::string& name);
std::string classifyInputDevice(uint32_t deviceID);

// Both expect a lower-cased name.
bool isHeadphoneLikeOutputName(std::string_view lowered);
bool isSpeakerLikeOutputName(std::string_view lowered);

// 8000 to 32000 Hz, both included.
bool isTelephonyRate(double rate);
// Within 1 Hz of 44100, 48000, 88200, 96000, 176400 or 192000.
bool isStandardHardwareAudioRate(double rate);

}  // namespace helper
