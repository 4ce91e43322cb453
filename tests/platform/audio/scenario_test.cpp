#include "platform/sim/scenario.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/audio/engine/engine.h"
#include "platform/dispatch/dispatch.h"
#include "tests/platform/audio/sim_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace simtest;
using nlohmann::json;

using Scenario = ManualWorldTest;

std::string selfPath() {
  char buf[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A 16-bit mono WAV file.
void writeWav(const std::filesystem::path& path, uint32_t rate, const std::vector<int16_t>& samples) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  const auto bytes = static_cast<uint32_t>(samples.size() * 2);
  f.write("RIFF", 4);
  u32(36 + bytes);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  f.write("data", 4);
  u32(bytes);
  f.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

TEST_F(Scenario, FileLoadsAndItsTimedEventsFireOnTheManualClock) {
  testsupport::TempDir dir;
  const json scenario = {
      {"permissions", json::object()},
      {"audio",
       {{"clock", "manual"},
        {"devices",
         {{{"uid", "BuiltInMic"}, {"name", "MacBook Pro Microphone"}, {"transport", "bltn"}, {"input_channels", 1}},
          {{"uid", "BuiltInSpeakers"},
           {"transport", "bltn"},
           {"output_channels", 2},
           {"data_source", "ispk"},
           {"signal", {{"type", "tone"}, {"frequency", 440}}}},
          {{"uid", "UsbMic"}, {"transport", "usb "}, {"nominal_rate", 44100}, {"input_channels", 2}}}},
        {"defaults", {{"input", "UsbMic"}}},
        {"echo", {{"delay_ms", 30}, {"gain", 0.2}}},
        {"faults", {{{"call", "engine_start"}, {"status", -10875}, {"after_ms", 5000}}}},
        {"events",
         {{{"at_ms", 2000}, {"action", "remove_device"}, {"device", "UsbMic"}},
          {{"at_ms", 1000}, {"action", "set_nominal_rate"}, {"device", "BuiltInMic"}, {"rate", 24000}},
          {{"at_ms", 3000},
           {"action", "add_device"},
           {"device", {{"uid", "Headset"}, {"transport", "blue"}, {"input_channels", 1}, {"nominal_rate", 16000}}}},
          {{"at_ms", 3000}, {"action", "set_default_input"}, {"device", "Headset"}}}}}}};
  testsupport::writeFile(dir / "world.json", scenario.dump());
  simt::loadWorldFromScenarioFile((dir / "world.json").string());

  const auto usb = simt::deviceIDForUID("UsbMic");
  const auto builtIn = simt::deviceIDForUID("BuiltInMic");
  ASSERT_NE(usb, 0u);
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), usb);
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultOutputDevice),
            simt::deviceIDForUID("BuiltInSpeakers"));
  EXPECT_EQ(readU32(usb, hal::kAudioDevicePropertyTransportType), hal::kAudioDeviceTransportTypeUSB);

  auto queue = simt::makeManualQueue();
  std::vector<uint32_t> changes;
  hal::PropertyListenerID id = 0;
  hal::addPropertyListenerBlock(
      hal::kAudioObjectSystemObject,
      {hal::kAudioObjectPropertySelectorWildcard, hal::kAudioObjectPropertyScopeWildcard,
       hal::kAudioObjectPropertyElementWildcard},
      queue,
      [&](uint32_t n, const hal::AudioObjectPropertyAddress* a) {
        for (uint32_t i = 0; i < n; ++i) changes.push_back(a[i].selector);
      },
      &id);
  platform::audio::AudioEngine engine;
  ASSERT_TRUE(engine.start());

  simt::advance(1999 * kMs);
  double rate = 0;
  hal::getPropertyFloat64(builtIn, global(hal::kAudioDevicePropertyNominalSampleRate), rate);
  EXPECT_EQ(rate, 24000.0);  // the event at 1 s
  EXPECT_TRUE(engine.isRunning());
  queue->runPending();
  EXPECT_TRUE(changes.empty());

  simt::advance(kMs);  // 2 s: the USB microphone goes
  EXPECT_EQ(simt::deviceIDForUID("UsbMic"), 0u);
  EXPECT_FALSE(engine.isRunning());
  queue->runPending();
  EXPECT_EQ(changes,
            (std::vector<uint32_t>{hal::kAudioHardwarePropertyDevices, hal::kAudioHardwarePropertyDefaultInputDevice}));
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), builtIn);

  simt::advance(kSec);  // 3 s: a headset arrives and becomes the default
  const auto headset = simt::deviceIDForUID("Headset");
  ASSERT_NE(headset, 0u);
  EXPECT_EQ(readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice), headset);

  std::string why;
  ASSERT_TRUE(engine.start(&why)) << why;
  engine.stop();
  simt::advance(2 * kSec);  // 5 s: engine starts fail from now on
  EXPECT_FALSE(engine.start(&why));
  EXPECT_NE(why.find("-10875"), std::string::npos);
}

TEST_F(Scenario, MalformedSectionsAreRefusedWithTheReason) {
  auto refused = [](const json& audio, const std::string& part) {
    try {
      simt::loadWorld(audio);
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
      return;
    }
    ADD_FAILURE() << "accepted " << audio.dump();
  };
  refused({{"clock", "fast"}}, "clock");
  refused({{"devices", {{{"uid", "a"}, {"input_chanels", 1}}}}}, "input_chanels");
  refused({{"devices", {{{"name", "no uid"}}}}}, "uid");
  refused({{"devices", {{{"uid", "a"}, {"nominal_rate", 0}}}}}, "nominal_rate");
  refused({{"devices", {{{"uid", "a"}, {"transport", "bluetooth"}}}}}, "four-character");
  refused({{"devices", {{{"uid", "a"}, {"input_channels", 1}}, {{"uid", "a"}, {"input_channels", 1}}}}}, "two devices");
  refused({{"devices", {{{"uid", "a"}, {"output_channels", 2}}}}, {"defaults", {{"input", "a"}}}}, "no input");
  refused({{"defaults", {{"output", "missing"}}}}, "missing");
  refused({{"faults", {{{"call", "everything"}}}}}, "everything");
  refused({{"events", {{{"at_ms", 10}, {"action", "explode"}}}}}, "explode");
  refused({{"events", {{{"action", "stall"}, {"device", "a"}, {"duration_ms", 5}}}}}, "at_ms");
  refused({{"devices", {{{"uid", "a"}, {"signal", {{"type", "file"}, {"path", "/nonexistent.wav"}}}}}}}, "nonexistent");
  EXPECT_THROW(simt::loadWorldFromScenarioFile("/nonexistent/scenario.json"), std::invalid_argument);
}

TEST_F(Scenario, SoundFileSignalPlaysTheFilesSamples) {
  testsupport::TempDir dir;
  std::vector<int16_t> samples(800);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 97) % 20000 - 10000);
  writeWav(dir / "voice.wav", 8000, samples);
  simt::loadWorld({{"clock", "manual"},
                   {"devices",
                    {{{"uid", "mic"},
                      {"input_channels", 1},
                      {"nominal_rate", 8000},
                      {"signal", {{"type", "file"}, {"path", (dir / "voice.wav").string()}, {"loop", false}}}}}}});
  platform::audio::AudioEngine engine;
  std::vector<float> got;
  engine.inputNode().installTap(
      0, 200, std::nullopt, [&](const platform::audio::PCMBuffer& b, const platform::audio::AudioTime&) {
        got.insert(got.end(), b.floatChannelData()[0], b.floatChannelData()[0] + b.frameLength());
      });
  ASSERT_TRUE(engine.start());
  simt::advance(kSec);
  ASSERT_EQ(got.size(), 8000u);
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_NEAR(got[i], samples[i] / 32768.0f, 1e-4) << i;
  EXPECT_EQ(got[900], 0.0f);  // not looped: silence after the end
}

// Run only as a child of the test below, with the scenario in the environment.
TEST(ScenarioFromEnvironment, ChildSeesTheScenarioWorld) {
  if (std::getenv(platform::sim::kScenarioEnvVar) == nullptr) GTEST_SKIP() << "runs as a child process";
  const uint32_t def = readU32(hal::kAudioObjectSystemObject, hal::kAudioHardwarePropertyDefaultInputDevice);
  std::optional<std::string> uid;
  hal::getPropertyString(def, global(hal::kAudioDevicePropertyDeviceUID), uid);
  EXPECT_EQ(uid, "EnvMic");
  // The real-time clock fires the removal scripted at 100 ms.
  auto removed = std::make_shared<platform::dispatch::Semaphore>();
  hal::PropertyListenerID id = 0;
  hal::addPropertyListenerBlock(
      hal::kAudioObjectSystemObject, global(hal::kAudioHardwarePropertyDevices), nullptr,
      [removed](uint32_t, const hal::AudioObjectPropertyAddress*) { removed->signal(); }, &id);
  ASSERT_TRUE(removed->waitForNs(20 * kSec));
  EXPECT_EQ(simt::deviceIDForUID("EnvMic"), 0u);
}

TEST(ScenarioFromEnvironment, ProgramsLoadTheWorldNamedByTheVariable) {
  testsupport::TempDir dir;
  const json scenario = {{"audio",
                          {{"devices", {{{"uid", "EnvMic"}, {"transport", "usb "}, {"input_channels", 1}}}},
                           {"events", {{{"at_ms", 100}, {"action", "remove_device"}, {"device", "EnvMic"}}}}}}};
  testsupport::writeFile(dir / "env.json", scenario.dump());
  testsupport::RunOptions opts;
  opts.args = {"--gtest_filter=ScenarioFromEnvironment.ChildSeesTheScenarioWorld"};
  opts.env[platform::sim::kScenarioEnvVar] = (dir / "env.json").string();
  auto r = testsupport::runProgram(selfPath(), opts);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;

  // A broken world stops the program with the reason, never a silent default.
  testsupport::writeFile(dir / "bad.json", json({{"audio", {{"devices", "none"}}}}).dump());
  opts.env[platform::sim::kScenarioEnvVar] = (dir / "bad.json").string();
  r = testsupport::runProgram(selfPath(), opts);
  EXPECT_EQ(r.exitCode, 70);
  EXPECT_NE(r.err.find("simulated platform: bad \"audio\" section"), std::string::npos) << r.err;
}

}  // namespace
