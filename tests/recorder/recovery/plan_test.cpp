#include "recorder/recovery/plan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <string>
#include <vector>

#include "recorder/recovery/caf.h"
#include "recorder/recovery/sidecar.h"
#include "segment_format/segment_format.h"
#include "tests/support/temp_dir.h"

namespace recorder::recovery {
namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::writeFile;

// Segments shorter than this, other than a source's last, are short.
constexpr std::uint64_t kFull = segment_format::kFramesPerSegment;

// A session directory laid out as the capture helper leaves it.
class Session {
 public:
  fs::path dir() const { return tmp_ / "session-1"; }
  fs::path source_dir(SegmentSource source) const { return dir() / source_dir_name(source); }

  // A segment with the helper's header (data size unknown) and data_bytes of audio.
  fs::path segment(SegmentSource source, const std::string& name, std::uint64_t data_bytes, double rate = 24000,
                   std::uint32_t channels = 1) {
    fs::create_directories(source_dir(source));
    auto h = caf_header(24000, 0);
    const auto bits = std::bit_cast<std::uint64_t>(rate);
    for (int i = 0; i < 8; ++i) h[20 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    h[47] = static_cast<std::uint8_t>(channels);
    for (int i = 56; i < 64; ++i) h[i] = 0xFF;
    const auto path = source_dir(source) / name;
    writeFile(path, std::string(h.begin(), h.end()));
    fs::resize_file(path, 68 + data_bytes);  // sparse silence: large segments cost nothing
    return path;
  }
  fs::path segment(SegmentSource source, std::uint64_t index, std::uint64_t data_bytes, double rate = 24000) {
    char name[32];
    std::snprintf(name, sizeof name, "%06llu.caf", static_cast<unsigned long long>(index));
    return segment(source, name, data_bytes, rate);
  }

  // The helper's sidecar for a segment path; byte_offset counted from the file start as it writes it.
  fs::path sidecar(const fs::path& segment_path, std::uint64_t frames, std::optional<std::uint64_t> byte_offset = {}) {
    auto path = segment_path;
    path.replace_extension("checkpoint");
    writeFile(path, "{\n  \"schema_version\" : 1,\n  \"segment_index\" : 1,\n  \"frames_written\" : " +
                        std::to_string(frames) +
                        ",\n  \"byte_offset\" : " + std::to_string(byte_offset.value_or(68 + 2 * frames)) +
                        ",\n  \"wall_time_ms_at_checkpoint\" : 10,\n  \"audio_time_ms_at_checkpoint\" : 10,\n"
                        "  \"checkpoint_at_utc\" : \"2026-05-05T10:00:00.000Z\"\n}");
    return path;
  }

 private:
  TempDir tmp_;
};

SegmentRecovery record(const fs::path& path, std::uint64_t index, std::uint64_t frames, std::uint64_t duration_ms,
                       std::uint32_t rate = 24000, std::vector<RecoveryWarning> warnings = {},
                       std::optional<fs::path> sidecar = {}) {
  SegmentRecovery r;
  r.path = path;
  r.index = index;
  r.frames = frames;
  r.duration_ms = duration_ms;
  r.bytes = 68 + 2 * frames;
  r.sample_rate = rate;
  r.warnings = std::move(warnings);
  r.sidecar_path = std::move(sidecar);
  return r;
}

IoResult<RecoveryPlan> plan_of(const Session& s, std::uint64_t expected = kFull) {
  return kelvaro_plan(s.dir(), expected);
}

TEST(RecoveryPlan, EmptySessionHasNothing) {
  Session s;
  fs::create_directories(s.dir());
  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok());
  EXPECT_TRUE(plan->mic.empty());
  EXPECT_TRUE(plan->system.empty());
  EXPECT_TRUE(plan->gaps.empty());
  EXPECT_TRUE(plan->warnings.empty());
  EXPECT_FALSE(plan->duration_ms.has_value());
  EXPECT_EQ(plan->gap_count(), 0U);
  // A plain file where a source directory belongs counts as no directory.
  writeFile(s.dir() / "mic", "x");
  EXPECT_TRUE(plan_of(s)->mic.empty());
  // A session directory that does not exist is no empty session: a mistyped path.
  const auto missing = kelvaro_plan(s.dir() / "nope", kFull);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(),
            "session directory " + (s.dir() / "nope").string() + ": No such file or directory (os error 2)");
  EXPECT_FALSE(kelvaro_plan(s.dir() / "mic", kFull).ok());
}

TEST(RecoveryPlan, SegmentsOfBothSourcesWithTheirDurations) {
  Session s;
  const auto m1 = s.segment(SegmentSource::Mic, 1, 2 * kFull);
  const auto m1_sidecar = s.sidecar(m1, kFull);
  const auto m2 = s.segment(SegmentSource::Mic, 2, 2 * 24000 + 1);  // torn: an odd byte, no sidecar
  const auto y1 = s.segment(SegmentSource::System, 1, 2 * 96000, 48000);
  const auto y2 = s.segment(SegmentSource::System, 2, 2 * 48000 * 40, 48000);
  s.sidecar(y2, 48000 * 35);  // behind the data: the written frames beyond the checkpoint are kept
  auto y2_sidecar = y2;
  y2_sidecar.replace_extension("checkpoint");

  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok()) << plan.error().to_string();
  EXPECT_EQ(plan->mic, (std::vector<SegmentRecovery>{record(m1, 1, kFull, 30000, 24000, {}, m1_sidecar),
                                                     record(m2, 2, 24000, 1000, 24000, {OddTrailingByte{}})}));
  EXPECT_EQ(plan->system, (std::vector<SegmentRecovery>{record(y1, 1, 96000, 2000, 48000),
                                                        record(y2, 2, 48000 * 40, 40000, 48000, {}, y2_sidecar)}));
  // system segment 1 is short (96000 frames) and not the last.
  EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{ShortSegment{1, kFull, 96000, SegmentSource::System}}));
  EXPECT_TRUE(plan->warnings.empty());
  EXPECT_EQ(plan->duration_ms, 42000U);  // system 2000 + 40000 beats mic 30000 + 1000
}

TEST(RecoveryPlan, ShortFilesAndHeadersThatCannotBeRead) {
  Session s;
  const auto tiny = s.segment(SegmentSource::Mic, "000001.caf", 0);
  fs::resize_file(tiny, 60);
  s.sidecar(tiny, 5000);  // not even consulted for a file without a whole header
  const auto zero_rate = s.segment(SegmentSource::Mic, 2, 480, 0.0);
  const auto huge_rate = s.segment(SegmentSource::Mic, 3, 480, 1e9);
  const auto header_only = s.segment(SegmentSource::Mic, 4, 0, 16000);
  const auto plan = plan_of(s, 0);
  ASSERT_TRUE(plan.ok());
  SegmentRecovery short_record = record(tiny, 1, 0, 0, 24000, {}, tiny.parent_path() / "000001.checkpoint");
  short_record.bytes = 0;
  // A header that fails the segment rule is no audio to place, whatever check it fails.
  EXPECT_EQ(plan->mic, (std::vector<SegmentRecovery>{short_record, record(header_only, 4, 0, 0, 16000)}));
  EXPECT_EQ(plan->warnings,
            (std::vector<RecoveryWarning>{
                UnusableSegment{zero_rate, 2, SegmentSource::Mic, "unreasonable sample rate: 0", std::nullopt, 480},
                UnusableSegment{huge_rate, 3, SegmentSource::Mic, "unreasonable sample rate: 1000000000", std::nullopt,
                                480}}));
  EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{MissingSegment{1, 4, SegmentSource::Mic}}));
  EXPECT_FALSE(plan->duration_ms.has_value());
}

TEST(RecoveryPlan, OddDataBytes) {
  Session s;
  const auto seg = s.segment(SegmentSource::Mic, 1, 1001);
  auto r = kelvaro_segments(s.dir(), SegmentSource::Mic);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->segments.size(), 1U);
  EXPECT_EQ(r->segments[0], record(seg, 1, 500, 20, 24000, {OddTrailingByte{}}));
  EXPECT_EQ(r->segments[0].bytes, 1068U);
}

TEST(RecoveryPlan, SidecarsFromEitherOriginAgreeWithTheirSegments) {
  Session s;
  // The helper counts byte_offset from the file start (68 + 2 x frames) ...
  const auto a = s.segment(SegmentSource::Mic, 1, 2 * 120000 + 300);
  s.sidecar(a, 120000);
  // ... and a reader counting from the data start (2 x frames) is just as right.
  const auto b = s.segment(SegmentSource::Mic, 2, 2 * 120000);
  s.sidecar(b, 120000, 2 * 120000);
  // A sealed segment whose checkpoint covers all of it.
  const auto c = s.segment(SegmentSource::Mic, 3, 2 * 5000);
  s.sidecar(c, 5000);
  const auto r = kelvaro_segments(s.dir(), SegmentSource::Mic);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->segments.size(), 3U);
  for (const auto& seg : r->segments) EXPECT_TRUE(seg.warnings.empty()) << seg.path;
  EXPECT_EQ(r->segments[0].frames, 120150U);
  EXPECT_EQ(r->segments[1].frames, 120000U);
  EXPECT_EQ(r->segments[2].frames, 5000U);
}

TEST(RecoveryPlan, SidecarDisagreements) {
  Session s;
  // Offset matching neither origin.
  const auto mismatch = s.segment(SegmentSource::Mic, 1, 2000);
  s.sidecar(mismatch, 100, 150);
  // Checkpoint beyond the data (file origin), with an odd length.
  const auto ahead = s.segment(SegmentSource::Mic, 2, 1001);
  s.sidecar(ahead, 1000);
  // Checkpoint beyond the data that also matches no origin.
  const auto both = s.segment(SegmentSource::Mic, 3, 100);
  s.sidecar(both, 10, 5001);
  // Data beyond the checkpoint with an odd tail.
  const auto odd_tail = s.segment(SegmentSource::Mic, 4, 2 * 100 + 7);
  s.sidecar(odd_tail, 100);
  const auto r = kelvaro_segments(s.dir(), SegmentSource::Mic);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->segments.size(), 4U);
  EXPECT_EQ(r->segments[0].warnings, (std::vector<RecoveryWarning>{CheckpointOffsetMismatch{100, 150}}));
  EXPECT_EQ(r->segments[0].frames, 1000U);
  EXPECT_EQ(r->segments[1].warnings,
            (std::vector<RecoveryWarning>{DataShorterThanCheckpoint{2068, 1001}, OddTrailingByte{}}));
  EXPECT_EQ(r->segments[1].frames, 500U);
  EXPECT_EQ(r->segments[2].warnings,
            (std::vector<RecoveryWarning>{CheckpointOffsetMismatch{10, 5001}, DataShorterThanCheckpoint{5001, 100}}));
  EXPECT_EQ(r->segments[2].frames, 50U);
  EXPECT_EQ(r->segments[3].warnings, (std::vector<RecoveryWarning>{OddTrailingByte{}}));
  EXPECT_EQ(r->segments[3].frames, 103U);
  EXPECT_EQ(r->segments[3].bytes, 68U + 206);
}

TEST(RecoveryPlan, BadSidecarsNeverFailThePlan) {
  Session s;
  const auto empty_object = s.segment(SegmentSource::Mic, 1, 10);
  auto p1 = empty_object;
  p1.replace_extension("checkpoint");
  writeFile(p1, "{}");
  const auto not_utf8 = s.segment(SegmentSource::Mic, 2, 10);
  auto p2 = not_utf8;
  p2.replace_extension("checkpoint");
  writeFile(p2, "{\"checkpoint_at_utc\":\"\xFF\xFE\"}");
  const auto oversized = s.segment(SegmentSource::Mic, 3, 10);
  auto p3 = s.sidecar(oversized, 5);
  writeFile(p3, testsupport::readFile(p3) + std::string(kMaxSidecarBytes, ' '));
  // A directory and a FIFO where sidecars belong are no sidecars (and the FIFO is never waited on).
  const auto dir_sidecar = s.segment(SegmentSource::Mic, 4, 10);
  auto p4 = dir_sidecar;
  p4.replace_extension("checkpoint");
  fs::create_directories(p4);
  const auto fifo_sidecar = s.segment(SegmentSource::Mic, 5, 10);
  auto p5 = fifo_sidecar;
  p5.replace_extension("checkpoint");
  ASSERT_EQ(::mkfifo(p5.c_str(), 0600), 0);

  const auto plan = plan_of(s, 0);
  ASSERT_TRUE(plan.ok()) << plan.error().to_string();
  ASSERT_EQ(plan->mic.size(), 5U);
  EXPECT_EQ(plan->mic[0], record(empty_object, 1, 5, 0, 24000, {SidecarUnparseable{p1}}, p1));
  EXPECT_EQ(plan->mic[1], record(not_utf8, 2, 5, 0, 24000, {SidecarUnparseable{p2}}, p2));
  EXPECT_EQ(plan->mic[2], record(oversized, 3, 5, 0, 24000, {SidecarUnparseable{p3}}, p3));
  EXPECT_EQ(plan->mic[3], record(dir_sidecar, 4, 5, 0));
  EXPECT_EQ(plan->mic[4], record(fifo_sidecar, 5, 5, 0));
  EXPECT_TRUE(plan->warnings.empty());
}

TEST(RecoveryPlan, NamesThatGiveNoIndexAndNamesPassedOver) {
  Session s;
  const auto plain = s.segment(SegmentSource::Mic, "12.caf", 2);
  s.segment(SegmentSource::Mic, "+13.caf", 2);
  s.segment(SegmentSource::Mic, "mic.000014.caf", 2);
  const auto notes = s.segment(SegmentSource::Mic, "notes.caf", 2);
  const auto other_source = s.segment(SegmentSource::Mic, "system.3.caf", 2);
  const auto minus = s.segment(SegmentSource::Mic, "-4.caf", 2);
  const auto overflow = s.segment(SegmentSource::Mic, "18446744073709551616.caf", 2);
  const auto not_utf8 = s.segment(SegmentSource::Mic, "\xFF\xFE.caf", 2);
  s.segment(SegmentSource::Mic, "000003.CAF", 2);
  s.segment(SegmentSource::Mic, ".caf", 2);
  writeFile(s.source_dir(SegmentSource::Mic) / "000003.checkpoint", "{}");
  writeFile(s.source_dir(SegmentSource::Mic) / "000003.checkpoint.tmp", "{}");
  s.segment(SegmentSource::System, "system.000007.caf", 2);

  const auto mic = kelvaro_segments(s.dir(), SegmentSource::Mic);
  ASSERT_TRUE(mic.ok());
  std::vector<std::uint64_t> indices;
  for (const auto& seg : mic->segments) indices.push_back(seg.index);
  EXPECT_EQ(indices, (std::vector<std::uint64_t>{12, 13, 14}));
  EXPECT_EQ(mic->segments[0].path, plain);
  // Name warnings come in listing order.
  std::vector<RecoveryWarning> expected;
  for (const auto& entry : fs::directory_iterator(s.source_dir(SegmentSource::Mic))) {
    for (const auto& bad : {notes, other_source, minus, overflow, not_utf8}) {
      if (entry.path() == bad) expected.emplace_back(UnparseableSegmentName{bad});
    }
  }
  ASSERT_EQ(expected.size(), 5U);
  EXPECT_EQ(mic->warnings, expected);

  const auto system = kelvaro_segments(s.dir(), SegmentSource::System);
  ASSERT_TRUE(system.ok());
  ASSERT_EQ(system->segments.size(), 1U);
  EXPECT_EQ(system->segments[0].index, 7U);
}

TEST(RecoveryPlan, DuplicateIndicesKeepTheFirstListed) {
  Session s;
  s.segment(SegmentSource::System, "3.caf", 2);
  s.segment(SegmentSource::System, "000003.caf", 4);
  s.segment(SegmentSource::System, "system.3.caf", 6);
  s.segment(SegmentSource::System, "notes.caf", 2);
  s.segment(SegmentSource::Mic, "mic.x.caf", 2);
  std::vector<fs::path> listed;
  for (const auto& entry : fs::directory_iterator(s.source_dir(SegmentSource::System))) {
    if (entry.path().filename() != "notes.caf") listed.push_back(entry.path());
  }
  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok());
  ASSERT_EQ(plan->system.size(), 1U);
  EXPECT_EQ(plan->system[0].path, listed[0]);
  // Mic directory warnings first, then the system names, then its duplicates.
  EXPECT_EQ(plan->warnings,
            (std::vector<RecoveryWarning>{UnparseableSegmentName{s.source_dir(SegmentSource::Mic) / "mic.x.caf"},
                                          UnparseableSegmentName{s.source_dir(SegmentSource::System) / "notes.caf"},
                                          DuplicateSegmentIndex{3, listed}}));
}

TEST(RecoveryPlan, MissingIndicesBecomeRanges) {
  Session s;
  for (const std::uint64_t i : {1, 2, 5}) s.segment(SegmentSource::Mic, i, 2 * kFull);
  for (const std::uint64_t i : {7, 9}) s.segment(SegmentSource::System, i, 2 * kFull);
  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{MissingSegment{2, 5, SegmentSource::Mic},
                                                MissingSegment{7, 9, SegmentSource::System}}));
  const auto& mic_gap = std::get<MissingSegment>(plan->gaps[0]);
  EXPECT_EQ(mic_gap.first_index(), 3U);
  EXPECT_EQ(mic_gap.last_index(), 4U);
  EXPECT_EQ(mic_gap.count(), 2U);
  EXPECT_EQ(plan->gap_count(), 3U);  // indices 3, 4 and 8
}

TEST(RecoveryPlan, AstronomicalIndexDistancesCostNothing) {
  Session s;
  s.segment(SegmentSource::Mic, "1.caf", 2 * kFull);
  s.segment(SegmentSource::Mic, "1000000000000.caf", 2);
  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{MissingSegment{1, 1000000000000, SegmentSource::Mic}}));
  EXPECT_EQ(plan->gap_count(), 999999999998U);

  // The widest possible ranges in both sources: the count saturates instead of wrapping.
  for (const auto source : {SegmentSource::Mic, SegmentSource::System}) {
    s.segment(source, "0.caf", 2);
    s.segment(source, "18446744073709551615.caf", 2);
  }
  const auto wide = plan_of(s, 0);
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide->gap_count(), 18446744073709551615ULL);
}

TEST(RecoveryPlan, ShortSegmentsExceptTheLast) {
  Session s;
  s.segment(SegmentSource::Mic, 1, 2 * 719999);
  s.segment(SegmentSource::Mic, 2, 2 * kFull);
  s.segment(SegmentSource::Mic, 3, 2 * 10);
  s.segment(SegmentSource::System, 1, 2 * 10);  // a single short segment is the last one
  const auto plan = plan_of(s);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{ShortSegment{1, kFull, 719999, SegmentSource::Mic}}));
  EXPECT_EQ(plan->gap_count(), 1U);
  EXPECT_TRUE(plan_of(s, 0)->gaps.empty());
  // Missing indices come before the short segments of the same source.
  s.segment(SegmentSource::Mic, 6, 2 * 10);
  EXPECT_EQ(plan_of(s)->gaps, (std::vector<SourceGap>{MissingSegment{3, 6, SegmentSource::Mic},
                                                      ShortSegment{1, kFull, 719999, SegmentSource::Mic},
                                                      ShortSegment{3, kFull, 10, SegmentSource::Mic}}));
}

TEST(RecoveryPlan, UnusableAndUnreadableSegmentsAreLeftOut) {
  {
    // Stereo, not a CAF file, a rate no device records at: each is left out, its index missing.
    Session s;
    s.segment(SegmentSource::Mic, 1, 10);
    const auto stereo = s.segment(SegmentSource::System, "000002.caf", 10, 24000, 2);
    const auto slow = s.segment(SegmentSource::Mic, "000002.caf", 10, 999);
    s.segment(SegmentSource::Mic, 4, 10);
    fs::create_directories(s.source_dir(SegmentSource::Mic));
    const auto zeros = s.source_dir(SegmentSource::Mic) / "000003.caf";
    writeFile(zeros, std::string(100, '\0'));
    const auto plan = plan_of(s);
    ASSERT_TRUE(plan.ok());
    ASSERT_EQ(plan->mic.size(), 2U);
    EXPECT_EQ(plan->mic[1].index, 4U);
    EXPECT_TRUE(plan->system.empty());
    EXPECT_EQ(
        plan->warnings,
        (std::vector<RecoveryWarning>{
            UnusableSegment{slow, 2, SegmentSource::Mic, "implausible sample rate: 999Hz", std::nullopt, 10},
            UnusableSegment{zeros, 3, SegmentSource::Mic, "not a CAF file", std::nullopt, 32},
            UnusableSegment{stereo, 2, SegmentSource::System, "expected mono CAF, got 2 channels", std::nullopt, 10}}));
    EXPECT_EQ(plan->gaps, (std::vector<SourceGap>{MissingSegment{1, 4, SegmentSource::Mic},
                                                  ShortSegment{1, kFull, 5, SegmentSource::Mic}}));
    // 1000 Hz is still a rate.
    EXPECT_TRUE(recover_segment(s.segment(SegmentSource::Mic, 5, 10, 1000), s.dir() / "x.checkpoint").ok());
  }
  {
    // A FIFO named like a segment is never opened: it is left out, and the rest recovered.
    Session s;
    fs::create_directories(s.source_dir(SegmentSource::Mic));
    const auto fifo = s.source_dir(SegmentSource::Mic) / "000001.caf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    s.segment(SegmentSource::Mic, 2, 10);
    const auto plan = plan_of(s);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(plan->mic.size(), 1U);
    EXPECT_EQ(plan->warnings,
              (std::vector<RecoveryWarning>{UnusableSegment{
                  fifo, 1, SegmentSource::Mic, "not a regular file: " + fifo.string(), std::nullopt, std::nullopt}}));
  }
}

TEST(RecoveryPlan, UnreadableListingLeavesTheSourceOut) {
  {
    Session s;
    s.segment(SegmentSource::Mic, 1, 10);
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    fs::permissions(s.source_dir(SegmentSource::Mic), fs::perms::none);
    const auto plan = plan_of(s);
    fs::permissions(s.source_dir(SegmentSource::Mic), fs::perms::owner_all);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(plan->warnings,
              (std::vector<RecoveryWarning>{UnlistableSourceDirectory{
                  s.source_dir(SegmentSource::Mic), SegmentSource::Mic, "Permission denied (os error 13)"}}));
  }
}

}  // namespace
}  // namespace recorder::recovery

namespace recorder::recovery {
namespace {

TEST(RecoverSegment, ReadsOneSegmentAgainstAnOptionalSidecar) {
  Session s;
  const auto seg = s.segment(SegmentSource::Mic, 4, 2 * 48000 + 1, 48000);
  auto sidecar = seg;
  sidecar.replace_extension("checkpoint");
  auto bare = recover_segment(seg, sidecar);  // no sidecar there
  ASSERT_TRUE(bare.ok());
  SegmentRecovery expected = record(seg, 0, 48000, 1000, 48000, {OddTrailingByte{}});
  EXPECT_EQ(*bare, expected);  // index and sidecar_path are the caller's to fill
  s.sidecar(seg, 48000);
  EXPECT_EQ(recover_segment(seg, sidecar).value(), expected);
  EXPECT_EQ(recover_segment(s.dir() / "none.caf", sidecar).error().os_code(), ENOENT);
}

TEST(RecoverSegment, RateBelowOneHertzIsNoRateAndNoEndlessDuration) {
  Session s;
  // A positive rate below 1 Hz truncates to 0: once an endless duration, now an unusable segment.
  const auto slow = s.segment(SegmentSource::Mic, 1, 2, 0.5);
  s.segment(SegmentSource::Mic, 2, 2, 0.5);
  const auto rec = recover_segment(slow, s.dir() / "x.checkpoint");
  ASSERT_FALSE(rec.ok());
  EXPECT_EQ(rec.error().to_string(), "implausible sample rate: 0Hz");
  const auto plan = kelvaro_plan(s.dir(), 0);
  ASSERT_TRUE(plan.ok());
  EXPECT_TRUE(plan->mic.empty());
  EXPECT_EQ(plan->warnings.size(), 2U);
  EXPECT_FALSE(plan->duration_ms.has_value());
}

}  // namespace
}  // namespace recorder::recovery
