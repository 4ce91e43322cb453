// --mode test-classify: the output-device classifier against a fixed table
// of devices. Only failures are written, then the summary.
#include <array>
#include <optional>
#include <string>

#include "helper/routing/device_properties.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/test_report.h"
#include "platform/audio/hal/hal.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;

struct ClassifyFixture {
  const char* label;
  const char* transport;
  std::optional<uint32_t> dataSource;
  const char* name;
  const char* expectedClass;
  bool expectedEchoRisk;
};

constexpr uint32_t kIspk = hal::kAudioDataSourceInternalSpeaker;
constexpr uint32_t kHdpn = hal::kAudioDataSourceHeadphones;

const std::array<ClassifyFixture, 25> kFixtures = {{
    {"Built-in speakers (ispk)", "builtin_mic", kIspk, "MacBook Air Speakers", "built_in_speakers", true},
    {"Built-in speakers (no data source)", "builtin_mic", std::nullopt, "MacBook Pro Speakers", "built_in_speakers",
     true},
    {"HDMI display", "hdmi", std::nullopt, "LG UltraFine 5K", "hdmi_output", true},
    {"Bluetooth speaker (name match)", "bluetooth_hfp", std::nullopt, "JBL Charge 5 Speaker", "bluetooth_output", true},
    {"Bose Bluetooth speaker", "bluetooth_hfp", std::nullopt, "Bose SoundLink Speaker", "bluetooth_output", true},
    {"Sony Bluetooth speaker", "bluetooth_hfp", std::nullopt, "Sony SRS-XB Speaker", "bluetooth_output", true},
    {"JBL Flip BT speaker", "bluetooth_hfp", std::nullopt, "JBL Flip 6", "bluetooth_output", true},
    {"Bose SoundLink BT speaker", "bluetooth_hfp", std::nullopt, "Bose SoundLink Revolve", "bluetooth_output", true},
    {"Sony SRS BT speaker", "bluetooth_hfp", std::nullopt, "SRS-XB43", "bluetooth_output", true},
    {"Marshall Stanmore BT speaker", "bluetooth_hfp", std::nullopt, "Marshall Stanmore III", "bluetooth_output", true},
    {"HomePod over AirPlay", "airplay", std::nullopt, "Living Room HomePod", "unknown", true},
    {"JBL Tune Buds stay personal", "bluetooth_hfp", std::nullopt, "JBL Tune Buds", "bluetooth_output", false},
    {"UE Megaboom BT speaker", "bluetooth_hfp", std::nullopt, "MEGABOOM 3", "bluetooth_output", true},
    {"Bluetooth unknown defaults to personal audio", "bluetooth_hfp", std::nullopt, "SomeDevice", "bluetooth_output",
     false},
    {"Unknown device", "unknown", std::nullopt, "Mystery Audio", "unknown", true},
    {"AirPods Pro (Bluetooth)", "bluetooth_hfp", std::nullopt, "AirPods Pro", "bluetooth_output", false},
    {"Headphone jack (hdpn)", "builtin_mic", kHdpn, "Headphones", "headphone_jack", false},
    {"USB headphones", "usb", std::nullopt, "Corsair HS80 Headphone", "usb_output", false},
    {"Bluetooth earbuds", "bluetooth_hfp", std::nullopt, "Galaxy Buds2 Earbuds", "bluetooth_output", false},
    {"Pixel Buds Pro", "bluetooth_hfp", std::nullopt, "Pixel Buds Pro", "bluetooth_output", false},
    {"Galaxy Buds", "bluetooth_hfp", std::nullopt, "Galaxy Buds", "bluetooth_output", false},
    {"Sony WH headphones", "bluetooth_hfp", std::nullopt, "Sony WH-1000XM5", "bluetooth_output", false},
    {"Sony WF earbuds", "bluetooth_hfp", std::nullopt, "Sony WF-1000XM5", "bluetooth_output", false},
    {"Bose QuietComfort", "bluetooth_hfp", std::nullopt, "Bose QuietComfort Ultra", "bluetooth_output", false},
    {"Generic Bluetooth headphones", "bluetooth_hfp", std::nullopt, "Wireless Headphones", "bluetooth_output", false},
}};

const char* boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

void runTestClassify() {
  TestReport report;
  for (const auto& f : kFixtures) {
    const OutputDeviceClassification got = classifyOutputDeviceFromProperties(f.transport, f.dataSource, f.name);
    const bool ok = got.deviceClass == f.expectedClass && got.echoRisk == f.expectedEchoRisk;
    report.count(ok);
    if (!ok) {
      TestReport::writeLine(std::string("FAIL: ") + f.label + " \u2014 got class=" + got.deviceClass +
                            " risk=" + boolText(got.echoRisk) + ", expected class=" + f.expectedClass +
                            " risk=" + boolText(f.expectedEchoRisk));
    }
  }
  // The middle number is the table's size, which always equals passed + failed.
  report.finish("test_classify: ");
}

}  // namespace helper
