#pragma once
// The checks of the device-following test mode: the follow-back window,
// the table's size limit and age eviction under a manual clock, and the
// debounce on real timers of a private serial queue.
#include <cstdint>
#include <functional>
#include <memory>

#include "helper/routing/device_following.h"
#include "helper/selftest/test_report.h"

namespace helper {

// Builds the state each case drives, from the case's clock and parameters.
using DeviceFollowingFactory = std::function<std::shared_ptr<DeviceFollowingState>(
    DeviceFollowingState::Clock clock, uint64_t debounceWindowNs, uint64_t recentlyDisconnectedWindowNs,
    int maxDisconnectedEntries)>;

// The production state with exactly those arguments.
std::shared_ptr<DeviceFollowingState> makeDeviceFollowingState(DeviceFollowingState::Clock clock,
                                                               uint64_t debounceWindowNs,
                                                               uint64_t recentlyDisconnectedWindowNs,
                                                               int maxDisconnectedEntries);

// The twelve checks, in order, reported quietly (failures only) on `report`.
// The debounce cases sleep the calling thread about half a second in all.
void runDeviceFollowingChecks(TestReport& report, const DeviceFollowingFactory& make);

}  // namespace helper
