#include "recorder/aec/echo_canceller.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <vector>

#include "tests/recorder/aec/aec_fixtures.h"
#include "tests/support/temp_dir.h"

namespace recorder::aec {
namespace {

using testing::add;
using testing::echo_of;
using testing::kFrame;
using testing::kRate;
using testing::mean_square;
using testing::read_timeline;
using testing::room_response;
using testing::speech_like;
using testing::StderrCapture;
using testing::stored_data_size;
using testing::to_pcm;
using testing::white_noise;
using testing::write_timeline;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& s, std::size_t first, std::size_t end) {
  return {s.begin() + static_cast<std::ptrdiff_t>(first), s.begin() + static_cast<std::ptrdiff_t>(end)};
}

class CancelMicEcho : public ::testing::Test {
 protected:
  IoResult<AecMetrics> cancel(const std::vector<std::int16_t>& mic, const std::vector<std::int16_t>& system) {
    write_timeline(mic_, mic);
    write_timeline(system_, system);
    return cancel_mic_echo(mic_, system_, out_, kRate);
  }
  std::vector<std::int16_t> output() const { return read_timeline(out_); }

  TempDir tmp_;
  const std::filesystem::path mic_ = tmp_ / "mic_timeline.caf";
  const std::filesystem::path system_ = tmp_ / "system_timeline.caf";
  const std::filesystem::path out_ = tmp_ / "mic_cleaned.caf";
};

TEST_F(CancelMicEcho, SilentReferenceLeavesTheMicUntouched) {
  const auto mic = to_pcm(white_noise(3 * kRate + 5, 3000, 1));
  const auto m = cancel(mic, std::vector<std::int16_t>(3 * kRate + 5, 0));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(readFile(out_), readFile(mic_));
  EXPECT_EQ(m->active_fraction, 0.0);
  EXPECT_EQ(m->erle_db, 0.0);
  EXPECT_EQ(m->frames, (3 * kRate + 5) / kFrame);
  EXPECT_EQ(m->delay_ms, 0U);
  EXPECT_FALSE(m->delay_applied);
  EXPECT_EQ(m->min_action_fraction, 0.05);
}

TEST_F(CancelMicEcho, MicDelayedBy120msDelaysTheReference) {
  const std::size_t n = 3 * kRate;
  const std::size_t delay = 2880;
  // The system plays from the first sample; the mic hears it 120 ms later,
  // over a little room noise.
  auto system = speech_like(n, 10000, 2);
  for (std::size_t i = 0; i < 2000; ++i) system[i] += 3000.0 * std::sin(0.05 * static_cast<double>(i));
  const auto mic = to_pcm(add(echo_of(system, delay, {1.0}), white_noise(n, 200, 3)));
  const auto m = cancel(mic, to_pcm(system));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->delay_ms, 120U);
  EXPECT_TRUE(m->delay_applied);
  const auto out = output();
  ASSERT_EQ(out.size(), n);
  // The reference opens with 2832 zero samples (the delay less 2 ms): the
  // first 11 frames are silent there and pass the mic through; the 12th
  // reaches the sound.
  EXPECT_EQ(slice(out, 0, 11 * kFrame), slice(mic, 0, 11 * kFrame));
  EXPECT_NE(slice(out, 11 * kFrame, 12 * kFrame), slice(mic, 11 * kFrame, 12 * kFrame));
}

TEST_F(CancelMicEcho, WeakCorrelationReportsTheLagButKeepsTheReference) {
  // The system plays for half a second; the mic hears it quietly 300 ms
  // later and is otherwise dominated by a loud sound no lag lines up with.
  const std::size_t n = 4 * kRate;
  std::vector<double> system = speech_like(kRate / 2, 10000, 4);
  system.resize(n, 0.0);
  std::vector<double> mic = add(echo_of(system, 7200, {0.3}), white_noise(n, 50, 5));
  const auto loud = speech_like(kRate / 2, 10000, 6);
  for (std::size_t i = 0; i < loud.size(); ++i) mic[7 * kRate / 2 + i] += loud[i];
  const auto mic_pcm = to_pcm(mic);
  const auto m = cancel(mic_pcm, to_pcm(system));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->delay_ms, 300U);
  EXPECT_FALSE(m->delay_applied);
  // Undelayed, the reference falls silent at 0.5 s and processing ends with
  // the hangover at about 1.5 s; delayed, it would run to about 1.8 s.
  const auto out = output();
  EXPECT_EQ(slice(out, 141 * kFrame, 172 * kFrame), slice(mic_pcm, 141 * kFrame, 172 * kFrame));
  EXPECT_NE(slice(out, 100 * kFrame, 139 * kFrame), slice(mic_pcm, 100 * kFrame, 139 * kFrame));
}

TEST_F(CancelMicEcho, TimelinesShorterThanASecondGetNoDelayEstimate) {
  const std::size_t n = kRate - 1;
  const auto system = speech_like(n, 10000, 7);
  const auto mic = to_pcm(echo_of(system, 2400, {0.8}));
  const auto m = cancel(mic, to_pcm(system));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->delay_ms, 0U);
  EXPECT_FALSE(m->delay_applied);
  EXPECT_EQ(output().size(), n);
  EXPECT_EQ(m->frames, n / kFrame);
}

TEST_F(CancelMicEcho, TheTailShorterThanAFrameIsCopied) {
  const auto mic = to_pcm(white_noise(1000, 3000, 8));
  const auto m = cancel(mic, to_pcm(white_noise(1000, 5000, 9)));
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->frames, 3U);
  const auto out = output();
  ASSERT_EQ(out.size(), 1000U);
  EXPECT_EQ(slice(out, 768, 1000), slice(mic, 768, 1000));
  EXPECT_NE(slice(out, 0, 768), slice(mic, 0, 768));
  EXPECT_EQ(std::filesystem::file_size(out_), 2068U);
  EXPECT_EQ(stored_data_size(out_), 2004);
}

TEST_F(CancelMicEcho, AnOddLastByteIsDropped) {
  write_timeline(system_, to_pcm(white_noise(600, 5000, 10)));
  const auto mic = to_pcm(white_noise(600, 3000, 11));
  write_timeline(mic_, mic);
  writeFile(mic_, readFile(mic_) + "\x7F");
  const auto m = cancel_mic_echo(mic_, system_, out_, kRate);
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(std::filesystem::file_size(out_), 68U + 1200U);
  EXPECT_EQ(stored_data_size(out_), 1204);
  EXPECT_EQ(slice(output(), 512, 600), slice(mic, 512, 600));
}

TEST_F(CancelMicEcho, AnEmptyMicGivesAnEmptyTimeline) {
  write_timeline(system_, to_pcm(white_noise(kRate, 5000, 12)));
  for (const std::size_t size : {68, 10, 0}) {
    write_timeline(mic_, {});
    writeFile(mic_, readFile(mic_).substr(0, size));
    writeFile(out_, std::string(5000, 'x'));  // an old file is replaced
    const auto m = cancel_mic_echo(mic_, system_, out_, kRate);
    ASSERT_TRUE(m.ok()) << size << ": " << m.error().to_string();
    EXPECT_EQ(m->frames, 0U);
    EXPECT_EQ(m->erle_db, 0.0);
    EXPECT_EQ(m->active_fraction, 0.0);
    EXPECT_EQ(std::filesystem::file_size(out_), 68U);
    EXPECT_EQ(stored_data_size(out_), 4);
  }
}

TEST_F(CancelMicEcho, AShortSystemTimelineIsPaddedWithSilence) {
  const std::size_t n = 3 * kRate;
  const auto system = to_pcm(white_noise(kRate / 2, 5000, 13));
  const auto mic = to_pcm(white_noise(n, 1000, 14));
  const auto m = cancel(mic, system);
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  const auto out = output();
  ASSERT_EQ(out.size(), n);
  // Silent after 0.5 s: processing ends with the hangover, the mic passes after.
  EXPECT_EQ(slice(out, 2 * kRate, n), slice(mic, 2 * kRate, n));
  EXPECT_EQ(m->frames, n / kFrame);
  EXPECT_NEAR(m->active_fraction, (47.0 + 93.0) / static_cast<double>(n / kFrame), 1e-12);
}

TEST_F(CancelMicEcho, MissingTimelinesAreErrors) {
  write_timeline(mic_, to_pcm(white_noise(kRate, 1000, 15)));
  auto m = cancel_mic_echo(mic_, tmp_ / "absent.caf", out_, kRate);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().os_code(), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(out_));
  m = cancel_mic_echo(tmp_ / "absent.caf", mic_, out_, kRate);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().os_code(), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(out_));
}

TEST_F(CancelMicEcho, UnwritableOutputIsAnError) {
  write_timeline(mic_, to_pcm(white_noise(kRate, 1000, 16)));
  write_timeline(system_, to_pcm(white_noise(kRate, 1000, 17)));
  const auto m = cancel_mic_echo(mic_, system_, tmp_ / "no" / "such" / "dir.caf", kRate);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().os_code(), ENOENT);
}

TEST_F(CancelMicEcho, RefusesToOverwriteAnInput) {
  const auto mic = to_pcm(white_noise(kRate, 1000, 18));
  write_timeline(mic_, mic);
  write_timeline(system_, to_pcm(white_noise(kRate, 1000, 19)));
  const std::string before = readFile(mic_);
  for (const auto& target : {mic_, system_}) {
    const auto m = cancel_mic_echo(mic_, system_, target, kRate);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().kind(), IoError::Kind::InvalidInput);
  }
  std::filesystem::create_symlink(mic_, tmp_ / "link.caf");
  EXPECT_FALSE(cancel_mic_echo(mic_, system_, tmp_ / "link.caf", kRate).ok());
  EXPECT_EQ(readFile(mic_), before);
}

TEST_F(CancelMicEcho, RatesBelow100HzAreRefused) {
  write_timeline(mic_, to_pcm(white_noise(kRate, 1000, 20)));
  write_timeline(system_, to_pcm(white_noise(kRate, 1000, 21)));
  for (const std::uint32_t rate : {0U, 99U, 384001U}) {
    const auto m = cancel_mic_echo(mic_, system_, out_, rate);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().to_string(), "unsupported sample rate: " + std::to_string(rate));
    EXPECT_FALSE(std::filesystem::exists(out_));
  }
  // 100 Hz is the lowest rate taken: blocks of one sample.
  const auto m = cancel_mic_echo(mic_, system_, out_, 100);
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(output().size(), static_cast<std::size_t>(kRate));
}

// A far end that talks for 3.5 s, heard through the room 40 ms later with a
// short decaying response, over faint room noise; then the near end talks
// alone.
TEST_F(CancelMicEcho, RemovesARealisticEchoAndKeepsTheNearEnd) {
  const std::size_t n = 5 * kRate;
  const std::size_t far_end = 7 * kRate / 2;
  auto far = speech_like(far_end, 12000, 22);
  far.resize(n, 0.0);
  const auto echo = echo_of(far, 960, room_response(0.5, 23));
  const std::size_t talk_from = far_end + kRate / 10;
  std::vector<double> talk(talk_from, 0.0);
  const auto words = speech_like(n - talk_from, 6000, 24);
  talk.insert(talk.end(), words.begin(), words.end());
  const auto mic = to_pcm(add(add(echo, white_noise(n, 20, 25)), talk));

  StderrCapture capture;
  const auto m = cancel(mic, to_pcm(far));
  EXPECT_EQ(capture.text(), "");
  ASSERT_TRUE(m.ok()) << m.error().to_string();
  EXPECT_EQ(m->delay_ms, 40U);
  EXPECT_TRUE(m->delay_applied);
  EXPECT_EQ(m->frames, n / kFrame);

  const auto out = output();
  ASSERT_EQ(out.size(), n);
  // Once the filter has settled, the echo loses well over 15 dB.
  const std::size_t settled = 3 * kRate / 2;
  const double erle = 10.0 * std::log10(mean_square(mic, settled, far_end) / mean_square(out, settled, far_end));
  EXPECT_GT(erle, 15.0);
  // Over the whole run, including the first second and the near end's speech
  // in the hangover, the figure the finalisation sees is still clear.
  EXPECT_GT(m->erle_db, 6.0);
  // And the finalisation would trust the result.
  EXPECT_GE(m->action_fraction, m->min_action_fraction);
  EXPECT_LE(m->collapse_fraction, m->max_collapse_fraction);
  EXPECT_LE(m->divergence_fraction, m->max_divergence_fraction);
  EXPECT_GT(m->active_fraction, 0.5);

  // The near end alone: while the hangover still processes (until about
  // 4.5 s), the speech comes through with its energy and shape intact...
  const std::size_t quiet_from = far_end + kRate / 4;
  const std::size_t hangover_end = far_end + kRate;
  std::vector<std::int16_t> diff(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) diff[i] = static_cast<std::int16_t>(out[i] - mic[i]);
  const double near_ms = mean_square(mic, quiet_from, hangover_end);
  EXPECT_NEAR(mean_square(out, quiet_from, hangover_end) / near_ms, 1.0, 0.05);
  EXPECT_LT(mean_square(diff, quiet_from, hangover_end), 0.01 * near_ms);
  // ... and after it, exactly as recorded.
  const std::size_t pass_from = (far_end / kFrame + 96) * kFrame;
  EXPECT_EQ(slice(out, pass_from, n), slice(mic, pass_from, n));
}

}  // namespace
}  // namespace recorder::aec
