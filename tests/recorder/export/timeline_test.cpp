#include "recorder/export/timeline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recorder/export/export_constants.h"
#include "tests/recorder/export/export_fixtures.h"
#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

using fixtures::caf_samples;
using fixtures::constant_segment;
using fixtures::segment_record;
using fixtures::write_caf;
using testsupport::TempDir;

using Samples = std::vector<std::int16_t>;

// Runs of equal samples, as (value, count) pairs: timelines are long and mostly constant.
std::vector<std::pair<std::int16_t, std::size_t>> runs(const Samples& samples) {
  std::vector<std::pair<std::int16_t, std::size_t>> out;
  for (const auto s : samples) {
    if (out.empty() || out.back().first != s) {
      out.emplace_back(s, 1);
    } else {
      ++out.back().second;
    }
  }
  return out;
}

using Runs = std::vector<std::pair<std::int16_t, std::size_t>>;

TEST(ResampleLinear, InterpolatesRoundsAndKeepsTheLength) {
  EXPECT_EQ(resample_linear(Samples{0, 100}, 24000, 48000), (Samples{0, 50, 100, 100}));
  EXPECT_EQ(resample_linear(Samples{0, 10, 20, 30}, 48000, 24000), (Samples{0, 20}));
  EXPECT_EQ(resample_linear(Samples{5, -7, 9}, 24000, 24000), (Samples{5, -7, 9}));
  EXPECT_TRUE(resample_linear(Samples{}, 48000, 24000).empty());
  // Halves round away from zero.
  EXPECT_EQ(resample_linear(Samples{0, 1}, 24000, 48000), (Samples{0, 1, 1, 1}));
  EXPECT_EQ(resample_linear(Samples{0, -1}, 24000, 48000), (Samples{0, -1, -1, -1}));
  // 3 samples at 2:3 give ceil(3 / (2/3)) = 5.
  EXPECT_EQ(resample_linear(Samples{0, 300, 600}, 16000, 24000).size(), 5U);
}

TEST(SourceRates, DistinctInOrderOfFirstAppearance) {
  TempDir tmp;
  const std::vector segments{segment_record(tmp / "a", 1, 10, 48000), segment_record(tmp / "b", 2, 10, 24000),
                             segment_record(tmp / "c", 3, 10, 48000), segment_record(tmp / "d", 4, 10, 16000)};
  EXPECT_EQ(collect_source_rates(segments), (std::vector<std::uint32_t>{48000, 24000, 16000}));
  EXPECT_TRUE(collect_source_rates({}).empty());
}

TEST(MaterialFrames, SlotsOfGapsAndShortSegmentsCountButTheLastSegmentIsNeverPadded) {
  TempDir tmp;
  const fs::path p = tmp / "x.caf";
  // 0, 1 and 3 full; the gap at 2 counts a full slot.
  const std::vector full{segment_record(p, 0, 720000), segment_record(p, 1, 720000), segment_record(p, 3, 720000)};
  EXPECT_EQ(compute_material_frames(0, full, {}, {}, {}), 2880000U);
  // A short non-final segment counts its manifest slot; the last one only its frames.
  const std::vector shortish{segment_record(p, 1, 500000), segment_record(p, 2, 10)};
  EXPECT_EQ(compute_material_frames(0, shortish, {}, SlotMap{{1, 720000}}, {}), 720010U);
  // Without its manifest line a segment that exists takes its own length, not a default slot.
  EXPECT_EQ(compute_material_frames(0, shortish, {}, {}, {}), 500010U);
  // Indices the manifest records before the first file keep their slots.
  EXPECT_EQ(compute_material_frames(0, {segment_record(p, 3, 100)}, {}, SlotMap{{1, 50}, {2, 70}}, {}), 220U);
  // A 48000 Hz segment counts ceil(frames / 2).
  EXPECT_EQ(compute_material_frames(0, {segment_record(p, 1, 960001, 48000)}, {}, {}, {}), 480001U);
  // The longer source wins; a request caps it; no material gives the request.
  const std::vector mic{segment_record(p, 1, 1000)};
  const std::vector system{segment_record(p, 1, 3000)};
  EXPECT_EQ(compute_material_frames(0, mic, system, {}, {}), 3000U);
  EXPECT_EQ(compute_material_frames(2000, mic, system, {}, {}), 2000U);
  EXPECT_EQ(compute_material_frames(5000, mic, system, {}, {}), 3000U);
  EXPECT_EQ(compute_material_frames(7, {}, {}, {}, {}), 7U);
}

TEST(MaterialFrames, DefaultSlotFollowsTheSegmentRate) {
  EXPECT_EQ(default_slot_frames(24000), 720000U);
  EXPECT_EQ(default_slot_frames(0), 720000U);
  EXPECT_EQ(default_slot_frames(48000), 360000U);
  EXPECT_EQ(default_slot_frames(16000), 1080000U);
  TempDir tmp;
  const fs::path p = tmp / "x.caf";
  // The helper rotates after 720000 frames at 48000 Hz: 15 s, so a missing 48000 Hz segment is 15 s too.
  const std::vector segments{segment_record(p, 1, 720000, 48000), segment_record(p, 3, 720000, 48000)};
  EXPECT_EQ(compute_material_frames(0, segments, {}, {}, {}), 3U * 360000U);
}

TEST(MaterialFrames, SaturatesInsteadOfWrapping) {
  TempDir tmp;
  const fs::path p = tmp / "x.caf";
  // Segment numbers from file names may lie astronomically far apart.
  const std::vector far{segment_record(p, 1, 10), segment_record(p, 0xFFFFFFFFFFFFFF00ULL, 10)};
  EXPECT_EQ(compute_material_frames(0, far, {}, {}, {}), kU64Max);
  const std::vector huge{segment_record(p, 1, kU64Max / 2, 1)};
  EXPECT_EQ(compute_material_frames(0, huge, {}, {}, {}), kU64Max);
}

class TimelineTest : public ::testing::Test {
 protected:
  TempDir tmp_;
  fs::path out_ = tmp_ / "timeline.caf";
};

TEST_F(TimelineTest, MissingSegmentsKeepTheirPlaceAsSilence) {
  const std::vector segments{constant_segment(tmp_.path(), 0, 720000, 1), constant_segment(tmp_.path(), 1, 720000, 2),
                             constant_segment(tmp_.path(), 3, 720000, 3)};
  auto r = build_source_timeline(segments, {}, out_, 2880000);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->path, out_);
  EXPECT_TRUE(r->notes.empty());
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{1, 720000}, {2, 720000}, {0, 720000}, {3, 720000}}));
  EXPECT_EQ(recovery::read_caf_format(out_)->sample_rate, 24000U);
}

TEST_F(TimelineTest, ShortSegmentKeepsItsManifestSlotButTheLastIsNotPadded) {
  const std::vector segments{constant_segment(tmp_.path(), 1, 500, 5), constant_segment(tmp_.path(), 2, 300, 6)};
  // Slot 1 is 1000 frames, slot 2 as long as the manifest says but the target ends first.
  auto r = build_source_timeline(segments, SlotMap{{1, 1000}, {2, 1000}}, out_, 1500);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{5, 500}, {0, 500}, {6, 300}, {0, 200}}));
}

TEST_F(TimelineTest, GapUsesManifestSlotsAndTheDataSizeIsPatched) {
  const std::vector segments{constant_segment(tmp_.path(), 1, 100, 1), constant_segment(tmp_.path(), 4, 100, 4)};
  auto r = build_source_timeline(segments, SlotMap{{1, 100}, {2, 40}, {3, 60}}, out_, 300);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{1, 100}, {0, 100}, {4, 100}}));
  const std::string bytes = testsupport::readFile(out_);
  ASSERT_EQ(bytes.size(), 68U + 600U);
  EXPECT_EQ(bytes.substr(56, 8), std::string("\0\0\0\0\0\0\x02\x5C", 8));  // 4 + 600
}

TEST_F(TimelineTest, SegmentAtAnotherRateIsResampledWithANote) {
  Samples ramp(4800);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);
  write_caf(tmp_ / "7.caf", ramp, 48000);
  auto r = build_source_timeline({segment_record(tmp_ / "7.caf", 7, 4800, 48000)}, {}, out_, 2400);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->notes, (std::vector<ResampleNote>{{7, 48000, 24000}}));
  const auto out = caf_samples(out_);
  ASSERT_EQ(out.size(), 2400U);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<std::int16_t>(2 * i)) << i;
}

TEST_F(TimelineTest, MissingSegmentAtAnotherRateDefaultsToThatRatesSlot) {
  const std::vector segments{constant_segment(tmp_.path(), 1, 4800, 9, 48000),
                             constant_segment(tmp_.path(), 3, 4800, 8, 48000)};
  auto r = build_source_timeline(segments, {}, out_, 722400);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  // A 48000 Hz slot is 360000 frames here: the missing 2 fills one; segment 1, which
  // exists, takes its own length.
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{9, 2400}, {0, 360000}, {8, 2400}, {0, 357600}}));
}

TEST_F(TimelineTest, TargetCutsInsideASegmentAndSilencePadsTheEnd) {
  const std::vector segments{constant_segment(tmp_.path(), 1, 1000, 1), constant_segment(tmp_.path(), 2, 1000, 2)};
  ASSERT_TRUE(build_source_timeline(segments, SlotMap{{1, 1000}}, out_, 1200).ok());
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{1, 1000}, {2, 200}}));
  ASSERT_TRUE(build_source_timeline(segments, SlotMap{{1, 1000}}, out_, 2500).ok());
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{1, 1000}, {2, 1000}, {0, 500}}));
  ASSERT_TRUE(build_source_timeline({}, {}, out_, 300).ok());
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{0, 300}}));
}

TEST_F(TimelineTest, UnreadableSegmentBecomesSilenceOfItsSlot) {
  std::vector segments{constant_segment(tmp_.path(), 1, 100, 1), segment_record(tmp_ / "gone.caf", 2, 100),
                       constant_segment(tmp_.path(), 3, 100, 3)};
  auto r = build_source_timeline(segments, SlotMap{{1, 100}, {2, 150}}, out_, 400);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{1, 100}, {0, 150}, {3, 100}, {0, 50}}));
  // Unreadable at another rate: no note.
  segments[1].sample_rate = 48000;
  r = build_source_timeline(segments, SlotMap{{1, 100}, {2, 150}}, out_, 400);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->notes.empty());
}

TEST_F(TimelineTest, CorruptLowRateIsResampledOnlyAsFarAsTheTargetReaches) {
  // 200000 samples claimed at 1 Hz would resample to 4.8e9 samples; only the target is produced.
  Samples ramp(200000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i % 1000);
  write_caf(tmp_ / "1.caf", ramp, 1);
  auto r = build_source_timeline({segment_record(tmp_ / "1.caf", 1, ramp.size(), 1)}, {}, out_, 48001);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const auto out = caf_samples(out_);
  ASSERT_EQ(out.size(), 48001U);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[12000], 1);  // halfway between 0 and 1 rounds away from zero
  EXPECT_EQ(out[24000], 1);
  EXPECT_EQ(out[48000], 2);
}

TEST_F(TimelineTest, MaskSilencesEverythingOutsideTheIntervals) {
  const std::vector segments{constant_segment(tmp_.path(), 1, 240000, 7)};
  ASSERT_TRUE(build_source_timeline(segments, {}, out_, 240000).ok());
  auto muted = apply_system_interval_mask(out_, 240000, {{1000, 4000}});
  ASSERT_TRUE(muted.ok());
  EXPECT_EQ(*muted, 168000U);
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{0, 24000}, {7, 72000}, {0, 144000}}));
}

TEST_F(TimelineTest, MaskMergesUnsortedOverlappingIntervalsAndClampsToTheTarget) {
  ASSERT_TRUE(build_source_timeline({constant_segment(tmp_.path(), 1, 1200, 7)}, {}, out_, 1200).ok());
  // ms 10..20 and 15..30 overlap; 40.. runs past the end; 0-length and reversed ones are dropped.
  auto muted = apply_system_interval_mask(out_, 1200, {{40, 1000000}, {15, 30}, {10, 20}, {5, 5}});
  ASSERT_TRUE(muted.ok());
  EXPECT_EQ(*muted, 240U + 240U);
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{0, 240}, {7, 480}, {0, 240}, {7, 240}}));
  // No intervals: all silent. Target 0: nothing touched, not even a missing file.
  EXPECT_EQ(*apply_system_interval_mask(out_, 1200, {}), 1200U);
  EXPECT_EQ(runs(caf_samples(out_)), (Runs{{0, 1200}}));
  EXPECT_EQ(*apply_system_interval_mask(tmp_ / "missing.caf", 0, {}), 0U);
}

}  // namespace
}  // namespace recorder::exporter
