#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/audio/sim_testing.h"
#include "platform/sim/scenario.h"

namespace platform::audio::sim::testing {
namespace {
World& world() { return World::shared(); }
thread_local const ManualQueue* tRunning = nullptr;
}  // namespace

void resetWorld(ClockMode clock) {
  WorldConfig c;
  c.clock = clock;
  world().load(c);
}

void loadDefaultWorld(ClockMode clock) { world().load(defaultWorldConfig(clock)); }

void loadWorld(const nlohmann::json& audio) { world().load(parseWorldConfig(audio)); }

void loadWorld(const nlohmann::json& audio, ClockMode clock) {
  WorldConfig c = parseWorldConfig(audio);
  c.clock = clock;
  world().load(c);
}

void loadWorldFromScenarioFile(const std::string& path) {
  std::string error;
  const nlohmann::json s = platform::sim::loadScenarioFile(path, &error);
  if (!error.empty()) throw std::invalid_argument(error);
  auto it = s.find("audio");
  world().load(it == s.end() ? defaultWorldConfig() : parseWorldConfig(*it));
}

hal::AudioObjectID addDevice(const DeviceConfig& device) { return world().addDevice(device); }
bool removeDevice(hal::AudioObjectID id) { return world().removeDevice(id); }
bool setDefaultInput(hal::AudioObjectID id) { return world().setDefaultInput(id); }
bool setDefaultOutput(hal::AudioObjectID id) { return world().setDefaultOutput(id); }
bool setDefaultSystemOutput(hal::AudioObjectID id) { return world().setDefaultSystemOutput(id); }
bool setNominalRate(hal::AudioObjectID id, double rate) { return world().setNominalRate(id, rate); }
bool setActualRate(hal::AudioObjectID id, double rate) { return world().setActualRate(id, rate); }
bool setAlive(hal::AudioObjectID id, bool alive) { return world().setAlive(id, alive); }
bool setDataSource(hal::AudioObjectID id, std::optional<uint32_t> dataSource) {
  return world().setDataSource(id, dataSource);
}
bool stallDevice(hal::AudioObjectID id, uint64_t durationNs) { return world().stall(id, durationNs); }
void setEcho(const EchoConfig& echo) { world().setEcho(echo); }
void injectFault(const FaultConfig& fault) { world().addFault(fault); }
void scheduleEvent(uint64_t atNs, const EventAction& action) { world().scheduleEvent(ScriptedEvent{atNs, action}); }
hal::AudioObjectID deviceIDForUID(const std::string& uid) { return world().deviceIDForUID(uid); }
uint64_t nowNs() { return world().nowNs(); }
void advance(uint64_t ns) { world().advance(ns); }

void ManualQueue::async(dispatch::Task task) {
  std::lock_guard lk(mu_);
  tasks_.push_back(std::move(task));
}

bool ManualQueue::isCurrent() const { return tRunning == this; }

size_t ManualQueue::runPending() {
  const ManualQueue* saved = tRunning;
  tRunning = this;
  size_t ran = 0;
  for (;;) {
    dispatch::Task task;
    {
      std::lock_guard lk(mu_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
  tRunning = saved;
  return ran;
}

size_t ManualQueue::pendingCount() const {
  std::lock_guard lk(mu_);
  return tasks_.size();
}

std::shared_ptr<ManualQueue> makeManualQueue(std::string label) {
  return std::make_shared<ManualQueue>(std::move(label));
}

}  // namespace platform::audio::sim::testing
