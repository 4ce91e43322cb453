#include "helper/core/segments/source_health.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace helper {
namespace {

constexpr uint64_t kMs = 1'000'000;

SealedSegData segment(int64_t frames, int64_t rate = 24000, float peak = 0.5f, float rms = 0.1f) {
  SealedSegData d;
  d.segmentPath = "/s/mic/000001.caf";
  d.source = "mic";
  d.seq = 1;
  d.frames = frames;
  d.peak = peak;
  d.rms = rms;
  d.startNs = 1000 * kMs;
  d.rate = rate;
  d.channels = 1;
  d.nativeRateAtOpen = 48000;
  d.nativeRateAtClose = 44100;
  d.nativeChannelsAtOpen = 2;
  d.nativeChannelsAtClose = 1;
  return d;
}

TEST(SegClosed, FullSegmentRecordHasTheTwentyTwoKeys) {
  const auto events = buildSegClosedEventsAt(segment(720000, 24000, 0.5f, 0.1f), (1000 + 30200) * kMs);
  ASSERT_EQ(events.size(), 1u);
  const Event expected = {{"type", "segment_closed"},
                          {"source", "mic"},
                          {"index", 1},
                          {"seq", 1},
                          {"path", "mic/000001.caf"},
                          {"bytes", 1440068},
                          {"frames", 720000},
                          {"canonical_frames", 720000},
                          {"duration_ms", 30200},
                          {"wall_clock_ms", 30200},
                          {"canonical_rate", 24000},
                          {"canonical_channels", 1},
                          {"native_rate_start", 48000},
                          {"native_rate_end", 44100},
                          {"native_channels_start", 2},
                          {"native_channels_end", 1},
                          {"host_time_start_ns", 1000 * kMs},
                          {"host_time_end_ns", (1000 + 30200) * kMs},
                          {"peak", 0.5},
                          {"rms", 0.1},
                          {"silence_injected_ms", 0},
                          {"format", "caf_pcm_s16le"}};
  EXPECT_EQ(events[0], expected);
  EXPECT_EQ(events[0].size(), 22u);
  // The single-precision figures serialise in their short form.
  EXPECT_NE(EventBus::serializeLine(events[0]).find("\"rms\":0.1,"), std::string::npos);
}

TEST(SegClosed, DriftBeyond500MsWarns) {
  const auto late = buildSegClosedEventsAt(segment(720000), (1000 + 31000) * kMs);
  ASSERT_EQ(late.size(), 2u);
  EXPECT_EQ(late[1], (Event{{"type", "warning"},
                            {"code", "seg_duration_mismatch"},
                            {"ctx", "mic seq 1: frames=720000@24000Hz=30000ms vs wall=31000ms drift=1000ms"}}));
  const auto over = buildSegClosedEventsAt(segment(24000), (1000 + 1501) * kMs);
  ASSERT_EQ(over.size(), 2u);
  EXPECT_EQ(over[1]["ctx"], "mic seq 1: frames=24000@24000Hz=1000ms vs wall=1501ms drift=501ms");
  EXPECT_EQ(buildSegClosedEventsAt(segment(24000), (1000 + 1500) * kMs).size(), 1u);
  // No rate, no comparison.
  EXPECT_EQ(buildSegClosedEventsAt(segment(24000, 0), (1000 + 9000) * kMs).size(), 1u);
}

TEST(SegClosed, DigitalSilenceWarnsAfterTheMismatch) {
  const auto events = buildSegClosedEventsAt(segment(24000, 24000, 0.0f, 0.0f), (1000 + 3000) * kMs);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1]["code"], "seg_duration_mismatch");
  EXPECT_EQ(events[2], (Event{{"type", "warning"},
                              {"code", "silent_capture"},
                              {"ctx", "mic seq 1: peak=0 rms=0 frames=24000 wall=3000ms"}}));
  EXPECT_EQ(buildSegClosedEventsAt(segment(0, 24000, 0.0f, 0.0f), 1000 * kMs).size(), 1u);
}

TEST(SegClosed, SystemPathAndNonFiniteFigures) {
  auto d = segment(100);
  d.source = "system";
  d.seq = 3;
  d.peak = std::numeric_limits<float>::infinity();
  d.rms = std::numeric_limits<float>::quiet_NaN();
  const auto events = buildSegClosedEventsAt(d, 1000 * kMs);
  EXPECT_EQ(events[0]["path"], "system/000003.caf");
  EXPECT_EQ(events[0]["index"], 3);
  EXPECT_EQ(events[0]["seq"], 3);
  // Reported as numbers, never as null.
  EXPECT_TRUE(events[0]["peak"].is_number());
  EXPECT_TRUE(events[0]["rms"].is_number());
  EXPECT_EQ(events[0]["peak"], 0.0);
}

TEST(SourceHealth, FreshAccumulatorCountsAsSilent) {
  const auto h = SourceHealthAccumulator{}.snapshot(true);
  EXPECT_EQ(h.peak, 0.0f);
  EXPECT_EQ(h.rms, 0.0f);
  EXPECT_EQ(h.silenceRatio, 1.0);
  EXPECT_TRUE(h.sourceFailed);
}

TEST(SourceHealth, PeakSilenceRatioAndSampleWeightedRms) {
  SourceHealthAccumulator a;
  a.foldSegment(0.0f, 0.0, 10);
  a.foldSegment(0.5f, 0.0, 10);
  a.foldSegment(0.0f, 0.0, 10);
  a.foldSegment(0.25f, 0.0, 10);
  auto h = a.snapshot(false);
  EXPECT_EQ(h.peak, 0.5f);
  EXPECT_EQ(h.silenceRatio, 0.5);
  EXPECT_FALSE(h.sourceFailed);

  SourceHealthAccumulator b;
  b.foldSegment(0.3f, 1.0, 100);
  b.foldSegment(0.3f, 3.0, 300);
  EXPECT_FLOAT_EQ(b.snapshot(false).rms, 0.1f);
  EXPECT_EQ(b.totalSegments, 2);
  EXPECT_EQ(b.silentSegments, 0);
}

TEST(FloatText, ShortestFormsReadBack) {
  EXPECT_EQ(formatFloatShortest(0.4f), "0.4");
  EXPECT_EQ(formatFloatShortest(1.0f), "1.0");
  EXPECT_EQ(formatFloatShortest(-0.25f), "-0.25");
  EXPECT_EQ(floatForJson(0.1f), 0.1);
  EXPECT_EQ(floatForJson(std::numeric_limits<float>::quiet_NaN()), 0.0);
}

}  // namespace
}  // namespace helper
