// Echo cancellation of the mic timeline in sessions recorded with echo risk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bin/kelvaro/kelvaro_session.h"

namespace kelvarotest {
namespace {

using Lines = std::vector<std::string>;

constexpr std::size_t kSeconds = 8;
constexpr std::size_t kFrames = kSeconds * 24000;
constexpr std::size_t kEchoDelayFrames = 1200;  // 50 ms from the speaker back into the mic

// Far-end audio (what the speakers play) and a mic that hears half of it 50 ms late plus a little room noise.
struct EchoFixture {
  Samples system = noise(kFrames, 3000, 7);
  Samples mic;
  EchoFixture() {
    const Samples room = noise(kFrames, 30, 11);
    mic.resize(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
      const int echo = i >= kEchoDelayFrames ? system[i - kEchoDelayFrames] / 2 : 0;
      mic[i] = static_cast<std::int16_t>(echo + room[i]);
    }
  }
};

TEST(KelvaroEcho, EchoOfTheSystemAudioIsRemovedFromTheMic) {
  Session s("s-echo");
  const EchoFixture fixture;
  s.segment("mic", 1, fixture.mic);
  s.segment("system", 1, fixture.system);
  s.echo_risk();
  const auto r = run_kelvaro({s.dir().string(), std::to_string(kSeconds * 1000)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Only the result lines: nothing of the canceller reaches standard error.
  EXPECT_EQ(r.errLines().size(), 6U) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "");

  const auto report = s.report();
  ASSERT_TRUE(report.contains("aec"));
  EXPECT_EQ(report["aec"]["requested"], true);
  EXPECT_EQ(report["aec"]["applied"], true);
  EXPECT_FALSE(report["aec"].contains("fallback_reason"));
  EXPECT_EQ(report["aec"]["delay_ms"], 50);
  EXPECT_GT(report["aec"]["erle_db"].get<double>(), 6.0);
  EXPECT_FALSE(fs::exists(s.dir() / "mic_cleaned.caf"));

  // The mix is the cleaned mic plus the system timeline: take the system out
  // again and compare the echo left over the last half with the mic's.
  const auto mixed = caf_samples(s.final_dir() / "mixed.caf");
  const auto system = caf_samples(s.dir() / "system_timeline.caf");
  const auto mic = caf_samples(s.dir() / "mic_timeline.caf");
  ASSERT_EQ(mixed.size(), kFrames);
  Samples cleaned(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) cleaned[i] = static_cast<std::int16_t>(mixed[i] - system[i]);
  const double before = energy(mic, kFrames / 2, kFrames);
  const double after = energy(cleaned, kFrames / 2, kFrames);
  EXPECT_LT(after, before / 10) << "echo reduced by only " << 10 * std::log10(before / after) << " dB";
}

TEST(KelvaroEcho, UntrustedCancellationFailsOpen) {
  Session s("s-echo-silent");
  // A silent mic gives the canceller nothing to act on.
  s.segment("mic", 1, constant(kFrames / 4, 0));
  s.segment("system", 1, noise(kFrames / 4, 3000, 7));
  s.echo_risk();
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"),
            "[\"aec_fail_open: low_confidence: action=0.00 erle=0.0dB collapse=0.00 divergence=0.00\"]");
  const auto aec = s.report().at("aec");
  EXPECT_EQ(aec.at("applied"), false);
  EXPECT_EQ(aec.at("fallback_reason"), "low_confidence: action=0.00 erle=0.0dB collapse=0.00 divergence=0.00");
  EXPECT_EQ(aec.at("erle_db"), 0.0);
  EXPECT_EQ(aec.at("delay_ms"), 0);
  // The uncleaned mic went into the mix.
  EXPECT_EQ(caf_samples(s.final_dir() / "mixed.caf"), caf_samples(s.dir() / "system_timeline.caf"));
  EXPECT_FALSE(fs::exists(s.dir() / "mic_cleaned.caf"));
}

TEST(KelvaroEcho, CancellerErrorFailsOpen) {
  Session s("s-echo-error");
  const EchoFixture fixture;
  s.segment("mic", 1, Samples(fixture.mic.begin(), fixture.mic.begin() + 48000));
  s.segment("system", 1, Samples(fixture.system.begin(), fixture.system.begin() + 48000));
  s.echo_risk();
  // The cleaned mic cannot be written where a directory stands.
  fs::create_directories(s.dir() / "mic_cleaned.caf" / "blocker");
  const auto r = run_kelvaro({s.dir().string(), "2000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(value_of(r, "warnings"), "[\"aec_fail_open: error: Is a directory (os error 21)\"]");
  const auto aec = s.report().at("aec");
  EXPECT_EQ(aec.at("applied"), false);
  EXPECT_EQ(aec.at("fallback_reason"), "error: Is a directory (os error 21)");
  EXPECT_FALSE(aec.contains("erle_db"));
  EXPECT_FALSE(aec.contains("delay_ms"));
  EXPECT_EQ(caf_samples(s.dir() / "mic_timeline.caf").size(), 48000U);
}

}  // namespace
}  // namespace kelvarotest
