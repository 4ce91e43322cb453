#include "helper/routing/device_properties.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/audio/hal/hal.h"
#include "platform/audio/sim_testing.h"

namespace {

namespace hal = platform::audio::hal;
namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;
using helper::OutputDeviceClassification;

constexpr uint32_t kIspk = hal::kAudioDataSourceInternalSpeaker;
constexpr uint32_t kHdpn = hal::kAudioDataSourceHeadphones;

OutputDeviceClassification classify(const std::string& transport, std::optional<uint32_t> source,
                                    const std::string& name) {
  return helper::classifyOutputDeviceFromProperties(transport, source, name);
}

TEST(OutputClassification, TransportAndDataSourceDecideOutsideBluetooth) {
  EXPECT_EQ(classify("builtin_mic", kHdpn, "Headphones"), (OutputDeviceClassification{"headphone_jack", false}));
  EXPECT_EQ(classify("builtin_mic", kIspk, "MacBook Air Speakers"),
            (OutputDeviceClassification{"built_in_speakers", true}));
  EXPECT_EQ(classify("builtin_mic", std::nullopt, "MacBook Pro Speakers"),
            (OutputDeviceClassification{"built_in_speakers", true}));
  // A built-in device with another data source is not known to be speakers.
  EXPECT_EQ(classify("builtin_mic", hal::fourCharCode("line"), "Line Out"),
            (OutputDeviceClassification{"unknown", true}));
  // The transport rule comes before any name.
  EXPECT_EQ(classify("hdmi", std::nullopt, "Headphone jack (hdpn)"), (OutputDeviceClassification{"hdmi_output", true}));
  EXPECT_EQ(classify("airplay", std::nullopt, "Living Room HomePod"), (OutputDeviceClassification{"unknown", true}));
  for (const char* t : {"aggregate", "virtual", "thunderbolt", "unknown"}) {
    EXPECT_EQ(classify(t, std::nullopt, "AirPods"), (OutputDeviceClassification{"unknown", true})) << t;
  }
}

TEST(OutputClassification, UsbIsAHeadsetOnlyByFourWords) {
  EXPECT_EQ(classify("usb", std::nullopt, "Corsair HS80 Headphone"), (OutputDeviceClassification{"usb_output", false}));
  EXPECT_EQ(classify("usb", std::nullopt, "USB EARPHONES"), (OutputDeviceClassification{"usb_output", false}));
  EXPECT_EQ(classify("usb", std::nullopt, "Desk Speaker"), (OutputDeviceClassification{"unknown", true}));
  // "buds" and "headset" make a Bluetooth name personal, not a USB one.
  EXPECT_EQ(classify("usb", std::nullopt, "Gaming Headset"), (OutputDeviceClassification{"unknown", true}));
  EXPECT_EQ(classify("usb", std::nullopt, "Studio Buds"), (OutputDeviceClassification{"unknown", true}));
}

TEST(OutputClassification, BluetoothSpeakersCarryEchoRiskAndEverythingElseIsPersonal) {
  const std::vector<std::pair<std::string, bool>> cases = {{"JBL Charge 5 Speaker", true},
                                                           {"Marshall Stanmore III", true},
                                                           {"MEGABOOM 3", true},
                                                           {"SRS-XB43", true},
                                                           {"Bose SoundLink Revolve", true},
                                                           {"Samsung TV", true},
                                                           {"AirPods Pro", false},
                                                           {"Galaxy Buds2 Earbuds", false},
                                                           {"JBL Tune Buds", false},
                                                           {"Bose QuietComfort Ultra", false},
                                                           {"Sony WH-1000XM5", false},
                                                           {"SomeDevice", false},
                                                           {"Sony WH Headphones Speaker", false}};
  for (const auto& [name, risk] : cases) {
    EXPECT_EQ(classify("bluetooth_hfp", std::nullopt, name), (OutputDeviceClassification{"bluetooth_output", risk}))
        << name;
  }
}

TEST(OutputClassification, NameHeuristicsExpectLowerCaseAndHeadphoneWordsWin) {
  EXPECT_TRUE(helper::isHeadphoneLikeOutputName("pixel buds pro"));
  EXPECT_TRUE(helper::isHeadphoneLikeOutputName("gaming headset"));
  EXPECT_FALSE(helper::isHeadphoneLikeOutputName("AIRPODS"));  // callers lower-case first
  EXPECT_TRUE(helper::isSpeakerLikeOutputName("jbl flip bt speaker"));
  EXPECT_TRUE(helper::isSpeakerLikeOutputName("living room homepod"));
  EXPECT_TRUE(helper::isSpeakerLikeOutputName("beosound a1"));
  EXPECT_FALSE(helper::isSpeakerLikeOutputName("sony wh headphones"));
  EXPECT_FALSE(helper::isSpeakerLikeOutputName("speaker earbuds"));
  EXPECT_FALSE(helper::isSpeakerLikeOutputName("JBL FLIP"));
}

TEST(InputClassification, OnlyTheTransportDecides) {
  EXPECT_EQ(helper::classifyInputDeviceFromProperties("builtin_mic", kHdpn, "x"), "built_in_mic");
  EXPECT_EQ(helper::classifyInputDeviceFromProperties("bluetooth_hfp", std::nullopt, "Speaker"), "bluetooth_mic");
  EXPECT_EQ(helper::classifyInputDeviceFromProperties("usb", std::nullopt, ""), "usb_mic");
  EXPECT_EQ(helper::classifyInputDeviceFromProperties("aggregate", std::nullopt, "MacBook Microphone"), "unknown");
}

TEST(RateTests, TelephonyBandAndStandardHardwareRates) {
  EXPECT_TRUE(helper::isTelephonyRate(8000));
  EXPECT_TRUE(helper::isTelephonyRate(32000));
  EXPECT_FALSE(helper::isTelephonyRate(32000.5));
  EXPECT_FALSE(helper::isTelephonyRate(7999.9));
  EXPECT_TRUE(helper::isStandardHardwareAudioRate(47999.5));
  EXPECT_FALSE(helper::isStandardHardwareAudioRate(47999.0));
  EXPECT_TRUE(helper::isStandardHardwareAudioRate(192000.9));
  for (double r : {8000.0, 16000.0, 22050.0, 24000.0, 32000.0}) EXPECT_FALSE(helper::isStandardHardwareAudioRate(r));
}

class DeviceReaders : public ::testing::Test {
 protected:
  void SetUp() override { simt::resetWorld(sim::ClockMode::manual); }
  void TearDown() override { simt::resetWorld(sim::ClockMode::manual); }

  static hal::AudioObjectID add(const std::string& uid, std::optional<uint32_t> transport, uint32_t in, uint32_t out) {
    sim::DeviceConfig d;
    d.uid = uid;
    d.name = uid + " Name";
    d.transport = transport;
    d.inputChannels = in;
    d.outputChannels = out;
    return simt::addDevice(d);
  }
};

TEST_F(DeviceReaders, TransportCodesMapToRouteKinds) {
  const std::vector<std::pair<std::optional<uint32_t>, std::string>> cases = {
      {hal::kAudioDeviceTransportTypeBuiltIn, "builtin_mic"},
      {hal::kAudioDeviceTransportTypeBluetooth, "bluetooth_hfp"},
      {hal::kAudioDeviceTransportTypeBluetoothLE, "bluetooth_hfp"},
      {hal::kAudioDeviceTransportTypeUSB, "usb"},
      {hal::kAudioDeviceTransportTypeHDMI, "hdmi"},
      {hal::kAudioDeviceTransportTypeAggregate, "aggregate"},
      {hal::kAudioDeviceTransportTypeThunderbolt, "thunderbolt"},
      {hal::kAudioDeviceTransportTypeAirPlay, "airplay"},
      {hal::kAudioDeviceTransportTypeVirtual, "virtual"},
      {hal::fourCharCode("pci "), "unknown"},
      {std::nullopt, "unknown"},  // the read fails
  };
  int n = 0;
  for (const auto& [code, kind] : cases) {
    const auto id = add("dev" + std::to_string(n++), code, 1, 0);
    EXPECT_EQ(helper::readDeviceTransportType(id), kind);
  }
  EXPECT_EQ(helper::readDeviceTransportType(9999), "unknown");
}

TEST_F(DeviceReaders, DefaultsUidNameRateAndLiveness) {
  EXPECT_FALSE(helper::readDefaultInputDevice());  // 0 counts as absent
  EXPECT_FALSE(helper::readPreferredSystemCaptureOutputDevice());
  const auto mic = add("Mic", hal::kAudioDeviceTransportTypeBuiltIn, 1, 0);
  const auto speakers = add("Speakers", hal::kAudioDeviceTransportTypeBuiltIn, 0, 2);
  const auto hdmi = add("Display", hal::kAudioDeviceTransportTypeHDMI, 0, 2);
  EXPECT_EQ(helper::readDefaultInputDevice(), mic);
  EXPECT_EQ(helper::readDefaultPlaybackOutputDevice(), speakers);
  simt::setDefaultSystemOutput(hdmi);
  EXPECT_EQ(helper::readDefaultSystemOutputDevice(), hdmi);
  EXPECT_EQ(helper::readDefaultOutputDevice(hal::kAudioHardwarePropertyDefaultSystemOutputDevice), hdmi);
  // Without a default output, the system output is the one to capture.
  EXPECT_EQ(helper::readPreferredSystemCaptureOutputDevice(), speakers);
  simt::setDefaultOutput(0);
  EXPECT_EQ(helper::readPreferredSystemCaptureOutputDevice(), hdmi);

  EXPECT_EQ(helper::readDeviceUID(mic), "Mic");
  EXPECT_EQ(helper::readDeviceName(mic), "Mic Name");
  EXPECT_EQ(helper::readDeviceNominalSampleRate(mic), 48000.0);
  EXPECT_TRUE(helper::isDeviceAlive(mic));
  simt::setAlive(mic, false);
  EXPECT_FALSE(helper::isDeviceAlive(mic));
  simt::removeDevice(hdmi);
  EXPECT_FALSE(helper::isDeviceAlive(hdmi));
  EXPECT_FALSE(helper::readDeviceUID(hdmi));
  EXPECT_FALSE(helper::readDeviceNominalSampleRate(hdmi));

  sim::DeviceConfig silent;
  silent.uid = std::nullopt;
  silent.name = std::nullopt;
  silent.nominalRate = 0;  // a device reporting 0 Hz
  silent.inputChannels = 1;
  const auto odd = simt::addDevice(silent);
  EXPECT_FALSE(helper::readDeviceUID(odd));
  EXPECT_FALSE(helper::readDeviceName(odd));
  EXPECT_FALSE(helper::readDeviceNominalSampleRate(odd));
}

TEST_F(DeviceReaders, DataSourceReadsZeroAsZeroAndMissingAsAbsent) {
  sim::DeviceConfig d;
  d.uid = "Speakers";
  d.outputChannels = 2;
  d.dataSource = 0;
  const auto id = simt::addDevice(d);
  EXPECT_EQ(helper::readDeviceDataSource(id), 0u);
  simt::setDataSource(id, std::nullopt);
  EXPECT_FALSE(helper::readDeviceDataSource(id));
}

TEST_F(DeviceReaders, ClassifyDevicesFromTheirOwnProperties) {
  sim::DeviceConfig jack;
  jack.uid = "Jack";
  jack.name = "External Headphones";
  jack.outputChannels = 2;
  jack.dataSource = kHdpn;
  const auto jackID = simt::addDevice(jack);
  EXPECT_EQ(helper::classifyOutputDevice(jackID), (OutputDeviceClassification{"headphone_jack", false}));
  simt::setDataSource(jackID, kIspk);
  EXPECT_EQ(helper::classifyOutputDevice(jackID), (OutputDeviceClassification{"built_in_speakers", true}));

  sim::DeviceConfig speaker;
  speaker.uid = "BT";
  speaker.name = "JBL Flip 6";
  speaker.transport = hal::kAudioDeviceTransportTypeBluetoothLE;
  speaker.outputChannels = 2;
  speaker.inputChannels = 1;
  const auto bt = simt::addDevice(speaker);
  EXPECT_EQ(helper::classifyOutputDevice(bt), (OutputDeviceClassification{"bluetooth_output", true}));
  EXPECT_EQ(helper::classifyInputDevice(bt), "bluetooth_mic");

  speaker.uid = "Nameless";
  speaker.name = std::nullopt;  // unreadable name: "", personal audio
  EXPECT_EQ(helper::classifyOutputDevice(simt::addDevice(speaker)),
            (OutputDeviceClassification{"bluetooth_output", false}));
  // A device whose transport cannot be read.
  EXPECT_EQ(helper::classifyOutputDevice(add("Odd", std::nullopt, 0, 2)),
            (OutputDeviceClassification{"unknown", true}));
  EXPECT_EQ(helper::classifyInputDevice(9999), "unknown");
}

TEST_F(DeviceReaders, FindBuiltInInputDeviceTakesTheFirstBuiltInWithInput) {
  EXPECT_FALSE(helper::findBuiltInInputDevice());
  add("Speakers", hal::kAudioDeviceTransportTypeBuiltIn, 0, 2);  // built in, no input
  add("UsbMic", hal::kAudioDeviceTransportTypeUSB, 1, 0);
  EXPECT_FALSE(helper::findBuiltInInputDevice());
  const auto first = add("Mic1", hal::kAudioDeviceTransportTypeBuiltIn, 1, 0);
  add("Mic2", hal::kAudioDeviceTransportTypeBuiltIn, 2, 0);
  EXPECT_EQ(helper::findBuiltInInputDevice(), first);
}

}  // namespace
