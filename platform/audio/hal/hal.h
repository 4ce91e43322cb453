#pragma once
// The audio hardware object model: the system object, devices, process
// taps and private aggregate devices, each with typed properties that can
// fail with a status; property listeners delivered on a queue the caller
// names; IO procs with start and stop.
//
// Reads take a property address (selector, scope, element). Every call
// returns kAudioHardwareNoError or the status of its failure.
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/engine/pcm.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio::hal {

using OSStatus = int32_t;
using AudioObjectID = uint32_t;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;

// 'abcd' packed big-endian into 32 bits.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

// The four characters of a code ("????" for unprintable bytes).
std::string fourCharString(uint32_t code);

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector selector = 0;
  AudioObjectPropertyScope scope = 0;
  AudioObjectPropertyElement element = 0;
  bool operator==(const AudioObjectPropertyAddress&) const = default;
};

// Statuses.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCharCode("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCharCode("!dev"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = static_cast<OSStatus>(fourCharCode("unop"));
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError = static_cast<OSStatus>(fourCharCode("!dat"));

// Objects.
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes and elements.
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = fourCharCode("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = fourCharCode("****");

// Properties of the system object.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultSystemOutputDevice = fourCharCode("sOut");
// Qualifier: the pid (4 bytes). Value: the process object, 0 when none.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject = fourCharCode("id2p");

// Properties of every object.
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");

// Properties of devices (aggregate devices included).
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType = fourCharCode("tran");
// Output scope.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSource = fourCharCode("ssrc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = fourCharCode("livn");
// Input or output scope: the stream objects of that direction.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
// Frames per IO proc call.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize = fourCharCode("fsiz");

// Properties of process taps.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");

// Transport types.
inline constexpr uint32_t kAudioDeviceTransportTypeUnknown = 0;
inline constexpr uint32_t kAudioDeviceTransportTypeBuiltIn = fourCharCode("bltn");
inline constexpr uint32_t kAudioDeviceTransportTypeAggregate = fourCharCode("grup");
inline constexpr uint32_t kAudioDeviceTransportTypeVirtual = fourCharCode("virt");
inline constexpr uint32_t kAudioDeviceTransportTypeUSB = fourCharCode("usb ");
inline constexpr uint32_t kAudioDeviceTransportTypeBluetooth = fourCharCode("blue");
inline constexpr uint32_t kAudioDeviceTransportTypeBluetoothLE = fourCharCode("blea");
inline constexpr uint32_t kAudioDeviceTransportTypeHDMI = fourCharCode("hdmi");
inline constexpr uint32_t kAudioDeviceTransportTypeThunderbolt = fourCharCode("thun");
inline constexpr uint32_t kAudioDeviceTransportTypeAirPlay = fourCharCode("airp");

// Data sources.
inline constexpr uint32_t kAudioDataSourceHeadphones = fourCharCode("hdpn");
inline constexpr uint32_t kAudioDataSourceInternalSpeaker = fourCharCode("ispk");

// Stream formats (40 bytes, like the platform's).
inline constexpr uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr uint32_t kAudioFormatFlagIsFloat = 0x1;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 0x8;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 0x20;

struct AudioStreamBasicDescription {
  double sampleRate = 0;
  uint32_t formatID = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
  uint32_t reserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// ---- Property reads ----

// Size in bytes of the property's value (for lists: 4 bytes an object).
OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t& outDataSize);

OSStatus getPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t& outValue);
// With a 4-byte qualifier, such as the pid of
// kAudioHardwarePropertyTranslatePIDToProcessObject.
OSStatus getPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifier,
                           uint32_t& outValue);
OSStatus getPropertyFloat64(AudioObjectID object, const AudioObjectPropertyAddress& address, double& outValue);
// A string property; a null string reads as nothing with no error.
OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& outValue);
OSStatus getPropertyObjectIDs(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              std::vector<AudioObjectID>& outValue);
OSStatus getPropertyStreamDescription(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      AudioStreamBasicDescription& outValue);

// ---- Listeners ----

// Called with the addresses that changed. Always asynchronous: on the
// queue given at registration (a queue of the platform's when none is),
// never inside the call that changed the property.
using AudioObjectPropertyListenerBlock =
    std::function<void(uint32_t inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>;
using PropertyListenerID = uint64_t;

// The address may use the wildcards. Once remove returns, the block is
// not started again (a call already running on its queue may finish).
OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  dispatch::QueuePtr queue, AudioObjectPropertyListenerBlock block,
                                  PropertyListenerID* outListener);
OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     PropertyListenerID listener);

// ---- Process taps ----

enum class TapMuteBehavior : int32_t { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

// What a process tap captures: the mixed output of the listed processes,
// or with `exclusive` of every process but them.
struct TapDescription {
  // A stereo tap of every process's output but the given process objects.
  static TapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes);

  std::vector<AudioObjectID> processes;
  bool exclusive = true;
  bool mono = false;
  std::string name;
  std::string uuid;  // a new random UUID at creation
  TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;
  bool isPrivate = false;
};

OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID);
OSStatus destroyProcessTap(AudioObjectID tap);

// ---- Aggregate devices ----

// Keys of an aggregate device description (a JSON object).
inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceMainSubDeviceKey = "master";
inline constexpr const char* kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr const char* kAudioAggregateDeviceIsStackedKey = "stacked";
inline constexpr const char* kAudioAggregateDeviceTapAutoStartKey = "tapautostart";
inline constexpr const char* kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioSubDeviceUIDKey = "uid";
inline constexpr const char* kAudioSubTapUIDKey = "uid";
inline constexpr const char* kAudioSubTapDriftCompensationKey = "drift";

// The description needs a "uid" and a main sub-device that exists; its
// taps (by tap UID) feed the device's input stream.
OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID* outDeviceID);
OSStatus destroyAggregateDevice(AudioObjectID device);

// ---- IO procs ----

using AudioBuffer = AudioBufferBlock;
struct AudioBufferList {
  uint32_t numberBuffers = 0;
  AudioBuffer* buffers = nullptr;
};

inline constexpr uint32_t kAudioTimeStampSampleTimeValid = 0x1;
inline constexpr uint32_t kAudioTimeStampHostTimeValid = 0x2;
struct AudioTimeStamp {
  double sampleTime = 0;
  uint64_t hostTime = 0;  // host time (ns) at which the buffer's first frame was captured
  double rateScalar = 1;
  uint32_t flags = 0;
};

// Runs on the device's IO thread once per IO cycle. The input holds the
// device's input stream, interleaved 32-bit float.
using AudioDeviceIOProc = OSStatus (*)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                       const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                       AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                       void* inClientData);
using AudioDeviceIOProcID = uint32_t;  // 0: none

OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData, AudioDeviceIOProcID* outProcID);
// Stops the proc first when it runs.
OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID);
OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID);
// Synchronous: when it returns, the proc is not running and will not run
// again until the next start. Called from the proc itself, it returns at
// once and the proc is not called again.
OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID);

// A new random UUID in the platform's upper-case text form.
std::string makeUUIDString();

}  // namespace platform::audio::hal
