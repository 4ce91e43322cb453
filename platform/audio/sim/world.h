#pragma once
// The simulated audio world behind platform/audio/hal and
// platform/audio/engine: devices, defaults, listeners, process taps,
// aggregate devices, IO procs, engines, scripted events and faults.
//
// One mutex guards the world. Nothing is called back while it is held:
// mutations collect their effects (streams to stop, notifications to
// post) and carry them out after unlocking, so listeners and observers are
// always asynchronous and stops can wait for a running callback. A method
// named ...Unlocked is called with the mutex held and does not take it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/audio/engine/engine.h"
#include "platform/audio/hal/hal.h"
#include "platform/audio/sim/signal.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio::sim {

using hal::AudioObjectID;
using hal::OSStatus;

enum class ClockMode { realTime, manual };

struct DeviceConfig {
  AudioObjectID id = 0;  // 0: the world assigns one
  std::optional<std::string> uid;
  std::optional<std::string> name;
  std::optional<uint32_t> transport = hal::kAudioDeviceTransportTypeBuiltIn;  // nothing: unreadable
  double nominalRate = 48000;
  std::optional<double> actualRate;  // frames per second really delivered; nominal when unset
  uint32_t inputChannels = 0;
  uint32_t outputChannels = 0;
  std::optional<uint32_t> dataSource;  // output data source; nothing: no such property
  bool alive = true;
  Signal signal;                        // what an input hears, or what an output plays
  uint32_t bufferFrames = 512;          // frames per IO cycle
  std::optional<double> tapRate;        // rate a process tap reports while this is the default output
  std::optional<double> aggregateRate;  // nominal rate of an aggregate device built on it
  // Each buffer's host time stamp lies off its true time by a uniform
  // random amount within this many milliseconds either way.
  double timestampJitterMs = 0;

  double rate() const { return actualRate.value_or(nominalRate); }
};

struct EchoConfig {
  bool enabled = false;
  double delayMs = 0;
  double gain = 0;
  // Input devices that hear the default output; none listed: every
  // built-in input.
  std::vector<std::string> inputs;
};

// The named calls that faults can fail.
inline constexpr const char* kFaultProcessTap = "process_tap";
inline constexpr const char* kFaultAggregateDevice = "aggregate_device";
inline constexpr const char* kFaultIOProc = "io_proc";
inline constexpr const char* kFaultDeviceStart = "device_start";
inline constexpr const char* kFaultEngineStart = "engine_start";
inline constexpr const char* kFaultSetInputDevice = "set_input_device";

struct FaultConfig {
  std::string call;
  OSStatus status = hal::kAudioHardwareUnspecifiedError;
  int64_t times = 1;     // below 0: every call
  uint64_t afterNs = 0;  // world time from which it applies
};

struct EventAction {
  enum class Kind {
    addDevice,
    removeDevice,
    setDefaultInput,
    setDefaultOutput,
    setDefaultSystemOutput,
    setNominalRate,
    setActualRate,
    setAlive,
    setDataSource,
    stall,
  };
  Kind kind = Kind::removeDevice;
  std::string device;  // uid (empty with a default change: no default)
  DeviceConfig newDevice;
  double rate = 0;
  bool alive = true;
  std::optional<uint32_t> dataSource;
  uint64_t durationNs = 0;
};

struct ScriptedEvent {
  uint64_t atNs = 0;
  EventAction action;
};

struct DefaultChoice {
  bool given = false;
  std::optional<std::string> uid;  // given with nothing: no default device
};

struct WorldConfig {
  ClockMode clock = ClockMode::realTime;
  std::vector<DeviceConfig> devices;
  DefaultChoice defaultInput, defaultOutput, defaultSystemOutput;
  EchoConfig echo;
  std::vector<FaultConfig> faults;
  std::vector<ScriptedEvent> events;
};

// Built-in microphone and speakers, both 48 kHz and both defaults.
WorldConfig defaultWorldConfig(ClockMode clock = ClockMode::realTime);
// The "audio" section of a scenario. Throws std::invalid_argument.
WorldConfig parseWorldConfig(const nlohmann::json& audio);
DeviceConfig parseDeviceConfig(const nlohmann::json& j);

using PropertyValue = std::variant<uint32_t, double, std::optional<std::string>, std::vector<AudioObjectID>,
                                   hal::AudioStreamBasicDescription>;

class World;

// What a stream renders from: the device's own signal and, for an input
// on the echo path, the default output's signal delayed.
struct RenderSources {
  Signal primary;
  bool hasEcho = false;
  Signal echo;
  double echoDelaySec = 0;
  double echoGain = 0;
};

struct Tick {
  double dueNs = 0;
  // The host time of the buffer's first frame: when the device captured
  // (or played) it, as a real device stamps its buffers.
  uint64_t hostTimeNs = 0;
  double firstFrameNs = 0;  // the same moment in world time, which the signals are rendered at
  double rate = 0;          // frames per second really delivered
  double sampleTime = 0;    // frames delivered by this stream before this one
  uint32_t frames = 0;
  RenderSources sources;
};

// One clocked callback source (an IO proc or an engine tap), ticked by
// its own thread in real time or by World::advance on the manual clock.
class Stream : public std::enable_shared_from_this<Stream> {
 public:
  Stream(AudioObjectID device, uint32_t frames) : device_(device), frames_(frames) {}
  virtual ~Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  AudioObjectID device() const { return device_; }
  uint32_t frames() const { return frames_; }

  // Renders and calls the client unless the stream was stopped.
  void deliverGuarded(const Tick& tick);
  // Synchronous: no callback runs once it returns (called from the
  // callback itself, none starts again).
  void stop();
  void startThread(World& world);

  // Guarded by the world mutex.
  double nextDueNs = 0;
  double nextFrameNs = 0;  // world time of the next buffer's first frame
  double sampleTime = 0;
  double lastRate = 0;

 protected:
  virtual void deliver(const Tick& tick) = 0;
  // The name of the stream's thread in real time, telling an engine's input
  // tap from an IO proc in per-thread measurements.
  virtual const char* threadName() const = 0;
  // Fills `out` with `tick.frames` mono samples.
  static void renderMono(const Tick& tick, float* out);

 private:
  void threadMain(World* world);

  const AudioObjectID device_;
  const uint32_t frames_;

  std::mutex gateMu_;  // held while the client runs
  bool active_ = true;
  std::atomic<std::thread::id> runner_{};

  std::mutex threadMu_;
  std::condition_variable threadCv_;
  bool threadStop_ = false;
  std::thread thread_;
};

struct EngineCore {
  // All guarded by the world mutex.
  std::optional<AudioObjectID> explicitDevice;
  bool running = false;
  AudioObjectID boundDevice = 0;
  double boundRate = 0;
  uint32_t boundChannels = 0;
  bool tapInstalled = false;
  uint32_t tapFrames = 0;
  std::optional<AudioFormat> tapFormat;
  std::shared_ptr<AudioNodeTapBlock> tapBlock;
  std::shared_ptr<Stream> stream;
  double framesRendered = 0;
  struct Observer {
    uint64_t id = 0;
    dispatch::QueuePtr queue;
    std::shared_ptr<std::function<void()>> handler;
    std::shared_ptr<std::atomic<bool>> live;
  };
  std::vector<Observer> observers;
  uint64_t nextObserverID = 1;
};

class World {
 public:
  // The process's world, loaded on first use from the scenario file (the
  // default world without one).
  static World& shared();

  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // ---- clock ----
  uint64_t nowNs() const;
  uint64_t hostTimeForNs(double worldNs) const;
  // Manual clock only: runs every callback and event due up to now + ns on
  // the calling thread, in time order.
  void advance(uint64_t ns);

  // ---- configuration ----
  // Stops everything and replaces the world (listeners, taps, aggregate
  // devices and IO procs are dropped; engines are stopped).
  void load(const WorldConfig& config);
  AudioObjectID addDevice(const DeviceConfig& device);
  bool removeDevice(AudioObjectID id);
  bool setDefaultInput(AudioObjectID id);
  bool setDefaultOutput(AudioObjectID id);
  bool setDefaultSystemOutput(AudioObjectID id);
  bool setNominalRate(AudioObjectID id, double rate);
  bool setActualRate(AudioObjectID id, double rate);
  bool setAlive(AudioObjectID id, bool alive);
  bool setDataSource(AudioObjectID id, std::optional<uint32_t> dataSource);
  bool stall(AudioObjectID id, uint64_t durationNs);
  void setEcho(const EchoConfig& echo);
  void addFault(const FaultConfig& fault);
  void scheduleEvent(const ScriptedEvent& event);
  AudioObjectID deviceIDForUID(const std::string& uid) const;

  // ---- hal ----
  OSStatus readProperty(AudioObjectID object, const hal::AudioObjectPropertyAddress& address,
                        std::optional<uint32_t> qualifier, PropertyValue& out) const;
  OSStatus addListener(AudioObjectID object, const hal::AudioObjectPropertyAddress& address, dispatch::QueuePtr queue,
                       hal::AudioObjectPropertyListenerBlock block, hal::PropertyListenerID* outID);
  OSStatus removeListener(AudioObjectID object, hal::PropertyListenerID id);
  OSStatus createProcessTap(const hal::TapDescription& description, AudioObjectID* outID);
  OSStatus destroyProcessTap(AudioObjectID tap);
  OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID* outID);
  OSStatus destroyAggregateDevice(AudioObjectID device);
  OSStatus createIOProc(AudioObjectID device, hal::AudioDeviceIOProc proc, void* client,
                        hal::AudioDeviceIOProcID* outID);
  OSStatus destroyIOProc(AudioObjectID device, hal::AudioDeviceIOProcID id);
  OSStatus startIOProc(AudioObjectID device, hal::AudioDeviceIOProcID id);
  OSStatus stopIOProc(AudioObjectID device, hal::AudioDeviceIOProcID id);

  // ---- engines ----
  std::shared_ptr<EngineCore> createEngine();
  void destroyEngine(const std::shared_ptr<EngineCore>& core);
  AudioFormat engineInputFormat(const EngineCore& core) const;
  uint32_t engineMaximumFrames(const EngineCore& core) const;
  AudioObjectID engineCurrentDevice(const EngineCore& core) const;
  OSStatus engineSetCurrentDevice(EngineCore& core, AudioObjectID device);
  bool engineInstallTap(EngineCore& core, uint32_t frames, const std::optional<AudioFormat>& format,
                        AudioNodeTapBlock block);
  void engineRemoveTap(EngineCore& core);
  bool engineStart(EngineCore& core, std::string* error);
  void engineStop(EngineCore& core, bool forgetDevice);
  bool engineIsRunning(const EngineCore& core) const;
  uint64_t engineAddObserver(EngineCore& core, dispatch::QueuePtr queue, std::function<void()> handler);
  void engineRemoveObserver(EngineCore& core, uint64_t id);

  // Called by a stream's thread or by advance(): the next tick, or
  // nothing when the device cannot deliver now (gone, dead, stalled).
  std::optional<Tick> prepareTick(Stream& stream);
  double nextDueOf(const Stream& stream) const;

 private:
  struct Device {
    DeviceConfig config;
    bool isAggregate = false;
    AudioObjectID mainDevice = 0;  // aggregates: the clock device
    std::vector<std::string> tapUIDs;
    uint64_t stalledUntilNs = 0;
    // Draws the jitter of the stamps of buffers on this device's clock;
    // seeded from its uid, so a world stamps alike every time.
    std::mt19937_64 stampJitter;
    AudioObjectID inputStream = 0;
    AudioObjectID outputStream = 0;
  };
  struct Tap {
    hal::TapDescription description;
    hal::AudioStreamBasicDescription format;
  };
  struct Listener {
    hal::PropertyListenerID id = 0;
    AudioObjectID object = 0;
    hal::AudioObjectPropertyAddress address;
    dispatch::QueuePtr queue;
    std::shared_ptr<hal::AudioObjectPropertyListenerBlock> block;
    std::shared_ptr<std::atomic<bool>> live;
  };
  struct IOProc {
    AudioObjectID device = 0;
    hal::AudioDeviceIOProc proc = nullptr;
    void* client = nullptr;
    std::shared_ptr<Stream> stream;
  };
  struct Fault {
    FaultConfig config;
    int64_t remaining = 1;
  };
  struct Delivery {
    dispatch::QueuePtr queue;
    std::function<void()> task;
  };
  // What a mutation leaves to do once the lock is released.
  // Callbacks and queues of the caller are released here too, after the
  // lock, since destroying them may run arbitrary code.
  struct Effects {
    std::vector<std::shared_ptr<Stream>> streamsToStop;
    std::vector<Delivery> deliveries;
    std::vector<Listener> oldListeners;
    std::vector<EngineCore::Observer> oldObservers;
    std::vector<std::shared_ptr<AudioNodeTapBlock>> oldTapBlocks;
  };

  void apply(Effects&& effects);
  void resetUnlocked(Effects& effects);
  void configureUnlocked(const WorldConfig& config);
  AudioObjectID allocateIDUnlocked() const;
  bool idInUseUnlocked(AudioObjectID id) const;
  const Device* usableInputUnlocked(AudioObjectID id) const;
  bool isEchoTargetUnlocked(const Device& device) const;
  AudioObjectID addDeviceUnlocked(DeviceConfig device, Effects& effects);
  const Device* findDeviceUnlocked(AudioObjectID id) const;
  Device* findDeviceUnlocked(AudioObjectID id);
  AudioObjectID findByUIDUnlocked(const std::string& uid) const;
  AudioObjectID firstDeviceUnlocked(bool input, AudioObjectID except) const;
  void notifyUnlocked(AudioObjectID object, const hal::AudioObjectPropertyAddress& address, Effects& effects);
  bool setDefaultUnlocked(AudioObjectID& slot, hal::AudioObjectPropertySelector selector, AudioObjectID id,
                          Effects& effects);
  std::optional<OSStatus> takeFaultUnlocked(const std::string& call);
  AudioObjectID effectiveEngineDeviceUnlocked(const EngineCore& core) const;
  void stopEngineUnlocked(EngineCore& core, bool notify, Effects& effects);
  void reconcileEnginesUnlocked(Effects& effects);
  void startStreamUnlocked(const std::shared_ptr<Stream>& stream, AudioObjectID clockDevice);
  void unregisterStreamUnlocked(const std::shared_ptr<Stream>& stream);
  AudioObjectID clockDeviceUnlocked(AudioObjectID device) const;
  RenderSources sourcesUnlocked(AudioObjectID device) const;
  OSStatus readPropertyUnlocked(AudioObjectID object, const hal::AudioObjectPropertyAddress& address,
                                std::optional<uint32_t> qualifier, PropertyValue& out) const;
  void applyEvent(const EventAction& action);
  void startEventThreadUnlocked();
  void eventThreadMain();

  static constexpr AudioObjectID kFirstObjectID = 40;

  mutable std::mutex mu_;
  std::atomic<ClockMode> mode_{ClockMode::realTime};
  std::atomic<uint64_t> manualNowNs_{0};
  std::atomic<uint64_t> realStartNs_{0};
  std::mutex advanceMu_;  // one advance at a time

  mutable AudioObjectID nextID_ = kFirstObjectID;
  std::vector<AudioObjectID> deviceOrder_;
  std::map<AudioObjectID, Device> devices_;
  std::map<AudioObjectID, Tap> taps_;
  mutable std::map<int32_t, AudioObjectID> processes_;
  AudioObjectID defaultInput_ = 0;
  AudioObjectID defaultOutput_ = 0;
  AudioObjectID defaultSystemOutput_ = 0;
  EchoConfig echo_;
  std::vector<Fault> faults_;
  std::vector<Listener> listeners_;
  hal::PropertyListenerID nextListenerID_ = 1;
  std::map<hal::AudioDeviceIOProcID, IOProc> ioProcs_;
  hal::AudioDeviceIOProcID nextIOProcID_ = 1;
  std::vector<std::weak_ptr<EngineCore>> engines_;
  std::vector<std::shared_ptr<Stream>> streams_;
  std::vector<ScriptedEvent> pendingEvents_;  // sorted by time, then order of scheduling

  std::condition_variable eventsCv_;
  std::thread eventThread_;
  bool eventThreadStop_ = false;

  dispatch::QueuePtr notificationQueue_;
};

}  // namespace platform::audio::sim
