#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/audio/engine/engine.h"
#include "tests/platform/audio/sim_fixture.h"

namespace {

using namespace simtest;

using HalObjects = ManualWorldTest;
using HalListeners = ManualWorldTest;
using HalTapsAndAggregates = ManualWorldTest;

TEST_F(HalObjects, DefaultWorldHasBuiltInMicAndSpeakersAsDefaults) {
  simt::loadDefaultWorld(sim::ClockMode::manual);
  const uint32_t mic = readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice);
  const uint32_t out = readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultOutputDevice);
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultSystemOutputDevice), out);
  ASSERT_NE(mic, 0u);
  ASSERT_NE(out, 0u);
  EXPECT_NE(mic, out);
  for (uint32_t dev : {mic, out}) {
    EXPECT_EQ(readU32(dev, hal::kAudioDevicePropertyTransportType), hal::kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(readU32(dev, hal::kAudioDevicePropertyDeviceIsAlive), 1u);
    double rate = 0;
    EXPECT_EQ(hal::getPropertyFloat64(dev, global(hal::kAudioDevicePropertyNominalSampleRate), rate),
              hal::kAudioHardwareNoError);
    EXPECT_EQ(rate, 48000.0);
  }
  std::optional<std::string> uid;
  ASSERT_EQ(hal::getPropertyString(mic, global(hal::kAudioDevicePropertyDeviceUID), uid), hal::kAudioHardwareNoError);
  EXPECT_EQ(uid, "BuiltInMicrophoneDevice");
  uint32_t source = 0;
  EXPECT_EQ(hal::getPropertyUInt32(out, {hal::kAudioDevicePropertyDataSource, hal::kAudioObjectPropertyScopeOutput, 0},
                                   source),
            hal::kAudioHardwareNoError);
  EXPECT_EQ(source, hal::kAudioDataSourceInternalSpeaker);
}

TEST_F(HalObjects, ReadsFailWithAStatusTheCallerSees) {
  const auto mic = simt::addDevice(inputDevice("mic"));
  double d = 0;
  uint32_t u = 0;
  std::vector<hal::AudioObjectID> ids;
  // Wrong value type, unknown selector, data source outside the output scope.
  EXPECT_EQ(hal::getPropertyFloat64(mic, global(hal::kAudioDevicePropertyTransportType), d),
            hal::kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(hal::getPropertyUInt32(mic, global(hal::fourCharCode("zzzz")), u), hal::kAudioHardwareUnknownPropertyError);
  EXPECT_EQ(hal::getPropertyUInt32(mic, global(hal::kAudioDevicePropertyDataSource), u),
            hal::kAudioHardwareUnknownPropertyError);
  EXPECT_EQ(hal::getPropertyUInt32(12345, global(hal::kAudioDevicePropertyTransportType), u),
            hal::kAudioHardwareBadObjectError);
  // An unreadable transport and a null name.
  sim::DeviceConfig odd = inputDevice("odd");
  odd.transport.reset();
  odd.name.reset();
  const auto oddID = simt::addDevice(odd);
  EXPECT_EQ(hal::getPropertyUInt32(oddID, global(hal::kAudioDevicePropertyTransportType), u),
            hal::kAudioHardwareUnknownPropertyError);
  std::optional<std::string> name = "x";
  EXPECT_EQ(hal::getPropertyString(oddID, global(hal::kAudioObjectPropertyName), name), hal::kAudioHardwareNoError);
  EXPECT_FALSE(name.has_value());
  // The device list in order, with sizes of 4 bytes an object.
  uint32_t size = 0;
  EXPECT_EQ(hal::getPropertyDataSize(hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices), size),
            hal::kAudioHardwareNoError);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(hal::getPropertyObjectIDs(hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices), ids),
            hal::kAudioHardwareNoError);
  EXPECT_EQ(ids, (std::vector<hal::AudioObjectID>{mic, oddID}));
  // Streams by direction.
  EXPECT_EQ(
      hal::getPropertyDataSize(mic, {hal::kAudioDevicePropertyStreams, hal::kAudioObjectPropertyScopeInput, 0}, size),
      hal::kAudioHardwareNoError);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(
      hal::getPropertyDataSize(mic, {hal::kAudioDevicePropertyStreams, hal::kAudioObjectPropertyScopeOutput, 0}, size),
      hal::kAudioHardwareNoError);
  EXPECT_EQ(size, 0u);
}

TEST_F(HalObjects, TranslatesPidsToProcessObjects) {
  const auto addr = global(hal::kAudioHardwarePropertyTranslatePIDToProcessObject);
  uint32_t self = 0, again = 0, none = 7;
  ASSERT_EQ(hal::getPropertyUInt32(hal::kAudioObjectSystemObject, addr, static_cast<uint32_t>(getpid()), self),
            hal::kAudioHardwareNoError);
  EXPECT_NE(self, 0u);
  hal::getPropertyUInt32(hal::kAudioObjectSystemObject, addr, static_cast<uint32_t>(getpid()), again);
  EXPECT_EQ(again, self);
  // A pid that names no process has no process object (and no error).
  ASSERT_EQ(hal::getPropertyUInt32(hal::kAudioObjectSystemObject, addr, 0x7FFFFFF0u, none), hal::kAudioHardwareNoError);
  EXPECT_EQ(none, 0u);
  // The translation needs its qualifier.
  EXPECT_EQ(hal::getPropertyUInt32(hal::kAudioObjectSystemObject, addr, none), hal::kAudioHardwareBadPropertySizeError);
}

TEST_F(HalListeners, DeviceAddedMadeDefaultAndRemovedNotifiesOnTheListenersQueueOnly) {
  const auto builtIn = simt::addDevice(inputDevice("builtin"));
  // The first input of an empty world becomes the default.
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), builtIn);
  auto queue = simt::makeManualQueue();
  std::vector<std::pair<uint32_t, bool>> seen;  // selector, delivered on the queue
  auto record = [&](uint32_t n, const hal::AudioObjectPropertyAddress* a) {
    for (uint32_t i = 0; i < n; ++i) seen.emplace_back(a[i].selector, queue->isCurrent());
  };
  hal::PropertyListenerID devices = 0, defaults = 0;
  ASSERT_EQ(hal::addPropertyListenerBlock(hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices),
                                          queue, record, &devices),
            hal::kAudioHardwareNoError);
  ASSERT_EQ(
      hal::addPropertyListenerBlock(hal::kAudioObjectSystemObject,
                                    global(hal::kAudioHardwarePropertyDefaultInputDevice), queue, record, &defaults),
      hal::kAudioHardwareNoError);

  const auto headset = simt::addDevice(inputDevice("headset", 16000, 1, hal::kAudioDeviceTransportTypeBluetooth));
  EXPECT_TRUE(seen.empty());  // never inline
  EXPECT_EQ(queue->runPending(), 1u);

  hal::PropertyListenerID alive = 0;
  ASSERT_EQ(
      hal::addPropertyListenerBlock(headset, global(hal::kAudioDevicePropertyDeviceIsAlive), queue, record, &alive),
      hal::kAudioHardwareNoError);
  ASSERT_TRUE(simt::setDefaultInput(headset));
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), headset);
  EXPECT_EQ(queue->runPending(), 1u);

  ASSERT_TRUE(simt::removeDevice(headset));
  EXPECT_EQ(queue->pendingCount(), 3u);  // alive, device list, default input
  queue->runPending();
  // The default falls back to the remaining input; reads of the removed device fail.
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), builtIn);
  uint32_t v = 0;
  EXPECT_EQ(hal::getPropertyUInt32(headset, global(hal::kAudioDevicePropertyDeviceIsAlive), v),
            hal::kAudioHardwareBadObjectError);

  const std::vector<std::pair<uint32_t, bool>> want = {{hal::kAudioHardwarePropertyDevices, true},
                                                       {hal::kAudioHardwarePropertyDefaultInputDevice, true},
                                                       {hal::kAudioDevicePropertyDeviceIsAlive, true},
                                                       {hal::kAudioHardwarePropertyDevices, true},
                                                       {hal::kAudioHardwarePropertyDefaultInputDevice, true}};
  EXPECT_EQ(seen, want);
}

TEST_F(HalListeners, RemovedListenerIsNotCalledEvenWithADeliveryQueued) {
  simt::addDevice(outputDevice("builtin"));
  auto queue = simt::makeManualQueue();
  int calls = 0;
  hal::PropertyListenerID id = 0;
  ASSERT_EQ(hal::addPropertyListenerBlock(
                hal::kAudioObjectSystemObject,
                {hal::kAudioObjectPropertySelectorWildcard, hal::kAudioObjectPropertyScopeWildcard,
                 hal::kAudioObjectPropertyElementWildcard},
                queue, [&](uint32_t, const hal::AudioObjectPropertyAddress*) { ++calls; }, &id),
            hal::kAudioHardwareNoError);
  simt::addDevice(outputDevice("speakers"));
  EXPECT_EQ(queue->runPending(), 1u);
  EXPECT_EQ(calls, 1);  // the wildcard heard the device list change
  simt::addDevice(outputDevice("display", 48000, 2, hal::kAudioDeviceTransportTypeHDMI));
  EXPECT_EQ(hal::removePropertyListenerBlock(hal::kAudioObjectSystemObject, global(0), id), hal::kAudioHardwareNoError);
  queue->runPending();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(hal::removePropertyListenerBlock(hal::kAudioObjectSystemObject, global(0), id),
            hal::kAudioHardwareIllegalOperationError);
}

TEST_F(HalListeners, RateDataSourceAndLivenessChangesReachDeviceListeners) {
  const auto out = simt::addDevice(outputDevice("speakers"));
  auto queue = simt::makeManualQueue();
  std::vector<hal::AudioObjectPropertyAddress> seen;
  hal::PropertyListenerID id = 0;
  ASSERT_EQ(
      hal::addPropertyListenerBlock(
          out,
          {hal::kAudioObjectPropertySelectorWildcard, hal::kAudioObjectPropertyScopeWildcard,
           hal::kAudioObjectPropertyElementWildcard},
          queue, [&](uint32_t n, const hal::AudioObjectPropertyAddress* a) { seen.insert(seen.end(), a, a + n); }, &id),
      hal::kAudioHardwareNoError);
  simt::setNominalRate(out, 44100);
  simt::setNominalRate(out, 44100);  // no change, no notification
  simt::setDataSource(out, hal::kAudioDataSourceHeadphones);
  simt::setAlive(out, false);
  simt::setActualRate(out, 44000);  // the device does not know it drifts
  queue->runPending();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], global(hal::kAudioDevicePropertyNominalSampleRate));
  EXPECT_EQ(seen[1], (hal::AudioObjectPropertyAddress{hal::kAudioDevicePropertyDataSource,
                                                      hal::kAudioObjectPropertyScopeOutput, 0}));
  EXPECT_EQ(seen[2], global(hal::kAudioDevicePropertyDeviceIsAlive));
  EXPECT_EQ(readU32(out, hal::kAudioDevicePropertyDeviceIsAlive), 0u);
}

TEST_F(HalListeners, ListenerWithoutAQueueRunsOnAPlatformThread) {
  // Shared with the listener: the signalling thread may still be inside
  // signal() when the waiter moves on.
  auto called = std::make_shared<platform::dispatch::Semaphore>();
  auto onTestThread = std::make_shared<std::atomic<bool>>(true);
  const auto testThread = std::this_thread::get_id();
  hal::PropertyListenerID id = 0;
  ASSERT_EQ(hal::addPropertyListenerBlock(
                hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices), nullptr,
                [called, onTestThread, testThread](uint32_t, const hal::AudioObjectPropertyAddress*) {
                  *onTestThread = std::this_thread::get_id() == testThread;
                  called->signal();
                },
                &id),
            hal::kAudioHardwareNoError);
  simt::addDevice(inputDevice("mic"));
  ASSERT_TRUE(called->waitForNs(10 * kSec));
  EXPECT_FALSE(onTestThread->load());
  hal::removePropertyListenerBlock(hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices), id);
}

TEST_F(HalTapsAndAggregates, TapReportsItsFormatAndUid) {
  sim::DeviceConfig headset = outputDevice("headset", 16000, 1, hal::kAudioDeviceTransportTypeBluetooth);
  headset.tapRate = 48000;  // the tap claims more than the headset runs at
  const auto out = simt::addDevice(headset);
  simt::setDefaultOutput(out);
  auto desc = hal::TapDescription::stereoGlobalTapButExcludeProcesses({});
  hal::AudioObjectID tap = 0;
  ASSERT_EQ(hal::createProcessTap(desc, &tap), hal::kAudioHardwareNoError);
  hal::AudioStreamBasicDescription f;
  ASSERT_EQ(hal::getPropertyStreamDescription(tap, global(hal::kAudioTapPropertyFormat), f),
            hal::kAudioHardwareNoError);
  EXPECT_EQ(f.sampleRate, 48000.0);
  EXPECT_EQ(f.channelsPerFrame, 2u);
  EXPECT_EQ(f.formatID, hal::kAudioFormatLinearPCM);
  EXPECT_EQ(f.formatFlags & hal::kAudioFormatFlagIsNonInterleaved, 0u);
  EXPECT_EQ(f.bytesPerFrame, 8u);
  std::optional<std::string> uid;
  ASSERT_EQ(hal::getPropertyString(tap, global(hal::kAudioTapPropertyUID), uid), hal::kAudioHardwareNoError);
  EXPECT_EQ(uid, desc.uuid);
  EXPECT_EQ(desc.uuid.size(), 36u);
  EXPECT_NE(desc.uuid, hal::makeUUIDString());
  EXPECT_EQ(hal::destroyProcessTap(tap), hal::kAudioHardwareNoError);
  EXPECT_EQ(hal::destroyProcessTap(tap), hal::kAudioHardwareBadObjectError);
}

TEST_F(HalTapsAndAggregates, ScriptedCallFailuresSurfaceAsTheCallersStatus) {
  const auto out = simt::addDevice(outputDevice("speakers"));
  simt::setDefaultOutput(out);
  simt::injectFault({sim::kFaultProcessTap, 1852797029, 1, 0});
  simt::injectFault({sim::kFaultAggregateDevice, -50, -1, 0});
  auto desc = hal::TapDescription::stereoGlobalTapButExcludeProcesses({});
  hal::AudioObjectID tap = 0;
  EXPECT_EQ(hal::createProcessTap(desc, &tap), 1852797029);
  EXPECT_EQ(tap, 0u);
  ASSERT_EQ(hal::createProcessTap(desc, &tap), hal::kAudioHardwareNoError);  // it failed once only
  const nlohmann::json agg = {{hal::kAudioAggregateDeviceUIDKey, "agg-1"},
                              {hal::kAudioAggregateDeviceMainSubDeviceKey, "speakers"},
                              {hal::kAudioAggregateDeviceTapListKey, {{{hal::kAudioSubTapUIDKey, desc.uuid}}}}};
  hal::AudioObjectID dev = 0;
  EXPECT_EQ(hal::createAggregateDevice(agg, &dev), -50);
  EXPECT_EQ(hal::createAggregateDevice(agg, &dev), -50);  // every call

  // A fault that applies from a later time.
  simt::resetWorld(sim::ClockMode::manual);
  simt::addDevice(inputDevice("mic"));
  simt::injectFault({sim::kFaultEngineStart, -10875, 1, 500 * kMs});
  platform::audio::AudioEngine engine;
  std::string why;
  EXPECT_TRUE(engine.start(&why));
  engine.stop();
  simt::advance(500 * kMs);
  EXPECT_FALSE(engine.start(&why));
  EXPECT_NE(why.find("-10875"), std::string::npos) << why;
  EXPECT_FALSE(engine.isRunning());
}

TEST_F(HalTapsAndAggregates, AggregateDeviceFollowsItsDescription) {
  sim::DeviceConfig speakers = outputDevice("speakers", 48000);
  speakers.aggregateRate = 44100;
  const auto out = simt::addDevice(speakers);
  simt::setDefaultOutput(out);
  auto desc = hal::TapDescription::stereoGlobalTapButExcludeProcesses({});
  hal::AudioObjectID tap = 0;
  ASSERT_EQ(hal::createProcessTap(desc, &tap), hal::kAudioHardwareNoError);
  nlohmann::json d = {{hal::kAudioAggregateDeviceNameKey, "Tap Device"},
                      {hal::kAudioAggregateDeviceUIDKey, "agg-uid"},
                      {hal::kAudioAggregateDeviceMainSubDeviceKey, "speakers"},
                      {hal::kAudioAggregateDeviceIsPrivateKey, true},
                      {hal::kAudioAggregateDeviceIsStackedKey, false},
                      {hal::kAudioAggregateDeviceTapAutoStartKey, true},
                      {hal::kAudioAggregateDeviceSubDeviceListKey, {{{hal::kAudioSubDeviceUIDKey, "speakers"}}}},
                      {hal::kAudioAggregateDeviceTapListKey,
                       {{{hal::kAudioSubTapDriftCompensationKey, true}, {hal::kAudioSubTapUIDKey, desc.uuid}}}}};
  hal::AudioObjectID agg = 0;
  ASSERT_EQ(hal::createAggregateDevice(d, &agg), hal::kAudioHardwareNoError);
  EXPECT_EQ(readU32(agg, hal::kAudioDevicePropertyTransportType), hal::kAudioDeviceTransportTypeAggregate);
  double rate = 0;
  hal::getPropertyFloat64(agg, global(hal::kAudioDevicePropertyNominalSampleRate), rate);
  EXPECT_EQ(rate, 44100.0);
  std::optional<std::string> name;
  hal::getPropertyString(agg, global(hal::kAudioObjectPropertyName), name);
  EXPECT_EQ(name, "Tap Device");
  uint32_t size = 0;
  hal::getPropertyDataSize(agg, {hal::kAudioDevicePropertyStreams, hal::kAudioObjectPropertyScopeInput, 0}, size);
  EXPECT_EQ(size, 4u);

  // The same uid twice, a missing main device and an unknown tap are refused.
  hal::AudioObjectID other = 0;
  EXPECT_NE(hal::createAggregateDevice(d, &other), hal::kAudioHardwareNoError);
  d[hal::kAudioAggregateDeviceUIDKey] = "agg-2";
  d[hal::kAudioAggregateDeviceMainSubDeviceKey] = "nope";
  EXPECT_EQ(hal::createAggregateDevice(d, &other), hal::kAudioHardwareBadDeviceError);
  d[hal::kAudioAggregateDeviceMainSubDeviceKey] = "speakers";
  d[hal::kAudioAggregateDeviceTapListKey] = {{{hal::kAudioSubTapUIDKey, "not-a-tap"}}};
  EXPECT_EQ(hal::createAggregateDevice(d, &other), hal::kAudioHardwareIllegalOperationError);

  EXPECT_EQ(hal::destroyAggregateDevice(agg), hal::kAudioHardwareNoError);
  uint32_t v = 0;
  EXPECT_EQ(hal::getPropertyUInt32(agg, global(hal::kAudioDevicePropertyTransportType), v),
            hal::kAudioHardwareBadObjectError);
  EXPECT_EQ(hal::destroyAggregateDevice(out), hal::kAudioHardwareIllegalOperationError);
}

}  // namespace
