#include "helper/routing/system_rate_resolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace helper {
namespace {

// The observations of one graph start; each case changes what it needs.
struct Observed {
  double tap = 48000;
  std::optional<double> output;
  std::optional<double> aggregate;
  std::string transport = "bluetooth_hfp";
  std::string outputUID = "out-uid";
  std::string outputName = "Orbit 65 Hands-Free";
  double micRate = 0;
  std::string micRoute = "builtin_mic";
  std::string micUID = "mic-uid";
  std::string micName = "Built-in Microphone";

  ResolvedRate resolve() const {
    return resolveSystemNativeRate(tap, output, aggregate, transport, outputUID, outputName, micRate, micRoute, micUID,
                                   micName);
  }
};

// A hands-free mic that is the output device too (same name once normalised).
Observed headsetWithItsMic() {
  Observed o;
  o.micRoute = "bluetooth_hfp";
  o.micName = "Orbit 65 Microphone";
  return o;
}

void expectRate(const ResolvedRate& r, double rate, const std::string& source) {
  EXPECT_EQ(r.effectiveRate, rate);
  EXPECT_EQ(r.source, source);
}

TEST(ResolveSystemNativeRate, HandsFreeOutputTakesATelephonyNominalRate) {
  Observed o;
  o.output = 16000;
  expectRate(o.resolve(), 16000, "output_device_nominal");
  o = headsetWithItsMic();
  o.output = 16000;
  o.micRate = 24000;
  expectRate(o.resolve(), 16000, "output_device_nominal");  // whatever the mic

  o = Observed{};
  o.aggregate = 8000;
  expectRate(o.resolve(), 8000, "aggregate_device_nominal");
  o.aggregate = 32000;
  expectRate(o.resolve(), 32000, "aggregate_device_nominal");
  o.aggregate = 32001;  // neither telephony nor standard
  expectRate(o.resolve(), 48000, "tap_asbd");
}

TEST(ResolveSystemNativeRate, AnEqualTelephonyRateIsNoOverride) {
  Observed o;
  o.tap = 16000;
  o.output = 16000;
  o.aggregate = 16000;
  const ResolvedRate r = o.resolve();
  expectRate(r, 16000, "tap_asbd");
  EXPECT_EQ(r.tapAsbdRate, 16000);
  EXPECT_FALSE(r.sameBluetoothDevice);
}

TEST(ResolveSystemNativeRate, TheHeadsetsOwnMicRateWinsOnlyBelowTheTapRate) {
  Observed o = headsetWithItsMic();
  o.micRate = 24000;
  const ResolvedRate r = o.resolve();
  expectRate(r, 24000, "bluetooth_hfp_mic_rate");
  EXPECT_TRUE(r.sameBluetoothDevice);
  EXPECT_EQ(r.tapAsbdRate, 48000);

  o.tap = 24000;
  expectRate(o.resolve(), 24000, "tap_asbd");
  o.tap = 16000;
  expectRate(o.resolve(), 16000, "tap_asbd");

  o = headsetWithItsMic();
  o.micRate = 44100;  // not a telephony rate
  expectRate(o.resolve(), 48000, "tap_asbd");
  o = headsetWithItsMic();
  o.micRate = 24000;
  o.micRoute = "usb";
  expectRate(o.resolve(), 48000, "tap_asbd");
}

TEST(ResolveSystemNativeRate, TheStandardRateRuleIsSkippedForTheSameHeadset) {
  Observed o = headsetWithItsMic();
  o.tap = 44100;
  o.output = 48000;
  const ResolvedRate r = o.resolve();
  expectRate(r, 44100, "tap_asbd");
  EXPECT_TRUE(r.sameBluetoothDevice);

  o.micName = "Studio Microphone";  // another device: the standard rate counts
  expectRate(o.resolve(), 48000, "output_device_nominal");
  o.output.reset();
  o.aggregate = 96000;
  expectRate(o.resolve(), 96000, "aggregate_device_nominal");
}

TEST(ResolveSystemNativeRate, BuiltInOutputTakesAStandardNominalRate) {
  Observed o;
  o.transport = "builtin_mic";
  o.tap = 44100;
  o.output = 48000;
  expectRate(o.resolve(), 48000, "output_device_nominal");
  o.output = 48000.5;  // under 1 Hz off still counts
  expectRate(o.resolve(), 48000.5, "output_device_nominal");
  o.output = 47999.0;
  expectRate(o.resolve(), 44100, "tap_asbd");
  o.aggregate = 48000;
  expectRate(o.resolve(), 48000, "aggregate_device_nominal");
  o.output = 16000;  // telephony rates only count on a hands-free output
  o.aggregate.reset();
  expectRate(o.resolve(), 44100, "tap_asbd");
}

TEST(ResolveSystemNativeRate, OtherTransportsNeverOverride) {
  for (const char* transport : {"usb", "hdmi", "airplay", "virtual", "aggregate", "thunderbolt", "unknown"}) {
    Observed o;
    o.transport = transport;
    o.tap = 44100;
    o.output = 48000;
    o.aggregate = 16000;
    expectRate(o.resolve(), 44100, "tap_asbd");
  }
}

TEST(ResolveSystemNativeRate, ANaNTapRateDiffersFromEveryRate) {
  Observed o;
  o.transport = "builtin_mic";
  o.tap = std::numeric_limits<double>::quiet_NaN();
  o.output = 48000;
  const ResolvedRate r = o.resolve();
  expectRate(r, 48000, "output_device_nominal");
  EXPECT_TRUE(std::isnan(r.tapAsbdRate));
}

TEST(IsLikelySameBluetoothDevice, UIDsThenNormalisedNames) {
  EXPECT_TRUE(isLikelySameBluetoothDevice("AA-BB", "Anything", "AA-BB", "Else"));
  // Empty UIDs never match by UID.
  EXPECT_FALSE(isLikelySameBluetoothDevice("", "Desk Cans", "", "Studio"));
  EXPECT_TRUE(isLikelySameBluetoothDevice("", "Desk Cans", "", "Desk Cans"));
  EXPECT_TRUE(isLikelySameBluetoothDevice("m", "Orbit 65 Microphone", "o", "Orbit 65 Hands-Free"));
  // A name made only of role words normalises to nothing and never matches.
  EXPECT_FALSE(isLikelySameBluetoothDevice("m", "Microphone", "o", "Microphone"));
  EXPECT_FALSE(isLikelySameBluetoothDevice("m", "Mic - Input", "o", ""));
}

TEST(NormalizeBluetoothDeviceName, RowsOfTheWordTable) {
  EXPECT_EQ(normalizeBluetoothDeviceName("Desk Cans Headphones"), "deskcanss");
  EXPECT_EQ(normalizeBluetoothDeviceName("Desk Cans"), "deskcans");
  EXPECT_EQ(normalizeBluetoothDeviceName("Field Recorder Microphone"), "fieldrecorder");
  EXPECT_EQ(normalizeBluetoothDeviceName("Orbit 65 Hands-Free"), "orbit65");
  EXPECT_EQ(normalizeBluetoothDeviceName("Dynamic Mic"), "dyna");
  EXPECT_EQ(normalizeBluetoothDeviceName("Microphone"), "");
  EXPECT_EQ(normalizeBluetoothDeviceName(""), "");
  EXPECT_EQ(normalizeBluetoothDeviceName("Stereo Audio Output"), "");
  EXPECT_EQ(normalizeBluetoothDeviceName("Pod Earbuds"), "pods");
  EXPECT_EQ(normalizeBluetoothDeviceName("HandsFree Speakers"), "s");
  // Only letters and digits remain; letters outside ASCII go, except those
  // whose lower case is an ASCII letter (KELVIN SIGN).
  EXPECT_EQ(normalizeBluetoothDeviceName("Café_Z-3 \xE2\x84\xAA"), "cafz3k");
}

}  // namespace
}  // namespace helper
