#pragma once
// The process's thermal state and its change notification.
#include <cstdint>
#include <functional>

#include "platform/dispatch/dispatch.h"

namespace platform::thermal {

// 0 nominal, 1 fair, 2 serious, 3 critical.
enum class ThermalState : int { nominal = 0, fair = 1, serious = 2, critical = 3 };

ThermalState currentState();

// Calls `handler` on `queue` after each change of the thermal state. The
// observer stays for the life of the process.
void addThermalStateObserver(dispatch::QueuePtr queue, std::function<void()> handler);

}  // namespace platform::thermal
