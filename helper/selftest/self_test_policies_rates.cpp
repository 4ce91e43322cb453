// Self-test groups 31-33: the system capture rate over fifteen device
// situations, the capture mic gain, and what a converter built from a
// wrong input rate does to the frame count.
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/routing/system_rate_resolution.h"
#include "helper/selftest/self_test_suite.h"
#include "platform/audio/engine/converter.h"

namespace helper {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::ConverterInputStatus;
using platform::audio::PCMBuffer;

// A device as the scenario table describes it: transport (or route kind),
// UID and name.
struct DeviceInfo {
  const char* kind;
  const char* uid;
  const char* name;
};

constexpr DeviceInfo kBuiltinOut{"builtin_mic", "BuiltInSpeakerDevice", "MacBook Pro Speakers"};
constexpr DeviceInfo kBuiltinMic{"builtin_mic", "BuiltInMicrophoneDevice", "MacBook Pro Microphone"};
constexpr DeviceInfo kHfpOut{"bluetooth_hfp", "PixelBuds-output", "Pixel Buds Pro"};
constexpr DeviceInfo kHfpMic{"bluetooth_hfp", "PixelBuds-mic", "Pixel Buds Pro Microphone"};

struct Scenario {
  const char* label;
  double tapAsbdRate;
  std::optional<double> outputDeviceNominalRate;
  std::optional<double> aggregateDeviceNominalRate;
  DeviceInfo output;
  double micNativeRate;
  DeviceInfo mic;
  double expectedRate;
  const char* expectedSource;
  bool expectedSameBluetoothDevice;
};

constexpr std::optional<double> kAbsent = std::nullopt;

const Scenario kScenarios[] = {
    {"builtin_48k_no_override", 48000, 48000, 48000, kBuiltinOut, 48000, kBuiltinMic, 48000, "tap_asbd", false},
    {"builtin_output_nominal_44100", 48000, 44100, 48000, kBuiltinOut, 48000, kBuiltinMic, 44100,
     "output_device_nominal", false},
    {"usb_dac_96k_no_override",
     48000,
     96000,
     96000,
     {"usb", "USB-DAC", "USB DAC"},
     48000,
     kBuiltinMic,
     48000,
     "tap_asbd",
     false},
    {"aggregate_44100_no_override",
     48000,
     48000,
     44100,
     {"usb", "AggregateOutput", "Aggregate Output"},
     48000,
     kBuiltinMic,
     48000,
     "tap_asbd",
     false},
    {"bt_hfp_output_nominal_16k", 48000, 16000, 48000, kHfpOut, 48000, kBuiltinMic, 16000, "output_device_nominal",
     false},
    {"bt_hfp_aggregate_nominal_16k", 48000, 48000, 16000, kHfpOut, 48000, kBuiltinMic, 16000,
     "aggregate_device_nominal", false},
    {"bt_hfp_all_lie_mic_16k", 48000, 48000, 48000, kHfpOut, 16000, kHfpMic, 16000, "bluetooth_hfp_mic_rate", true},
    {"bt_hfp_nil_rates_mic_8k",
     48000,
     kAbsent,
     kAbsent,
     {"bluetooth_hfp", "AirPods-output", "AirPods Pro"},
     8000,
     {"bluetooth_hfp", "AirPods-mic", "AirPods Pro Microphone"},
     8000,
     "bluetooth_hfp_mic_rate",
     true},
    {"bt_hfp_separate_builtin_mic_44100", 48000, 44100, 44100, kHfpOut, 44100, kBuiltinMic, 44100,
     "output_device_nominal", false},
    {"bt_hfp_mic_builtin_48k_no_override", 48000, 48000, 48000, kHfpOut, 48000, kBuiltinMic, 48000, "tap_asbd", false},
    {"bt_hfp_usb_16k_mic_no_override",
     48000,
     48000,
     48000,
     kHfpOut,
     16000,
     {"usb", "USBConferenceMic", "Conference Mic"},
     48000,
     "tap_asbd",
     false},
    {"bt_hfp_different_bt_mic_no_override",
     48000,
     48000,
     48000,
     kHfpOut,
     16000,
     {"bluetooth_hfp", "OtherHeadset-mic", "Other Headset Microphone"},
     48000,
     "tap_asbd",
     false},
    {"bt_hfp_no_mic_no_override", 48000, 48000, 48000, kHfpOut, 0, kHfpMic, 48000, "tap_asbd", true},
    {"hdmi_44100_no_override",
     48000,
     44100,
     44100,
     {"hdmi", "HDMI", "HDMI Output"},
     48000,
     kBuiltinMic,
     48000,
     "tap_asbd",
     false},
    {"zero_rates_no_override", 48000, 0, 0, kBuiltinOut, 48000, kBuiltinMic, 48000, "tap_asbd", false},
};

void checkScenario(const SelfTestContext& ctx, const Scenario& s) {
  const ResolvedRate r =
      resolveSystemNativeRate(s.tapAsbdRate, s.outputDeviceNominalRate, s.aggregateDeviceNominalRate, s.output.kind,
                              s.output.uid, s.output.name, s.micNativeRate, s.mic.kind, s.mic.uid, s.mic.name);
  const std::string name = std::string("rate_resolve_") + s.label;
  ctx.check(name, r.effectiveRate == s.expectedRate,
            "got " + wholeNumberText(r.effectiveRate) + ", expected " + wholeNumberText(s.expectedRate));
  ctx.check(name + "_source", r.source == s.expectedSource,
            "got '" + r.source + "', expected '" + s.expectedSource + "'");
  ctx.check(name + "_same_device", r.sameBluetoothDevice == s.expectedSameBluetoothDevice,
            "got " + flagText(r.sameBluetoothDevice) + ", expected " + flagText(s.expectedSameBluetoothDevice));
}

// Float32 mono interleaved at `rate`; nothing when the platform refuses it.
std::optional<AudioFormat> monoFormat(double rate) {
  return AudioFormat::make(CommonFormat::pcmFloat32, rate, 1, true);
}

// One second of a 440 Hz sine sampled at 16 kHz, in a buffer whose format
// claims `labelledRate`.
std::unique_ptr<PCMBuffer> sineSecondAt16k(double labelledRate) {
  constexpr uint32_t kFrames = 16000;
  const auto format = monoFormat(labelledRate);
  auto buffer = format ? PCMBuffer::make(*format, kFrames) : nullptr;
  if (!buffer) return nullptr;
  buffer->setFrameLength(kFrames);
  float* samples = buffer->floatChannelData()[0];
  for (uint32_t i = 0; i < kFrames; ++i) {
    samples[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * i / 16000.0));
  }
  return buffer;
}

// The frames one conversion of `input` to 24000 Hz yields into a buffer of
// `capacity` frames: the input block hands the buffer over once, then has
// no data. 0 when any piece cannot be built.
int64_t convertedFrames(const PCMBuffer* input, uint32_t capacity) {
  const auto target = monoFormat(24000);
  if (!input || !target) return 0;
  const auto converter = AudioConverter::make(input->format(), *target);
  auto output = PCMBuffer::make(*target, capacity);
  if (!converter || !output) return 0;
  bool handedOver = false;
  std::string error;
  converter->convert(*output, &error, [&](uint32_t, ConverterInputStatus& status) -> const PCMBuffer* {
    if (handedOver) {
      status = ConverterInputStatus::noDataNow;
      return nullptr;
    }
    handedOver = true;
    status = ConverterInputStatus::haveData;
    return input;
  });
  return output->frameLength();
}

}  // namespace

void runSystemRateScenariosGroup(const SelfTestContext& ctx) {
  for (const Scenario& s : kScenarios) checkScenario(ctx, s);
}

void runCaptureMicGainGroup(const SelfTestContext& ctx) {
  ctx.check("capture_mic_gain_builtin_default_calibrated_4x",
            effectiveCaptureMicGain(std::nullopt, "builtin_mic") == 4.0f,
            "built-in/non-HFP default should be calibrated to 4x for capture headroom");
  ctx.check("capture_mic_gain_unknown_non_hfp_default_calibrated_4x",
            effectiveCaptureMicGain(std::nullopt, "unknown") == 4.0f,
            "non-HFP routes should share the calibrated built-in default");
  const float hfp = selectMicReconnectGain(std::nullopt, "bluetooth_hfp");
  ctx.check("capture_mic_gain_bt_hfp_default_unity", hfp == kBluetoothHfpCaptureMicGain && hfp == 1.0f);
  ctx.check("capture_mic_gain_explicit_override_preserved", selectMicReconnectGain(2.5f, "bluetooth_hfp") == 2.5f);
}

void runConverterRateMismatchGroup(const SelfTestContext& ctx) {
  const auto source = sineSecondAt16k(16000);
  const auto mislabelled = sineSecondAt16k(48000);
  const int64_t m = convertedFrames(mislabelled.get(), 8001);
  const int64_t c = convertedFrames(source.get(), 24001);
  const double ratio = static_cast<double>(c) / static_cast<double>(std::max<int64_t>(m, 1));
  ctx.check("converter_rate_mismatch_3x", ratio > 2.8 && ratio < 3.2, "fix/bug ratio = " + fixedText(ratio, 2));
  ctx.check("converter_fix_correct_frames", std::llabs(c - 24000) <= 32,
            "got " + std::to_string(c) + ", expected " + std::to_string(24000));
}

}  // namespace helper
