#include "recorder/export/layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "recorder/export/export_constants.h"
#include "tests/recorder/export/export_fixtures.h"

namespace recorder::exporter {
namespace {

using fixtures::segment_record;
using recovery::SegmentRecovery;
using recovery::SegmentSource;
using Segments = std::vector<SegmentRecovery>;

std::vector<std::uint64_t> indices(const Segments& segments) {
  std::vector<std::uint64_t> out;
  for (const auto& s : segments) out.push_back(s.index);
  return out;
}

TEST(SessionEvidence, OnlyWhatIsNotTheSourcesOwnFileNamesCounts) {
  SessionEvidence e;
  e.mic_anchored_frames = 48000;
  EXPECT_EQ(evidence_end_frames(e, SegmentSource::Mic), std::nullopt);  // its own segments alone
  EXPECT_EQ(evidence_end_frames(e, SegmentSource::System), 48000U);     // the other source's
  e.journal_span_ms = 0;                                                // one journal line says nothing
  EXPECT_EQ(evidence_end_frames(e, SegmentSource::Mic), std::nullopt);
  e.sidecar_wall_ms = 1000;
  EXPECT_EQ(evidence_end_frames(e, SegmentSource::Mic), 48000U);  // the latest of all, its own included
  e.manifest_span_ms = 5000;
  EXPECT_EQ(evidence_end_frames(e, SegmentSource::Mic), 120000U);
}

TEST(SessionEvidence, AnchoredAudioEndsAtTheFirstIndexNothingPlaces) {
  const Segments segments{segment_record("1", 1, 100), segment_record("2", 2, 50), segment_record("5", 5, 70)};
  EXPECT_EQ(anchored_frames(segments, {}), 150U);
  // A recorded index places what follows it.
  EXPECT_EQ(anchored_frames(segments, SlotMap{{3, 10}, {4, 20}}), 250U);
  EXPECT_EQ(anchored_frames({}, {}), 0U);
}

TEST(SourceLayout, WithoutEvidenceMissingIndicesTakeFullSegmentsUpToTheLongestTimeline) {
  const Segments segments{segment_record("1", 1, 24000), segment_record("3", 3, 24000),
                          segment_record("3000", 3000, 100)};
  const auto layout = lay_out_source(segments, {}, std::nullopt, std::nullopt);
  EXPECT_EQ(indices(layout.segments), (std::vector<std::uint64_t>{1, 3}));
  ASSERT_EQ(layout.strays.size(), 1U);
  EXPECT_EQ(layout.strays[0].index, 3000U);
  EXPECT_FALSE(layout.strays[0].evidence);
  ASSERT_EQ(layout.defaults.size(), 1U);
  EXPECT_EQ(layout.defaults[0], (DefaultSlot{2, 2, 1, 720000, 720000}));
}

TEST(SourceLayout, EvidenceBoundsTheMissingIndicesAndLeavesOutWhatLiesBeyondIt) {
  // Three seconds of evidence: segment 3 follows one missing second.
  const Segments segments{segment_record("1", 1, 24000), segment_record("3", 3, 24000)};
  const auto layout = lay_out_source(segments, {}, std::nullopt, 72000);
  EXPECT_EQ(indices(layout.segments), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_TRUE(layout.strays.empty());
  EXPECT_EQ(layout.defaults, (std::vector<DefaultSlot>{{2, 2, 1, 24000, 720000}}));
  EXPECT_EQ(layout.gaps.before, (std::map<std::uint64_t, std::uint64_t>{{3, 24000}}));
  EXPECT_EQ(source_material_frames(layout.segments, {}, layout.gaps), 72000U);
  // Two seconds of evidence, two seconds of audio: what the file names put after it is left out.
  const Segments strays{segment_record("1", 1, 48000), segment_record("900", 900, 2400),
                        segment_record("901", 901, 2400)};
  const auto beyond = lay_out_source(strays, {}, std::nullopt, 48000);
  EXPECT_EQ(indices(beyond.segments), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(beyond.strays,
            (std::vector<StraySegment>{{900, "900", 48000, 48000, true}, {901, "901", 48000, 48000, true}}));
  EXPECT_TRUE(beyond.defaults.empty());
  // Earlier missing indices take their share first; nothing is left for the later ones.
  const Segments two_gaps{segment_record("1", 1, 24000), segment_record("3", 3, 24000), segment_record("5", 5, 24000)};
  const auto shared = lay_out_source(two_gaps, {}, std::nullopt, 84000);
  EXPECT_EQ(shared.gaps.before, (std::map<std::uint64_t, std::uint64_t>{{3, 12000}, {5, 0}}));
}

TEST(SourceLayout, RecordedLengthsAndTheSourcesStartAreKept) {
  // The manifest places index 2; an unusable segment of unknown length at index 1 starts the source.
  const Segments segments{segment_record("3", 3, 24000), segment_record("4", 4, 24000)};
  const auto layout = lay_out_source(segments, SlotMap{{2, 12000}}, 1, 96000);
  EXPECT_EQ(layout.gaps.first_index, 1U);
  EXPECT_TRUE(layout.strays.empty());
  EXPECT_EQ(layout.defaults, (std::vector<DefaultSlot>{{1, 2, 1, 36000, 720000}}));
  EXPECT_EQ(source_material_frames(layout.segments, SlotMap{{2, 12000}}, layout.gaps), 96000U);
  // The first segment is never a stray, whatever the evidence.
  EXPECT_EQ(indices(lay_out_source(segments, {}, 1, 0).segments), (std::vector<std::uint64_t>{3}));
}

}  // namespace
}  // namespace recorder::exporter
