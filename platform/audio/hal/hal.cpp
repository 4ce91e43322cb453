#include "platform/audio/hal/hal.h"

#include <cstdio>
#include <random>

#include "platform/audio/sim/world.h"

namespace platform::audio::hal {
namespace {

sim::World& world() { return sim::World::shared(); }

template <class T>
OSStatus readTyped(AudioObjectID object, const AudioObjectPropertyAddress& address, std::optional<uint32_t> qualifier,
                   T& out) {
  sim::PropertyValue value;
  const OSStatus status = world().readProperty(object, address, qualifier, value);
  if (status != kAudioHardwareNoError) return status;
  const T* typed = std::get_if<T>(&value);
  if (typed == nullptr) return kAudioHardwareBadPropertySizeError;
  out = *typed;
  return kAudioHardwareNoError;
}

}  // namespace

std::string fourCharString(uint32_t code) {
  std::string s(4, '?');
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) s[static_cast<size_t>(i)] = c;
  }
  return s;
}

OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t& outDataSize) {
  sim::PropertyValue value;
  const OSStatus status = world().readProperty(object, address, std::nullopt, value);
  if (status != kAudioHardwareNoError) return status;
  struct Size {
    uint32_t operator()(uint32_t) const { return 4; }
    uint32_t operator()(double) const { return 8; }
    uint32_t operator()(const std::optional<std::string>&) const { return sizeof(void*); }  // a string reference
    uint32_t operator()(const std::vector<AudioObjectID>& v) const {
      return static_cast<uint32_t>(v.size() * sizeof(AudioObjectID));
    }
    uint32_t operator()(const AudioStreamBasicDescription&) const { return sizeof(AudioStreamBasicDescription); }
  };
  outDataSize = std::visit(Size{}, value);
  return kAudioHardwareNoError;
}

OSStatus getPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t& outValue) {
  return readTyped(object, address, std::nullopt, outValue);
}

OSStatus getPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifier,
                           uint32_t& outValue) {
  return readTyped(object, address, qualifier, outValue);
}

OSStatus getPropertyFloat64(AudioObjectID object, const AudioObjectPropertyAddress& address, double& outValue) {
  return readTyped(object, address, std::nullopt, outValue);
}

OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& outValue) {
  return readTyped(object, address, std::nullopt, outValue);
}

OSStatus getPropertyObjectIDs(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              std::vector<AudioObjectID>& outValue) {
  return readTyped(object, address, std::nullopt, outValue);
}

OSStatus getPropertyStreamDescription(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      AudioStreamBasicDescription& outValue) {
  return readTyped(object, address, std::nullopt, outValue);
}

OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  dispatch::QueuePtr queue, AudioObjectPropertyListenerBlock block,
                                  PropertyListenerID* outListener) {
  return world().addListener(object, address, std::move(queue), std::move(block), outListener);
}

OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& /*address*/,
                                     PropertyListenerID listener) {
  return world().removeListener(object, listener);
}

TapDescription TapDescription::stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes) {
  TapDescription d;
  d.processes = std::move(processes);
  d.exclusive = true;
  d.mono = false;
  d.uuid = makeUUIDString();
  return d;
}

OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) {
  return world().createProcessTap(description, outTapID);
}

OSStatus destroyProcessTap(AudioObjectID tap) { return world().destroyProcessTap(tap); }

OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID* outDeviceID) {
  return world().createAggregateDevice(description, outDeviceID);
}

OSStatus destroyAggregateDevice(AudioObjectID device) { return world().destroyAggregateDevice(device); }

OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                        AudioDeviceIOProcID* outProcID) {
  return world().createIOProc(device, proc, clientData, outProcID);
}

OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  return world().destroyIOProc(device, procID);
}

OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) { return world().startIOProc(device, procID); }

OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) { return world().stopIOProc(device, procID); }

std::string makeUUIDString() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  uint8_t b[16];
  for (int i = 0; i < 16; i += 8) {
    const uint64_t r = rng();
    for (int k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(r >> (8 * k));
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // variant 1
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace platform::audio::hal
