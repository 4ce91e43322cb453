#include "helper/routing/device_properties.h"

#include <array>
#include <cmath>
#include <vector>

#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

constexpr std::array<std::string_view, 6> kHeadphoneWords = {"headphone", "earbud", "earphone",
                                                             "airpod",    "buds",   "headset"};
// A USB device is a headset only by these; "buds" and "headset" do not count.
constexpr std::array<std::string_view, 4> kUsbHeadphoneWords = {"headphone", "earbud", "earphone", "airpod"};
constexpr std::array<std::string_view, 29> kSpeakerWords = {
    "speaker",   "monitor",   "display",    "tv",         "homepod",  "soundbar", "sound bar", "soundlink",
    "sounddock", "boombox",   "megaboom",   "wonderboom", "partybox", "sonos",    "jbl flip",  "jbl charge",
    "jbl pulse", "jbl go",    "jbl xtreme", "srs-",       "stanmore", "woburn",   "acton",     "emberton",
    "kilburn",   "stockwell", "zeppelin",   "beolit",     "beosound"};
constexpr std::array<double, 6> kStandardRates = {44100, 48000, 88200, 96000, 176400, 192000};

hal::AudioObjectPropertyAddress globalAddress(uint32_t selector) {
  return {selector, hal::kAudioObjectPropertyScopeGlobal, hal::kAudioObjectPropertyElementMain};
}

std::optional<uint32_t> readSystemDevice(uint32_t selector) {
  uint32_t id = 0;
  if (hal::getPropertyUInt32(hal::kAudioObjectSystemObject, globalAddress(selector), id) !=
          hal::kAudioHardwareNoError ||
      id == 0) {
    return std::nullopt;
  }
  return id;
}

std::optional<std::string> readStringProperty(uint32_t deviceID, uint32_t selector) {
  std::optional<std::string> value;
  if (hal::getPropertyString(deviceID, globalAddress(selector), value) != hal::kAudioHardwareNoError) {
    return std::nullopt;
  }
  return value;
}

std::string routeKindForTransport(std::optional<uint32_t> code) {
  if (!code) return kRouteUnknown;
  switch (*code) {
    case hal::kAudioDeviceTransportTypeBuiltIn:
      return kRouteBuiltIn;
    case hal::kAudioDeviceTransportTypeBluetooth:
    case hal::kAudioDeviceTransportTypeBluetoothLE:
      return kRouteBluetoothHfp;
    case hal::kAudioDeviceTransportTypeUSB:
      return kRouteUsb;
    case hal::kAudioDeviceTransportTypeHDMI:
      return kRouteHdmi;
    case hal::kAudioDeviceTransportTypeAggregate:
      return kRouteAggregate;
    case hal::kAudioDeviceTransportTypeThunderbolt:
      return kRouteThunderbolt;
    case hal::kAudioDeviceTransportTypeAirPlay:
      return kRouteAirPlay;
    case hal::kAudioDeviceTransportTypeVirtual:
      return kRouteVirtual;
    default:
      return kRouteUnknown;
  }
}

std::optional<uint32_t> readTransportCode(uint32_t deviceID) {
  uint32_t code = 0;
  if (hal::getPropertyUInt32(deviceID, globalAddress(hal::kAudioDevicePropertyTransportType), code) !=
      hal::kAudioHardwareNoError) {
    return std::nullopt;
  }
  return code;
}

std::string lowercased(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

template <size_t N>
bool containsAny(std::string_view text, const std::array<std::string_view, N>& words) {
  for (std::string_view w : words) {
    if (text.find(w) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

std::optional<uint32_t> readDefaultOutputDevice(uint32_t selector) { return readSystemDevice(selector); }

std::optional<uint32_t> readDefaultPlaybackOutputDevice() {
  return readDefaultOutputDevice(hal::kAudioHardwarePropertyDefaultOutputDevice);
}

std::optional<uint32_t> readDefaultSystemOutputDevice() {
  return readDefaultOutputDevice(hal::kAudioHardwarePropertyDefaultSystemOutputDevice);
}

std::optional<uint32_t> readPreferredSystemCaptureOutputDevice() {
  if (auto id = readDefaultPlaybackOutputDevice()) return id;
  return readDefaultSystemOutputDevice();
}

std::optional<uint32_t> readDefaultInputDevice() {
  return readSystemDevice(hal::kAudioHardwarePropertyDefaultInputDevice);
}

std::optional<std::string> readDeviceUID(uint32_t deviceID) {
  return readStringProperty(deviceID, hal::kAudioDevicePropertyDeviceUID);
}

std::optional<std::string> readDeviceName(uint32_t deviceID) {
  return readStringProperty(deviceID, hal::kAudioObjectPropertyName);
}

std::optional<double> readDeviceNominalSampleRate(uint32_t deviceID) {
  double rate = 0;
  if (hal::getPropertyFloat64(deviceID, globalAddress(hal::kAudioDevicePropertyNominalSampleRate), rate) !=
          hal::kAudioHardwareNoError ||
      !(rate > 0)) {
    return std::nullopt;
  }
  return rate;
}

std::string readDeviceTransportType(uint32_t deviceID) { return routeKindForTransport(readTransportCode(deviceID)); }

std::optional<uint32_t> readDeviceDataSource(uint32_t deviceID) {
  uint32_t source = 0;
  const hal::AudioObjectPropertyAddress address{
      hal::kAudioDevicePropertyDataSource, hal::kAudioObjectPropertyScopeOutput, hal::kAudioObjectPropertyElementMain};
  if (hal::getPropertyUInt32(deviceID, address, source) != hal::kAudioHardwareNoError) return std::nullopt;
  return source;
}

bool isDeviceAlive(uint32_t deviceID) {
  uint32_t alive = 0;
  return hal::getPropertyUInt32(deviceID, globalAddress(hal::kAudioDevicePropertyDeviceIsAlive), alive) ==
             hal::kAudioHardwareNoError &&
         alive != 0;
}

std::optional<uint32_t> findBuiltInInputDevice() {
  const auto devicesAddress = globalAddress(hal::kAudioHardwarePropertyDevices);
  uint32_t size = 0;
  if (hal::getPropertyDataSize(hal::kAudioObjectSystemObject, devicesAddress, size) != hal::kAudioHardwareNoError) {
    return std::nullopt;
  }
  std::vector<uint32_t> ids;
  if (size / 4 == 0 ||
      hal::getPropertyObjectIDs(hal::kAudioObjectSystemObject, devicesAddress, ids) != hal::kAudioHardwareNoError ||
      ids.empty()) {
    return std::nullopt;
  }
  const hal::AudioObjectPropertyAddress inputStreams{
      hal::kAudioDevicePropertyStreams, hal::kAudioObjectPropertyScopeInput, hal::kAudioObjectPropertyElementMain};
  for (uint32_t id : ids) {
    if (readDeviceTransportType(id) != kRouteBuiltIn) continue;
    uint32_t streamsSize = 0;
    if (hal::getPropertyDataSize(id, inputStreams, streamsSize) == hal::kAudioHardwareNoError && streamsSize > 0) {
      return id;
    }
  }
  return std::nullopt;
}

OutputDeviceClassification classifyOutputDeviceFromProperties(const std::string& transport,
                                                              std::optional<uint32_t> dataSource,
                                                              const std::string& name) {
  const std::string lowered = lowercased(name);
  if (transport == kRouteBuiltIn && dataSource == hal::kAudioDataSourceHeadphones) return {"headphone_jack", false};
  if (transport == kRouteUsb && containsAny(lowered, kUsbHeadphoneWords)) return {"usb_output", false};
  if (transport == kRouteBuiltIn && (!dataSource || *dataSource == hal::kAudioDataSourceInternalSpeaker)) {
    return {"built_in_speakers", true};
  }
  if (transport == kRouteHdmi) return {"hdmi_output", true};
  if (transport == kRouteBluetoothHfp) return {"bluetooth_output", isSpeakerLikeOutputName(lowered)};
  return {"unknown", true};
}

OutputDeviceClassification classifyOutputDevice(uint32_t deviceID) {
  return classifyOutputDeviceFromProperties(readDeviceTransportType(deviceID), readDeviceDataSource(deviceID),
                                            readDeviceName(deviceID).value_or(""));
}

std::string classifyInputDeviceFromProperties(const std::string& transport, std::optional<uint32_t> /*dataSource*/,
                                              const std::string& /*name*/) {
  if (transport == kRouteBuiltIn) return "built_in_mic";
  if (transport == kRouteBluetoothHfp) return "bluetooth_mic";
  if (transport == kRouteUsb) return "usb_mic";
  return "unknown";
}

std::string classifyInputDevice(uint32_t deviceID) {
  return classifyInputDeviceFromProperties(readDeviceTransportType(deviceID), std::nullopt, "");
}

bool isHeadphoneLikeOutputName(std::string_view lowered) { return containsAny(lowered, kHeadphoneWords); }

bool isSpeakerLikeOutputName(std::string_view lowered) {
  if (isHeadphoneLikeOutputName(lowered)) return false;
  return containsAny(lowered, kSpeakerWords);
}

bool isTelephonyRate(double rate) { return rate >= 8000 && rate <= 32000; }

bool isStandardHardwareAudioRate(double rate) {
  for (double s : kStandardRates) {
    if (std::fabs(rate - s) < 1.0) return true;
  }
  return false;
}

}  // namespace helper
