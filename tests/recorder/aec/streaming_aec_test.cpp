#include "recorder/aec/streaming_aec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <speex/speex_echo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/recorder/aec/aec_fixtures.h"

namespace recorder::aec {
namespace {

using testing::kFrame;
using testing::kRate;
using testing::StderrCapture;
using testing::to_pcm;
using testing::white_noise;

StreamingAec make_aec() {
  auto aec = StreamingAec::create(make_aec_config(kRate));
  EXPECT_TRUE(aec.ok());
  return std::move(aec).value();
}

std::vector<std::int16_t> run(StreamingAec& aec, std::span<const std::int16_t> mic,
                              std::span<const std::int16_t> reference) {
  auto out = aec.process(mic, reference);
  EXPECT_TRUE(out.ok());
  return out.ok() ? *out : std::vector<std::int16_t>{};
}

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& s, std::size_t first, std::size_t count) {
  return {s.begin() + static_cast<std::ptrdiff_t>(first), s.begin() + static_cast<std::ptrdiff_t>(first + count)};
}

// A linear fade across one frame, as the output must make it at a switch.
std::vector<std::int16_t> fade(const std::vector<std::int16_t>& from, const std::vector<std::int16_t>& to) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0; i < from.size(); ++i) {
    const float w = static_cast<float>(i) / static_cast<float>(from.size());
    const float v = (1.0f - w) * static_cast<float>(from[i]) + w * static_cast<float>(to[i]);
    out.push_back(static_cast<std::int16_t>(std::clamp(v, -32768.0f, 32767.0f)));
  }
  return out;
}

TEST(MdfCanceller, RefusesSizesTheLibraryCannotTake) {
  for (const auto& [frame, filter] : {std::pair<std::uint64_t, std::uint64_t>{0, 6144},
                                      {256, 0},
                                      {std::uint64_t{1} << 40, 6144},
                                      {256, std::uint64_t{1} << 33}}) {
    const auto c = MdfCanceller::create(kRate, frame, filter);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().to_string(), "speex_echo_state_init failed");
    EXPECT_EQ(c.error().kind(), IoError::Kind::Other);
  }
  EXPECT_TRUE(MdfCanceller::create(kRate, 256, 6144).ok());
}

TEST(StreamingAec, SilentReferencePassesTheMicThrough) {
  StreamingAec aec = make_aec();
  const auto mic = to_pcm(white_noise(10 * kFrame + 17, 3000, 1));
  const std::vector<std::int16_t> silence(mic.size(), 0);
  const auto out = run(aec, mic, silence);
  ASSERT_EQ(out.size(), 10 * kFrame);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), mic.begin()));
  EXPECT_EQ(aec.pending_mic().size(), 17U);
  const AecMetrics m = std::move(aec).into_metrics();
  EXPECT_EQ(m.frames, 10U);
  EXPECT_EQ(m.active_fraction, 0.0);
  EXPECT_EQ(m.erle_db, 0.0);
  EXPECT_EQ(m.action_fraction, 0.0);
  EXPECT_EQ(m.min_action_fraction, 0.05);
  EXPECT_EQ(m.max_collapse_fraction, 0.5);
  EXPECT_EQ(m.max_divergence_fraction, 0.1);
  EXPECT_EQ(m.delay_ms, 0U);
  EXPECT_FALSE(m.delay_applied);
}

TEST(StreamingAec, FadesInProcessesThroughTheHangoverAndFadesOut) {
  // One loud reference frame, then silence: the frame and 93 more are
  // processed, the next fades back to the mic, and the mic passes after.
  const std::size_t frames = 100;
  const auto mic = to_pcm(white_noise(frames * kFrame, 2000, 2));
  std::vector<std::int16_t> reference(frames * kFrame, 0);
  const auto loud = to_pcm(white_noise(kFrame, 5000, 3));
  std::copy(loud.begin(), loud.end(), reference.begin());

  // The same library fed the same frames gives the canceller's own output.
  auto twin = MdfCanceller::create(kRate, kFrame, 6144);
  ASSERT_TRUE(twin.ok());
  std::vector<std::int16_t> cancelled(frames * kFrame);
  for (std::size_t f = 0; f < frames; ++f) {
    twin->cancel(std::span(mic).subspan(f * kFrame, kFrame), std::span(reference).subspan(f * kFrame, kFrame),
                 std::span(cancelled).subspan(f * kFrame, kFrame));
  }

  StreamingAec aec = make_aec();
  const auto out = run(aec, mic, reference);
  ASSERT_EQ(out.size(), mic.size());
  EXPECT_EQ(slice(out, 0, kFrame), fade(slice(mic, 0, kFrame), slice(cancelled, 0, kFrame)));
  EXPECT_EQ(slice(out, kFrame, 93 * kFrame), slice(cancelled, kFrame, 93 * kFrame));
  EXPECT_EQ(slice(out, 94 * kFrame, kFrame),
            fade(slice(cancelled, 94 * kFrame, kFrame), slice(mic, 94 * kFrame, kFrame)));
  EXPECT_EQ(slice(out, 95 * kFrame, 5 * kFrame), slice(mic, 95 * kFrame, 5 * kFrame));
  // The canceller really changed the processed frames.
  EXPECT_NE(slice(out, kFrame, 93 * kFrame), slice(mic, kFrame, 93 * kFrame));

  const AecMetrics m = std::move(aec).into_metrics();
  EXPECT_EQ(m.frames, frames);
  EXPECT_DOUBLE_EQ(m.active_fraction, 94.0 / 100.0);
}

TEST(StreamingAec, ActiveReferenceRestartsTheHangover) {
  const std::size_t frames = 200;
  const auto mic = to_pcm(white_noise(frames * kFrame, 2000, 4));
  std::vector<std::int16_t> reference(frames * kFrame, 0);
  // Active in frames 0 and 50; silent but below the threshold elsewhere.
  const auto loud = to_pcm(white_noise(kFrame, 5000, 5));
  std::copy(loud.begin(), loud.end(), reference.begin());
  std::copy(loud.begin(), loud.end(), reference.begin() + 50 * kFrame);
  const auto faint = to_pcm(white_noise(frames * kFrame, 30, 6));  // mean square ~900
  for (std::size_t i = 0; i < reference.size(); ++i) {
    if (reference[i] == 0) reference[i] = faint[i];
  }
  StreamingAec aec = make_aec();
  const auto out = run(aec, mic, reference);
  // Processing runs from frame 0 to frame 143 (50 + 93) and stops at 144.
  EXPECT_EQ(slice(out, 145 * kFrame, 55 * kFrame), slice(mic, 145 * kFrame, 55 * kFrame));
  EXPECT_NE(slice(out, 143 * kFrame, kFrame), slice(mic, 143 * kFrame, kFrame));
  const AecMetrics m = std::move(aec).into_metrics();
  EXPECT_DOUBLE_EQ(m.active_fraction, 144.0 / 200.0);
}

TEST(StreamingAec, OutputDoesNotDependOnHowTheInputIsCut) {
  const std::size_t n = 40 * kFrame + 100;
  const auto far = white_noise(n, 4000, 7);
  const auto mic =
      to_pcm(testing::add(testing::echo_of(far, 30, testing::room_response(0.5, 8)), white_noise(n, 50, 9)));
  const auto reference = to_pcm(far);

  StreamingAec whole = make_aec();
  const auto expected = run(whole, mic, reference);
  ASSERT_EQ(expected.size(), 40 * kFrame);

  StreamingAec cut_up = make_aec();
  std::vector<std::int16_t> out;
  // Uneven cuts, and the reference running ahead of the mic for a while.
  const std::vector<std::size_t> cuts = {1, 255, 256, 257, 1000, 3, 4096, 511};
  std::size_t at = 0;
  std::size_t k = 0;
  while (at < n) {
    const std::size_t len = std::min(cuts[k++ % cuts.size()], n - at);
    const std::size_t ahead = std::min<std::size_t>(len + 300, n - at);
    const auto part = run(cut_up, std::span(mic).subspan(at, len), std::span(reference).subspan(at, ahead));
    out.insert(out.end(), part.begin(), part.end());
    // Give back the reference taken ahead: feed the mic that catches up.
    if (ahead > len) {
      const auto rest = run(cut_up, std::span(mic).subspan(at + len, ahead - len), {});
      out.insert(out.end(), rest.begin(), rest.end());
    }
    at += ahead;
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(cut_up.pending_mic().size(), 100U);
  const AecMetrics a = std::move(whole).into_metrics();
  const AecMetrics b = std::move(cut_up).into_metrics();
  EXPECT_EQ(a.frames, b.frames);
  EXPECT_EQ(a.erle_db, b.erle_db);
  EXPECT_EQ(a.action_fraction, b.action_fraction);
}

// A full-scale tone at half the sample rate on both sides makes the library
// judge its filter broken, reset it and say so on stderr.
std::vector<std::int16_t> nyquist(std::size_t n) {
  std::vector<std::int16_t> s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = (i % 2 == 0) ? -32768 : 32767;
  return s;
}

TEST(StreamingAec, TheLibraryStaysSilentWhenItsFilterIsReset) {
  const auto wild = nyquist(4 * kFrame);
  {
    // The library itself prints on this input.
    StderrCapture capture;
    SpeexEchoState* raw = speex_echo_state_init(kFrame, 6144);
    ASSERT_NE(raw, nullptr);
    std::vector<std::int16_t> out(kFrame);
    speex_echo_cancellation(raw, wild.data(), wild.data(), out.data());
    speex_echo_state_destroy(raw);
    EXPECT_NE(capture.text().find("reset"), std::string::npos);
  }
  StderrCapture capture;
  StreamingAec aec = make_aec();
  const auto out = run(aec, wild, wild);
  EXPECT_EQ(out.size(), wild.size());
  (void)std::move(aec).into_metrics();
  std::fputs("after\n", stderr);  // standard error works again afterwards
  EXPECT_EQ(capture.text(), "after\n");
}

TEST(StderrSilencing, ClosedStandardErrorIsLeftClosed) {
  StderrCapture capture;  // restores descriptor 2 at the end
  ASSERT_EQ(::close(STDERR_FILENO), 0);
  {
    StreamingAec aec = make_aec();
    const auto wild = nyquist(2 * kFrame);
    EXPECT_EQ(run(aec, wild, wild).size(), wild.size());
  }
  EXPECT_EQ(::fcntl(STDERR_FILENO, F_GETFD), -1);
}

}  // namespace
}  // namespace recorder::aec
