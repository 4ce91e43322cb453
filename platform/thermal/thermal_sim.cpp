// Simulated thermal state: nominal, unless the scenario's "thermal"
// section scripts changes: {"events": [{"at_ms": 1500, "state": 2}]},
// times counted from the first observer's registration.
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/sim/scenario.h"
#include "platform/thermal/thermal.h"

namespace platform::thermal {
namespace {

struct Observer {
  dispatch::QueuePtr queue;
  std::function<void()> handler;
};

struct State {
  std::atomic<int> current{0};
  std::mutex mu;
  std::vector<Observer> observers;
  bool scheduled = false;
};

State& state() {
  static State* s = new State();
  return *s;
}

void change(int value) {
  auto& s = state();
  s.current.store(value);
  std::vector<Observer> copy;
  {
    std::lock_guard lock(s.mu);
    copy = s.observers;
  }
  for (auto& o : copy) o.queue->async(o.handler);
}

void scheduleScriptedChanges() {
  const auto& section = sim::scenarioSection("thermal");
  auto events = section.find("events");
  if (events == section.end() || !events->is_array()) return;
  for (const auto& e : *events) {
    if (!e.is_object()) continue;
    const int64_t atMs = e.value("at_ms", int64_t{0});
    const int value = e.value("state", 0);
    dispatch::globalQueue(dispatch::Qos::utility)
        ->asyncAfter(static_cast<uint64_t>(atMs < 0 ? 0 : atMs) * 1'000'000ULL, [value] { change(value); });
  }
}

}  // namespace

ThermalState currentState() { return static_cast<ThermalState>(state().current.load()); }

void addThermalStateObserver(dispatch::QueuePtr queue, std::function<void()> handler) {
  auto& s = state();
  bool first;
  {
    std::lock_guard lock(s.mu);
    s.observers.push_back(Observer{std::move(queue), std::move(handler)});
    first = !s.scheduled;
    s.scheduled = true;
  }
  if (first) scheduleScriptedChanges();
}

}  // namespace platform::thermal
