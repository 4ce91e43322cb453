#pragma once
// The audio engine of the microphone path: an input node bound to an input
// device (the system's default input unless one is set on its audio unit),
// a tap on the node called on the engine's render thread, start/stop/reset
// and configuration-change notifications.
//
// The engine stops itself and posts a configuration change when its input
// device goes away, when the default input changes while it follows the
// default, or when the device's format changes.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/engine/pcm.h"
#include "platform/audio/hal/hal.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio {

namespace sim {
struct EngineCore;
}

// When a tap buffer was captured.
struct AudioTime {
  uint64_t hostTime = 0;  // host time (ns) at which the buffer's first frame was captured
  double sampleTime = 0;  // frames since the engine started
  double sampleRate = 0;
};

// Called on the render thread with each captured buffer; the buffer is
// only valid during the call.
using AudioNodeTapBlock = std::function<void(const PCMBuffer& buffer, const AudioTime& when)>;

// Property of an output unit: the device it runs on.
inline constexpr uint32_t kAudioOutputUnitProperty_CurrentDevice = 2000;

class AudioUnit {
 public:
  // Binds the unit to a device, as kAudioOutputUnitProperty_CurrentDevice
  // does; the engine then no longer follows the default input.
  hal::OSStatus setCurrentDevice(hal::AudioObjectID device);
  // The bound device, or the default input when none was set (0: none).
  hal::AudioObjectID currentDevice() const;
  uint32_t maximumFramesToRender() const;

 private:
  friend class InputNode;
  explicit AudioUnit(sim::EngineCore* core) : core_(core) {}
  sim::EngineCore* core_;
};

class InputNode {
 public:
  // The hardware format of the input device: 32-bit float,
  // deinterleaved, the device's nominal rate and input channels; rate 0
  // and no channels when there is no usable input device.
  AudioFormat inputFormat(uint32_t bus) const;
  // The format the node delivers, which a tap receives.
  AudioFormat outputFormat(uint32_t bus) const;

  // Installs the one tap of bus 0. `bufferSize` frames arrive per call.
  // Without a format the tap receives the output format; a given format
  // must be 32-bit float at the same sample rate. False when a tap is
  // already installed or the request is invalid.
  bool installTap(uint32_t bus, uint32_t bufferSize, const std::optional<AudioFormat>& format, AudioNodeTapBlock block);
  // Synchronous: once it returns the tap block is not running and will
  // not run again (unless called from the block itself).
  void removeTap(uint32_t bus);

  AudioUnit& audioUnit() { return unit_; }
  const AudioUnit& audioUnit() const { return unit_; }
  uint32_t maximumFramesToRender() const { return unit_.maximumFramesToRender(); }

 private:
  friend class AudioEngine;
  explicit InputNode(sim::EngineCore* core) : core_(core), unit_(core) {}
  sim::EngineCore* core_;
  AudioUnit unit_;
};

class AudioEngine {
 public:
  AudioEngine();
  ~AudioEngine();
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  InputNode& inputNode() { return input_; }
  const InputNode& inputNode() const { return input_; }

  void prepare();
  // Starts rendering. False with a description when the engine cannot
  // start (no usable input device, or the platform refused).
  bool start(std::string* errorDescription = nullptr);
  // Synchronous: once it returns no tap block is running or will run.
  void stop();
  // Stops and forgets the device the engine had bound.
  void reset();
  bool isRunning() const;

  // Configuration changes of this engine. The handler runs on `queue`, or
  // on a platform thread when the queue is null; never inline.
  using ObserverToken = uint64_t;
  ObserverToken addConfigurationChangeObserver(dispatch::QueuePtr queue, std::function<void()> handler);
  // Once it returns the handler is not started again.
  void removeConfigurationChangeObserver(ObserverToken token);

 private:
  std::shared_ptr<sim::EngineCore> core_;
  InputNode input_;
};

}  // namespace platform::audio
