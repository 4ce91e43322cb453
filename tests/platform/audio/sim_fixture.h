#pragma once
// Helpers for tests that script the simulated audio world.
#include <gtest/gtest.h>

#include <string>

#include "platform/audio/hal/hal.h"
#include "platform/audio/sim_testing.h"

namespace simtest {

namespace hal = platform::audio::hal;
namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;

inline constexpr uint64_t kMs = 1'000'000ULL;
inline constexpr uint64_t kSec = 1'000'000'000ULL;

inline hal::AudioObjectPropertyAddress global(uint32_t selector) {
  return {selector, hal::kAudioObjectPropertyScopeGlobal, hal::kAudioObjectPropertyElementMain};
}

inline sim::DeviceConfig inputDevice(const std::string& uid, double rate = 48000, uint32_t channels = 1,
                                     uint32_t transport = hal::kAudioDeviceTransportTypeBuiltIn) {
  sim::DeviceConfig d;
  d.uid = uid;
  d.name = uid + " name";
  d.transport = transport;
  d.nominalRate = rate;
  d.inputChannels = channels;
  return d;
}

inline sim::DeviceConfig outputDevice(const std::string& uid, double rate = 48000, uint32_t channels = 2,
                                      uint32_t transport = hal::kAudioDeviceTransportTypeBuiltIn) {
  sim::DeviceConfig d = inputDevice(uid, rate, 0, transport);
  d.outputChannels = channels;
  return d;
}

inline uint32_t readU32(hal::AudioObjectID object, uint32_t selector) {
  uint32_t v = 0xFFFFFFFF;
  EXPECT_EQ(hal::getPropertyUInt32(object, global(selector), v), hal::kAudioHardwareNoError);
  return v;
}

// Every test starts from an empty world on the manual clock.
class ManualWorldTest : public ::testing::Test {
 protected:
  void SetUp() override { simt::resetWorld(sim::ClockMode::manual); }
  void TearDown() override { simt::resetWorld(sim::ClockMode::manual); }
};

}  // namespace simtest
