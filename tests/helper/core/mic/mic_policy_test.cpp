#include "helper/core/mic/mic_policy.h"

#include <gtest/gtest.h>

#include <cmath>

namespace helper {
namespace {

TEST(MicPolicy, GainFollowsTheConfigurationElseTheRoute) {
  EXPECT_EQ(selectMicReconnectGain(2.5f, "bluetooth_hfp"), 2.5f);
  EXPECT_EQ(selectMicReconnectGain(2.5f, "builtin_mic"), 2.5f);
  EXPECT_EQ(selectMicReconnectGain(std::nullopt, "bluetooth_hfp"), 1.0f);
  EXPECT_EQ(selectMicReconnectGain(std::nullopt, "builtin_mic"), 4.0f);
  EXPECT_EQ(effectiveCaptureMicGain(std::nullopt, "unknown"), 4.0f);
}

TEST(MicPolicy, EffectiveCaptureFormatIsMonoAtTheTruncatedRate) {
  EXPECT_EQ(effectiveMicCaptureFormat(48000.7, 2), (EffectiveMicCaptureFormat{48000, 1}));
  EXPECT_FALSE(effectiveMicCaptureFormat(0, 1));
  EXPECT_FALSE(effectiveMicCaptureFormat(-8000, 1));
  EXPECT_FALSE(effectiveMicCaptureFormat(NAN, 1));
  EXPECT_FALSE(effectiveMicCaptureFormat(48000, 0));
  auto pcm = makeEffectiveMicPCMFormat(44100.5, 3);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->sampleRate(), 44100.5);
  EXPECT_EQ(pcm->channelCount(), 1u);
  EXPECT_TRUE(pcm->isInterleaved());
  EXPECT_EQ(pcm->commonFormat(), platform::audio::CommonFormat::pcmFloat32);
  EXPECT_FALSE(makeEffectiveMicPCMFormat(NAN, 1));
  EXPECT_EQ(micHardwareChannelDiagnosticContext(3, 1),
            "mic hardware_channels=3 effective_channels=1 writer_channels=1");
}

TEST(MicPolicy, AnInputWithoutChannelsOrAFiniteRateIsNoDevice) {
  using platform::audio::AudioFormat;
  using platform::audio::CommonFormat;
  EXPECT_TRUE(isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, 48000, 1, false)));
  EXPECT_FALSE(isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, 0, 1, false)));
  EXPECT_FALSE(isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, NAN, 1, false)));
  EXPECT_FALSE(isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, INFINITY, 1, false)));
  EXPECT_FALSE(isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, 48000, 0, false)));
}

TEST(MicPolicy, ConfigChangeClassification) {
  const auto classify = [](std::string cur, std::string obs, std::string curRoute, std::string obsRoute,
                           int64_t curRate, int64_t obsRate, int64_t curCh, int64_t obsCh, bool running) {
    return classifyMicConfigChangeAction(cur, obs, curRoute, obsRoute, curRate, obsRate, curCh, obsCh, running);
  };
  using A = MicConfigChangeAction;
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 48000, 1, 1, true), A::ignore);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 48000, 1, 1, false), A::restartExistingEngine);
  EXPECT_EQ(classify("a", "a", "bluetooth_hfp", "bluetooth_hfp", 16000, 16000, 1, 1, false), A::reconnect);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 48000, 2, 1, true), A::reconnect);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 48000, 1, 2, true), A::ignore);
  EXPECT_EQ(classify("a", "", "builtin_mic", "builtin_mic", 48000, 48000, 1, 1, true), A::reconnect);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 0, 1, 1, true), A::reconnect);
  EXPECT_EQ(classify("a", "b", "builtin_mic", "builtin_mic", 48000, 48000, 1, 1, true), A::reconnect);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "usb", 48000, 48000, 1, 1, true), A::reconnect);
  EXPECT_EQ(classify("a", "a", "builtin_mic", "builtin_mic", 48000, 44100, 1, 1, true), A::reconnect);
  EXPECT_EQ(micConfigChangeActionFromRaw("restartExistingEngine"), A::restartExistingEngine);
  EXPECT_FALSE(micConfigChangeActionFromRaw("Reconnect"));
}

TEST(MicPolicy, DefaultInputReconnectAndSettleRules) {
  EXPECT_TRUE(defaultInputChangeRequiresMicReconnect("a", "b", false, true));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "b", true, true));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "b", false, false));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "", false, true));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "a", false, true));
  EXPECT_EQ(micReconnectSettleDelayNs(false, "bluetooth_hfp"), 0u);
  EXPECT_EQ(micReconnectSettleDelayNs(true, "bluetooth_hfp"), 1'500'000'000u);
  EXPECT_EQ(micReconnectSettleDelayNs(true, "usb"), 750'000'000u);
  EXPECT_TRUE(shouldDeferMicReconnectForRoute(true, "bluetooth_hfp"));
  EXPECT_FALSE(shouldDeferMicReconnectForRoute(false, "bluetooth_hfp"));
  EXPECT_TRUE(shouldRecordDefaultInputDisconnection("old", 5, false, false));
  EXPECT_FALSE(shouldRecordDefaultInputDisconnection("old", 5, true, false));
  EXPECT_FALSE(shouldRecordDefaultInputDisconnection("old", 5, false, true));
  EXPECT_FALSE(shouldRecordDefaultInputDisconnection("", 5, false, false));
  EXPECT_FALSE(shouldRecordDefaultInputDisconnection("old", 0, false, false));
}

TEST(MicPolicy, AStoppedEngineFollowsTheDefaultInputAfterTheSettleDelayAlone) {
  // Even the device it recorded, which is where a new input removed
  // before the switch to it leaves the default.
  EXPECT_TRUE(defaultInputChangeRequiresMicReconnect("a", "a", false, true, false));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "a", false, true, true));
  EXPECT_TRUE(defaultInputChangeRequiresMicReconnect("a", "b", false, true, true));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "a", true, true, false));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "a", false, false, false));
  EXPECT_FALSE(defaultInputChangeRequiresMicReconnect("a", "", false, true, false));
  // The cool-down only holds back a switch away from an engine that records.
  EXPECT_EQ(micDeferredReconnectDelayNs(750'000'000, 6'000'000'000, true), 6'000'000'000u);
  EXPECT_EQ(micDeferredReconnectDelayNs(1'500'000'000, 0, true), 1'500'000'000u);
  EXPECT_EQ(micDeferredReconnectDelayNs(750'000'000, 6'000'000'000, false), 750'000'000u);
  EXPECT_EQ(micDeferredReconnectDelayNs(1'500'000'000, 7'000'000'000, false), 1'500'000'000u);
}

}  // namespace
}  // namespace helper
