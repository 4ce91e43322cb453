#include <atomic>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "tests/platform/audio/sim_fixture.h"

namespace {

using namespace simtest;
using platform::dispatch::Semaphore;

struct Capture {
  std::atomic<int> calls{0};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint32_t> channels{0};
  std::atomic<int> callsAfterStop{0};
  std::atomic<bool> stopReturned{false};
  std::mutex mu;
  std::vector<float> channel0;
  std::vector<double> sampleTimes;
  // Optional: block in the first call until released.
  Semaphore* entered = nullptr;
  Semaphore* release = nullptr;
  // Optional: stop the proc from inside its own call.
  bool stopFromInside = false;
  hal::AudioObjectID device = 0;
  hal::AudioDeviceIOProcID procID = 0;
};

hal::OSStatus captureProc(hal::AudioObjectID, const hal::AudioTimeStamp* now, const hal::AudioBufferList* input,
                          const hal::AudioTimeStamp*, hal::AudioBufferList*, const hal::AudioTimeStamp*, void* client) {
  auto* c = static_cast<Capture*>(client);
  if (c->stopReturned.load()) c->callsAfterStop.fetch_add(1);
  const int n = c->calls.fetch_add(1);
  if (input->numberBuffers > 0) {
    const hal::AudioBuffer& b = input->buffers[0];
    c->channels = b.numberChannels;
    const uint32_t frames = b.dataByteSize / (4 * b.numberChannels);
    c->frames.fetch_add(frames);
    std::lock_guard lk(c->mu);
    const auto* s = static_cast<const float*>(b.data);
    for (uint32_t i = 0; i < frames; ++i) c->channel0.push_back(s[static_cast<size_t>(i) * b.numberChannels]);
    c->sampleTimes.push_back(now->sampleTime);
  }
  if (n == 0 && c->entered != nullptr) {
    c->entered->signal();
    c->release->wait();
  }
  if (c->stopFromInside) {
    hal::deviceStop(c->device, c->procID);
    c->stopReturned = true;
  }
  return hal::kAudioHardwareNoError;
}

// An aggregate device carrying a tap of the given output device.
hal::AudioObjectID makeTapAggregate(const std::string& outputUID) {
  auto desc = hal::TapDescription::stereoGlobalTapButExcludeProcesses({});
  hal::AudioObjectID tap = 0;
  EXPECT_EQ(hal::createProcessTap(desc, &tap), hal::kAudioHardwareNoError);
  const nlohmann::json d = {{hal::kAudioAggregateDeviceUIDKey, hal::makeUUIDString()},
                            {hal::kAudioAggregateDeviceMainSubDeviceKey, outputUID},
                            {hal::kAudioAggregateDeviceTapListKey, {{{hal::kAudioSubTapUIDKey, desc.uuid}}}}};
  hal::AudioObjectID agg = 0;
  EXPECT_EQ(hal::createAggregateDevice(d, &agg), hal::kAudioHardwareNoError);
  return agg;
}

hal::AudioDeviceIOProcID startProc(hal::AudioObjectID device, Capture& c) {
  hal::AudioDeviceIOProcID id = 0;
  EXPECT_EQ(hal::createIOProcID(device, captureProc, &c, &id), hal::kAudioHardwareNoError);
  c.device = device;
  c.procID = id;
  EXPECT_EQ(hal::deviceStart(device, id), hal::kAudioHardwareNoError);
  return id;
}

using IOProcManual = ManualWorldTest;

TEST_F(IOProcManual, TapAggregateDeliversWhatTheOutputPlaysAtItsActualRate) {
  sim::DeviceConfig out = outputDevice("speakers", 48000);
  out.actualRate = 44100;  // claims 48 kHz, runs at 44.1 kHz
  out.bufferFrames = 441;
  out.signal = sim::Signal::tone(1000, 0.5);
  simt::addDevice(out);
  const auto agg = makeTapAggregate("speakers");
  Capture c;
  const auto id = startProc(agg, c);
  simt::advance(kSec);
  EXPECT_EQ(c.frames.load(), 44100u);
  EXPECT_EQ(c.calls.load(), 100);
  EXPECT_EQ(c.channels.load(), 2u);
  ASSERT_GE(c.channel0.size(), 100u);
  for (size_t i = 0; i < 100; ++i) {
    ASSERT_NEAR(c.channel0[i], 0.5 * std::sin(2 * std::numbers::pi * 1000 * i / 44100.0), 1e-5) << i;
  }
  EXPECT_EQ(c.sampleTimes[1], 441.0);
  EXPECT_EQ(hal::deviceStop(agg, id), hal::kAudioHardwareNoError);
  EXPECT_EQ(hal::destroyIOProcID(agg, id), hal::kAudioHardwareNoError);
}

TEST_F(IOProcManual, InputDeviceDeliversItsChannelsInterleaved) {
  sim::DeviceConfig mic = inputDevice("mic", 16000, 3);
  mic.actualRate = 15990;
  mic.signal = sim::Signal::noise(0.3, 7);
  const auto dev = simt::addDevice(mic);
  Capture c;
  startProc(dev, c);
  simt::advance(2 * kSec);
  EXPECT_EQ(c.channels.load(), 3u);
  EXPECT_GE(c.frames.load(), 2u * 15990 - 512);
  EXPECT_LE(c.frames.load(), 2u * 15990);
  EXPECT_GT(*std::max_element(c.channel0.begin(), c.channel0.end()), 0.1f);
}

TEST_F(IOProcManual, NeverRunsAfterStopOrDestroyReturns) {
  const auto dev = simt::addDevice(inputDevice("mic"));
  Capture a, b;
  const auto ida = startProc(dev, a);
  const auto idb = startProc(dev, b);
  simt::advance(100 * kMs);
  ASSERT_GT(a.calls.load(), 0);
  ASSERT_EQ(hal::deviceStop(dev, ida), hal::kAudioHardwareNoError);
  ASSERT_EQ(hal::destroyIOProcID(dev, idb), hal::kAudioHardwareNoError);  // stops it first
  const int ca = a.calls.load(), cb = b.calls.load();
  simt::advance(kSec);
  EXPECT_EQ(a.calls.load(), ca);
  EXPECT_EQ(b.calls.load(), cb);
  // Started again, it runs again.
  ASSERT_EQ(hal::deviceStart(dev, ida), hal::kAudioHardwareNoError);
  simt::advance(100 * kMs);
  EXPECT_GT(a.calls.load(), ca);
  EXPECT_EQ(hal::deviceStart(dev, idb), hal::kAudioHardwareIllegalOperationError);
}

TEST_F(IOProcManual, StopFromInsideTheProcEndsItAtOnce) {
  const auto dev = simt::addDevice(inputDevice("mic"));
  Capture c;
  c.stopFromInside = true;
  startProc(dev, c);
  simt::advance(kSec);
  EXPECT_EQ(c.calls.load(), 1);
  EXPECT_EQ(c.callsAfterStop.load(), 0);
}

TEST_F(IOProcManual, RemovedOrStalledDeviceDeliversNothing) {
  const auto out = simt::addDevice(outputDevice("speakers"));
  const auto agg = makeTapAggregate("speakers");
  Capture c;
  startProc(agg, c);
  simt::advance(kSec);
  EXPECT_EQ(c.frames.load(), 48000u - 48000u % 512);

  // A stall of half a second loses half a second of frames, then delivery resumes.
  const uint64_t before = c.frames.load();
  simt::stallDevice(out, 500 * kMs);
  simt::advance(kSec);
  const uint64_t got = c.frames.load() - before;
  EXPECT_GE(got, 24000u - 1024);
  EXPECT_LE(got, 24000u + 1024);

  // Removing the main device stops the IO and kills the aggregate.
  auto queue = simt::makeManualQueue();
  std::atomic<int> aliveChanges{0};
  hal::PropertyListenerID id = 0;
  hal::addPropertyListenerBlock(
      agg, global(hal::kAudioDevicePropertyDeviceIsAlive), queue,
      [&](uint32_t, const hal::AudioObjectPropertyAddress*) { ++aliveChanges; }, &id);
  ASSERT_TRUE(simt::removeDevice(out));
  const int calls = c.calls.load();
  simt::advance(kSec);
  EXPECT_EQ(c.calls.load(), calls);
  queue->runPending();
  EXPECT_EQ(aliveChanges.load(), 1);
  EXPECT_EQ(readU32(agg, hal::kAudioDevicePropertyDeviceIsAlive), 0u);
}

TEST_F(IOProcManual, ScriptedFailuresOfProcCreationAndDeviceStart) {
  const auto dev = simt::addDevice(inputDevice("mic"));
  simt::injectFault({sim::kFaultIOProc, -66, 1, 0});
  simt::injectFault({sim::kFaultDeviceStart, 1852797029, 1, 0});
  Capture c;
  hal::AudioDeviceIOProcID id = 0;
  EXPECT_EQ(hal::createIOProcID(dev, captureProc, &c, &id), -66);
  ASSERT_EQ(hal::createIOProcID(dev, captureProc, &c, &id), hal::kAudioHardwareNoError);
  EXPECT_EQ(hal::deviceStart(dev, id), 1852797029);
  simt::advance(kSec);
  EXPECT_EQ(c.calls.load(), 0);
  EXPECT_EQ(hal::deviceStart(dev, id), hal::kAudioHardwareNoError);
  simt::advance(kSec);
  EXPECT_GT(c.calls.load(), 0);
  EXPECT_EQ(hal::createIOProcID(12345, captureProc, &c, &id), hal::kAudioHardwareBadDeviceError);
}

TEST(IOProcRealTime, StopWaitsForTheRunningCallAndNoCallFollows) {
  simt::resetWorld(sim::ClockMode::realTime);
  sim::DeviceConfig mic = inputDevice("mic");
  mic.bufferFrames = 96;  // 2 ms cycles
  const auto dev = simt::addDevice(mic);
  Semaphore entered, release;
  Capture c;
  c.entered = &entered;
  c.release = &release;
  const auto id = startProc(dev, c);
  ASSERT_TRUE(entered.waitForNs(10 * kSec));  // the first call is now blocked inside the proc
  std::thread stopper([&] {
    hal::deviceStop(dev, id);
    c.stopReturned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(c.stopReturned.load());  // still waiting for the blocked call
  release.signal();
  stopper.join();
  EXPECT_TRUE(c.stopReturned.load());
  const int calls = c.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // many cycles
  EXPECT_EQ(c.calls.load(), calls);
  EXPECT_EQ(c.callsAfterStop.load(), 0);
  hal::destroyIOProcID(dev, id);
  simt::resetWorld(sim::ClockMode::manual);
}

TEST(IOProcRealTime, DeliversOnItsOwnThreadAndStopsFromInside) {
  simt::resetWorld(sim::ClockMode::realTime);
  const auto dev = simt::addDevice(inputDevice("mic"));
  Capture c;
  c.stopFromInside = true;
  hal::AudioDeviceIOProcID id = 0;
  ASSERT_EQ(hal::createIOProcID(dev, captureProc, &c, &id), hal::kAudioHardwareNoError);
  c.device = dev;
  c.procID = id;
  ASSERT_EQ(hal::deviceStart(dev, id), hal::kAudioHardwareNoError);
  for (int i = 0; i < 1000 && !c.stopReturned.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(c.stopReturned.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(c.calls.load(), 1);
  EXPECT_EQ(c.frames.load(), 512u);
  hal::destroyIOProcID(dev, id);
  simt::resetWorld(sim::ClockMode::manual);
}

}  // namespace
