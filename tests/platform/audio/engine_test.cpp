#include "platform/audio/engine/engine.h"

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
using namespace platform::audio;
using platform::dispatch::Semaphore;

struct TapLog {
  std::mutex mu;
  std::vector<uint32_t> lengths;
  std::vector<float> channel0;
  std::vector<AudioFormat> formats;
  std::atomic<int> calls{0};

  platform::audio::AudioNodeTapBlock block() {
    return [this](const PCMBuffer& buf, const AudioTime&) {
      std::lock_guard lk(mu);
      lengths.push_back(buf.frameLength());
      formats.push_back(buf.format());
      const float* s = buf.floatChannelData()[0];
      const uint32_t step = buf.format().isInterleaved() ? buf.format().channelCount() : 1;
      for (uint32_t i = 0; i < buf.frameLength(); ++i) channel0.push_back(s[static_cast<size_t>(i) * step]);
      calls.fetch_add(1);
    };
  }
  uint64_t totalFrames() {
    std::lock_guard lk(mu);
    uint64_t n = 0;
    for (uint32_t l : lengths) n += l;
    return n;
  }
};

using EngineManual = ManualWorldTest;

TEST_F(EngineManual, InputFormatFollowsTheDefaultInputDevice) {
  AudioEngine engine;
  EXPECT_EQ(engine.inputNode().inputFormat(0).sampleRate(), 0.0);  // no device yet
  EXPECT_EQ(engine.inputNode().inputFormat(0).channelCount(), 0u);
  std::string why;
  EXPECT_FALSE(engine.start(&why));
  EXPECT_FALSE(why.empty());

  const auto mic = simt::addDevice(inputDevice("mic", 44100, 2));
  const AudioFormat f = engine.inputNode().inputFormat(0);
  EXPECT_EQ(f, AudioFormat(CommonFormat::pcmFloat32, 44100, 2, false));
  EXPECT_EQ(engine.inputNode().outputFormat(0), f);
  EXPECT_EQ(engine.inputNode().audioUnit().currentDevice(), mic);
  EXPECT_EQ(engine.inputNode().maximumFramesToRender(), 512u);
}

TEST_F(EngineManual, TapGetsTheRequestedBufferSizeAtTheDevicesActualRate) {
  sim::DeviceConfig mic = inputDevice("mic", 48000, 2);
  mic.actualRate = 47000;
  mic.signal = sim::Signal::tone(500, 0.25);
  simt::addDevice(mic);
  AudioEngine engine;
  TapLog log;
  ASSERT_TRUE(engine.inputNode().installTap(0, 4700, std::nullopt, log.block()));
  EXPECT_FALSE(engine.inputNode().installTap(0, 4700, std::nullopt, log.block()));  // one tap per bus
  ASSERT_TRUE(engine.start());
  EXPECT_TRUE(engine.isRunning());
  simt::advance(2 * kSec);
  EXPECT_EQ(log.calls.load(), 20);
  EXPECT_EQ(log.totalFrames(), 94000u);
  EXPECT_EQ(log.lengths.front(), 4700u);
  EXPECT_EQ(log.formats.front(), AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false));
  for (size_t i = 0; i < 50; ++i) {
    ASSERT_NEAR(log.channel0[i], 0.25 * std::sin(2 * std::numbers::pi * 500 * i / 47000.0), 1e-5);
  }
  engine.stop();
  const int calls = log.calls.load();
  simt::advance(kSec);
  EXPECT_EQ(log.calls.load(), calls);

  // A tap with a format of its own: same rate, interleaved mono.
  engine.inputNode().removeTap(0);
  TapLog mono;
  EXPECT_FALSE(
      engine.inputNode().installTap(0, 100, AudioFormat(CommonFormat::pcmFloat32, 16000, 1, true), mono.block()));
  ASSERT_TRUE(
      engine.inputNode().installTap(0, 100, AudioFormat(CommonFormat::pcmFloat32, 48000, 1, true), mono.block()));
  ASSERT_TRUE(engine.start());
  simt::advance(100 * kMs);
  ASSERT_GT(mono.calls.load(), 0);
  EXPECT_EQ(mono.formats.front(), AudioFormat(CommonFormat::pcmFloat32, 48000, 1, true));
}

TEST_F(EngineManual, DefaultInputChangeStopsTheEngineAndNotifiesOnTheQueue) {
  const auto builtIn = simt::addDevice(inputDevice("builtin", 48000, 1));
  const auto headset = simt::addDevice(inputDevice("headset", 16000, 1, hal::kAudioDeviceTransportTypeBluetooth));
  AudioEngine engine;
  auto queue = simt::makeManualQueue();
  std::vector<bool> runningWhenNotified;
  const auto token = engine.addConfigurationChangeObserver(queue, [&] {
    EXPECT_TRUE(queue->isCurrent());
    runningWhenNotified.push_back(engine.isRunning());
  });
  TapLog log;
  engine.inputNode().installTap(0, 480, std::nullopt, log.block());
  ASSERT_TRUE(engine.start());
  simt::advance(100 * kMs);
  ASSERT_TRUE(simt::setDefaultInput(headset));
  EXPECT_FALSE(engine.isRunning());
  EXPECT_TRUE(runningWhenNotified.empty());  // never inline
  EXPECT_EQ(queue->runPending(), 1u);
  EXPECT_EQ(runningWhenNotified, std::vector<bool>{false});
  // The node now describes the new device, and the engine restarts on it.
  EXPECT_EQ(engine.inputNode().inputFormat(0).sampleRate(), 16000.0);
  const int calls = log.calls.load();
  simt::advance(kSec);
  EXPECT_EQ(log.calls.load(), calls);
  ASSERT_TRUE(engine.start());
  simt::advance(kSec);
  EXPECT_GT(log.calls.load(), calls);
  EXPECT_EQ(log.formats.back().sampleRate(), 16000.0);

  // A rate change of the bound device, then its removal: one notification each.
  ASSERT_TRUE(simt::setNominalRate(headset, 24000));
  EXPECT_FALSE(engine.isRunning());
  ASSERT_TRUE(engine.start());
  ASSERT_TRUE(simt::removeDevice(headset));
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(queue->runPending(), 2u);
  EXPECT_EQ(engine.inputNode().audioUnit().currentDevice(), builtIn);  // the default fell back

  // Removed observers are not called; changes while stopped notify nothing.
  engine.removeConfigurationChangeObserver(token);
  ASSERT_TRUE(engine.start());
  simt::setNominalRate(builtIn, 44100);
  EXPECT_EQ(queue->runPending(), 0u);
}

TEST_F(EngineManual, ExplicitCurrentDeviceNoLongerFollowsTheDefault) {
  const auto builtIn = simt::addDevice(inputDevice("builtin"));
  const auto usb = simt::addDevice(inputDevice("usb", 48000, 1, hal::kAudioDeviceTransportTypeUSB));
  const auto speakers = simt::addDevice(outputDevice("speakers"));
  AudioEngine engine;
  auto queue = simt::makeManualQueue();
  int notices = 0;
  engine.addConfigurationChangeObserver(queue, [&] { ++notices; });
  EXPECT_EQ(engine.inputNode().audioUnit().setCurrentDevice(speakers), hal::kAudioHardwareBadDeviceError);
  ASSERT_EQ(engine.inputNode().audioUnit().setCurrentDevice(usb), hal::kAudioHardwareNoError);
  ASSERT_TRUE(engine.start());
  simt::setDefaultInput(usb);
  simt::setDefaultInput(builtIn);
  EXPECT_TRUE(engine.isRunning());
  EXPECT_EQ(engine.inputNode().audioUnit().currentDevice(), usb);
  // Moving a running unit to another device is a configuration change.
  ASSERT_EQ(engine.inputNode().audioUnit().setCurrentDevice(builtIn), hal::kAudioHardwareNoError);
  EXPECT_FALSE(engine.isRunning());
  queue->runPending();
  EXPECT_EQ(notices, 1);
  simt::injectFault({sim::kFaultSetInputDevice, -10851, 1, 0});
  EXPECT_EQ(engine.inputNode().audioUnit().setCurrentDevice(usb), -10851);
  EXPECT_EQ(engine.inputNode().audioUnit().currentDevice(), builtIn);
}

TEST_F(EngineManual, MicHearsTheDefaultOutputThroughTheEchoPath) {
  sim::DeviceConfig mic = inputDevice("mic");
  mic.signal = sim::Signal::silence();
  simt::addDevice(mic);
  sim::DeviceConfig out = outputDevice("speakers");
  out.signal = sim::Signal::noise(0.5, 3);
  simt::addDevice(out);
  simt::setEcho({true, 10.0, 0.4, {}});
  AudioEngine engine;
  TapLog log;
  engine.inputNode().installTap(0, 4800, std::nullopt, log.block());
  ASSERT_TRUE(engine.start());
  simt::advance(kSec);
  ASSERT_EQ(log.channel0.size(), 48000u);
  // Sample i of the mic is 0.4 times the output at i - 480 (10 ms).
  for (size_t i = 0; i < 480; ++i) ASSERT_EQ(log.channel0[i], 0.0f);
  for (size_t i = 480; i < 2000; ++i) {
    ASSERT_NEAR(log.channel0[i], 0.4f * out.signal.at((i - 480) / 48000.0), 1e-5) << i;
  }
  // An input that is not on the echo path hears only itself.
  simt::setEcho({true, 10.0, 0.4, {"other"}});
  log.channel0.clear();
  simt::advance(200 * kMs);
  ASSERT_FALSE(log.channel0.empty());
  EXPECT_EQ(*std::max_element(log.channel0.begin(), log.channel0.end()), 0.0f);
}

TEST(EngineRealTime, StopAndRemoveTapAreSynchronous) {
  simt::resetWorld(sim::ClockMode::realTime);
  simt::addDevice(inputDevice("mic"));
  AudioEngine engine;
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0}, calls{0};
  Semaphore first;
  ASSERT_TRUE(engine.inputNode().installTap(0, 96, std::nullopt, [&](const PCMBuffer& b, const AudioTime&) {
    if (stopped.load()) late.fetch_add(1);
    EXPECT_EQ(b.frameLength(), 96u);
    if (calls.fetch_add(1) == 0) first.signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // widen the window a stop must wait out
  }));
  ASSERT_TRUE(engine.start());
  ASSERT_TRUE(first.waitForNs(10 * kSec));
  engine.stop();
  stopped = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(late.load(), 0);

  stopped = false;
  ASSERT_TRUE(engine.start());
  const int before = calls.load();
  for (int i = 0; i < 1000 && calls.load() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  engine.inputNode().removeTap(0);
  stopped = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(late.load(), 0);
  EXPECT_TRUE(engine.isRunning());  // removing the tap does not stop the engine
  simt::resetWorld(sim::ClockMode::manual);
}

TEST(EngineRealTime, ObserverWithoutAQueueRunsOffTheChangingThread) {
  simt::resetWorld(sim::ClockMode::realTime);
  simt::addDevice(inputDevice("builtin"));
  const auto usb = simt::addDevice(inputDevice("usb", 48000, 1, hal::kAudioDeviceTransportTypeUSB));
  auto engine = std::make_unique<AudioEngine>();
  auto notified = std::make_shared<Semaphore>();
  auto onChangingThread = std::make_shared<std::atomic<bool>>(true);
  const auto me = std::this_thread::get_id();
  engine->addConfigurationChangeObserver(nullptr, [notified, onChangingThread, me] {
    *onChangingThread = std::this_thread::get_id() == me;
    notified->signal();
  });
  ASSERT_TRUE(engine->start());
  simt::setDefaultInput(usb);
  ASSERT_TRUE(notified->waitForNs(10 * kSec));
  EXPECT_FALSE(onChangingThread->load());
  engine.reset();  // destroying the engine drops its observers
  simt::resetWorld(sim::ClockMode::manual);
}

}  // namespace
