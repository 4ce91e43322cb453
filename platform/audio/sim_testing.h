#pragma once
// Test interface of the simulated audio world: script devices, defaults,
// faults, echo and timed events, and drive the manual clock. For tests
// only; the programs never include it.
//
// The world is process-wide. A test loads the world it needs first (for
// example resetWorld() or loadWorld(...)), which also stops and forgets
// whatever an earlier test left running.
#include <cstddef>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/audio/sim/signal.h"
#include "platform/audio/sim/world.h"
#include "platform/dispatch/dispatch.h"

namespace platform::audio::sim::testing {

// An empty world (no devices, no defaults) on the given clock.
void resetWorld(ClockMode clock = ClockMode::manual);
// The default world (built-in microphone and speakers) on the given clock.
void loadDefaultWorld(ClockMode clock = ClockMode::manual);
// A world described like the "audio" section of a scenario file, with
// the clock forced when one is given. Throws std::invalid_argument.
void loadWorld(const nlohmann::json& audio);
void loadWorld(const nlohmann::json& audio, ClockMode clock);
// The "audio" section of a scenario file, read the way the programs read
// the file named by VORLANTHEA_SIM_SCENARIO. Throws std::invalid_argument.
void loadWorldFromScenarioFile(const std::string& path);

hal::AudioObjectID addDevice(const DeviceConfig& device);
bool removeDevice(hal::AudioObjectID id);
bool setDefaultInput(hal::AudioObjectID id);
bool setDefaultOutput(hal::AudioObjectID id);
bool setDefaultSystemOutput(hal::AudioObjectID id);
bool setNominalRate(hal::AudioObjectID id, double rate);
bool setActualRate(hal::AudioObjectID id, double rate);
bool setAlive(hal::AudioObjectID id, bool alive);
bool setDataSource(hal::AudioObjectID id, std::optional<uint32_t> dataSource);
bool stallDevice(hal::AudioObjectID id, uint64_t durationNs);
void setEcho(const EchoConfig& echo);
void injectFault(const FaultConfig& fault);
void scheduleEvent(uint64_t atNs, const EventAction& action);
hal::AudioObjectID deviceIDForUID(const std::string& uid);

// World time in nanoseconds (starts at 0 when a world is loaded).
uint64_t nowNs();
// Manual clock: runs every IO callback, tap and event due within the next
// `ns` on the calling thread.
void advance(uint64_t ns);

// A queue that runs only when the test says so, on the test's thread:
// listener and observer deliveries wait in it until runPending().
class ManualQueue final : public dispatch::Queue {
 public:
  explicit ManualQueue(std::string label = "manual-queue") : Queue(std::move(label)) {}
  void async(dispatch::Task task) override;
  bool isCurrent() const override;
  // Runs the queued tasks, and those they queue, in order; returns how
  // many ran.
  size_t runPending();
  size_t pendingCount() const;

 private:
  mutable std::mutex mu_;
  std::deque<dispatch::Task> tasks_;
};

std::shared_ptr<ManualQueue> makeManualQueue(std::string label = "manual-queue");

}  // namespace platform::audio::sim::testing
