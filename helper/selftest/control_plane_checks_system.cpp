// The system capture side: which rate the tap's frames are read at, when
// an output change rebuilds the tap, and how a segment's cadence against
// wall time is classified (the stale-rate case of a consumer left at an
// old rate).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/system/system_cadence.h"
#include "helper/core/system/system_tap_format.h"
#include "helper/core/system/system_tap_rebuild.h"
#include "helper/routing/system_rate_resolution.h"
#include "helper/selftest/control_plane_checks.h"
#include "helper/selftest/route_sim.h"

namespace helper {

namespace {

struct RateScenario {
  std::string label;
  double tapAsbdRate;
  std::optional<double> outputDeviceNominalRate;
  std::optional<double> aggregateDeviceNominalRate;
  std::string outputTransport;
  std::string outputDeviceUID;
  std::string outputDeviceName;
  double micNativeRate;
  std::string micRouteKind;
  std::string micDeviceUID;
  std::string micDeviceName;
  double expectedRate;
  std::string expectedSource;
};

ResolvedRate resolve(const RateScenario& s) {
  return resolveSystemNativeRate(s.tapAsbdRate, s.outputDeviceNominalRate, s.aggregateDeviceNominalRate,
                                 s.outputTransport, s.outputDeviceUID, s.outputDeviceName, s.micNativeRate,
                                 s.micRouteKind, s.micDeviceUID, s.micDeviceName);
}

std::string wholeNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

RateScenario builtInRow(const std::string& label, double outputNominal, double aggregateNominal,
                        const std::string& transport, const std::string& uid, const std::string& name,
                        double expectedRate, const std::string& expectedSource) {
  return {label,
          48000,
          outputNominal,
          aggregateNominal,
          transport,
          uid,
          name,
          48000,
          "builtin_mic",
          "BuiltInMicrophoneDevice",
          "MacBook Air Microphone",
          expectedRate,
          expectedSource};
}

const std::vector<RateScenario>& rateScenarios() {
  static const std::vector<RateScenario> rows = {
      builtInRow("builtin_44100_uses_output_nominal", 44100, 48000, "builtin_mic", "BuiltInSpeakerDevice",
                 "MacBook Air Speakers", 44100, "output_device_nominal"),
      builtInRow("usb_96000_stays_tap_asbd", 96000, 96000, "usb", "USB-DAC", "USB DAC", 48000, "tap_asbd"),
      builtInRow("hdmi_44100_stays_tap_asbd", 44100, 44100, "hdmi", "HDMI-Display", "HDMI Display", 48000, "tap_asbd"),
      builtInRow("aggregate_44100_stays_tap_asbd", 48000, 44100, "aggregate", "AggregateOutput", "Aggregate Output",
                 48000, "tap_asbd"),
      {"bt_hfp_16000_uses_output_nominal", 48000, 16000, 48000, "bluetooth_hfp", "PixelBuds-output", "Pixel Buds Pro",
       16000, "bluetooth_hfp", "PixelBuds-input", "Pixel Buds Pro", 16000, "output_device_nominal"},
      {"bt_hfp_separate_builtin_mic_44100_uses_output_nominal", 48000, 44100, 44100, "bluetooth_hfp",
       "PixelBuds-output", "Pixel Buds Pro", 44100, "builtin_mic", "BuiltInMicrophoneDevice", "MacBook Air Microphone",
       44100, "output_device_nominal"},
  };
  return rows;
}

void reportRateScenario(TestReport& report, const RateScenario& s) {
  const ResolvedRate got = resolve(s);
  report.check("system_rate_" + s.label, got.effectiveRate == s.expectedRate && got.source == s.expectedSource,
               "got " + wholeNumber(got.effectiveRate) + " via " + got.source + ", expected " +
                   wholeNumber(s.expectedRate) + " via " + s.expectedSource);
}

// Built-in, headset, built-in at 48000 throughout, headset again.
bool repeatedSwitchesResolveEachTime() {
  const RateScenario& builtIn = rateScenarios()[0];
  const RateScenario& headset = rateScenarios()[4];
  const RateScenario builtIn48k =
      builtInRow("", 48000, 48000, "builtin_mic", "BuiltInSpeakerDevice", "MacBook Air Speakers", 48000, "tap_asbd");
  const std::vector<double> expected = {44100, 16000, 48000, 16000};
  std::vector<double> got;
  for (const RateScenario* s : {&builtIn, &headset, &builtIn48k, &headset}) got.push_back(resolve(*s).effectiveRate);
  return got == expected;
}

// 30 s at 24000 Hz written in 10885 ms by a consumer still converting at
// 16000 Hz while the tap delivers 44100 Hz.
constexpr uint64_t kStaleSegmentFrames = 720000;
constexpr double kCanonicalRate = 24000;
constexpr uint64_t kStaleSegmentWallMs = 10885;
constexpr double kStaleConsumerRate = 16000;

}  // namespace

void runSystemRateChecks(TestReport& report) {
  for (const auto& s : rateScenarios()) reportRateScenario(report, s);
  report.check("system_rate_repeated_builtin_bt_switches_resolve_each_time", repeatedSwitchesResolveEachTime(),
               "system rate policy should alternate correctly across built-in <-> BT output switches");
}

void runOutputRebuildChecks(TestReport& report) {
  const auto format = makeSystemNativeFormat(16000, 2, true);
  report.check("system_rebuild_format_preserves_native_rate", format && format->sampleRate() == 16000,
               "route rebuild must restart the consumer with the rebuilt graph's native rate");
  report.check("system_rebuild_format_preserves_channel_count", format && format->channelCount() == 2,
               "route rebuild must preserve the rebuilt graph's channel layout");

  const auto uidChange =
      classifySystemOutputRouteChange("PixelBuds-output", "BuiltInSpeakerDevice", 16000, 44100, true);
  report.check("system_output_uid_change_requires_rebuild",
               uidChange.shouldRebuild && uidChange.uidChanged && !uidChange.force,
               "manual output device switches must rebuild the Process Tap aggregate");
  const auto rateChange = classifySystemOutputRouteChange("PixelBuds-output", "PixelBuds-output", 44100, 16000, true);
  report.check("system_output_same_uid_rate_change_forces_rebuild",
               rateChange.shouldRebuild && rateChange.force && rateChange.nominalRateChanged,
               "BT profile changes can keep the same UID while changing the route clock");
  const auto same = classifySystemOutputRouteChange("BuiltInSpeakerDevice", "BuiltInSpeakerDevice", 44100, 44100, true);
  report.check("system_output_same_uid_same_rate_ignored", !same.shouldRebuild && !same.force,
               "duplicate output notifications should not churn the graph");
  const auto missing =
      classifySystemOutputRouteChange("BuiltInSpeakerDevice", "BuiltInSpeakerDevice", 44100, std::nullopt, true);
  report.check("system_output_same_uid_missing_rate_ignored", !missing.shouldRebuild && !missing.force,
               "missing nominal rate is not enough evidence to force a same-UID rebuild");
}

void runSystemCadenceChecks(TestReport& report) {
  const SystemCadenceObservation stale{kStaleSegmentFrames, kCanonicalRate, kStaleSegmentWallMs};
  report.check("system_cadence_bt_to_builtin_stale_rate_classified",
               classifySystemCadenceObservation(stale) == SystemCadenceClassification::staleRate,
               "Test 3 system seq 4/5 cadence must be treated as stale-rate capture, not startup drift");

  // A built-in producer runs at 44100 Hz; within 1 % of it, and far from 48000.
  const double inferred = stale.inferredProducerRate(kStaleConsumerRate).value_or(0);
  report.check("system_cadence_bt_to_builtin_infers_builtin_rate", std::fabs(inferred - 44100) <= 441,
               "inferred producer rate " + wholeNumber(inferred) +
                   "Hz should identify a built-in-rate producer behind a stale 16k consumer");

  const uint64_t simulated =
      simulateCanonicalFramesForStaleSystemConsumer(44100, kStaleConsumerRate, kCanonicalRate, kStaleSegmentWallMs);
  report.check(
      "system_cadence_bt_to_builtin_simulates_test3_segment", simulated == 720043,
      "simulated frames " + std::to_string(simulated) + " should match the observed 720000-frame fast segment");

  // 800 ms over 30 s: beyond the warning drift, far below the stale ratio.
  const SystemCadenceObservation startupDrift{720000, kCanonicalRate, 30800};
  report.check("system_cadence_bt_startup_drift_warns_without_rebuild",
               classifySystemCadenceObservation(startupDrift) == SystemCadenceClassification::warning,
               "BT Test 2 startup drift is small-ratio drift and should not be escalated to stale-rate recovery");
  const SystemCadenceObservation nominal{720000, kCanonicalRate, 30020};
  report.check("system_cadence_nominal_segment_is_normal",
               classifySystemCadenceObservation(nominal) == SystemCadenceClassification::normal,
               "a normal 30s segment at 24k should remain accepted");
}

}  // namespace helper
