#include "helper/core/segments/segment_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

#include "helper/core/segments/caf_segment.h"
#include "helper/selftest/segment_writer_test_access.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace fs = std::filesystem;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kStartNs = 5'000 * kMs;
constexpr auto kFullSegment = static_cast<int64_t>(segment_format::kFramesPerSegment);
constexpr auto kCheckpointInterval = static_cast<int64_t>(segment_format::kCheckpointIntervalFrames);

struct FakeClock {
  std::atomic<uint64_t> now{kStartNs};
  SegmentWriter::Clock fn() {
    return [this] { return now.load(); };
  }
  void advanceMs(uint64_t ms) { now += ms * kMs; }
};

std::unique_ptr<PCMBuffer> monoBuffer(uint32_t frames, float value = 0.25f) {
  auto b = PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, true), frames);
  b->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) static_cast<float*>(b->block(0).data)[i] = value;
  return b;
}

std::unique_ptr<PCMBuffer> samplesBuffer(const std::vector<float>& samples) {
  auto b = monoBuffer(static_cast<uint32_t>(samples.size()));
  std::memcpy(b->block(0).data, samples.data(), samples.size() * 4);
  return b;
}

std::vector<std::string> typesOf(const std::vector<Event>& events, bool withLevels = true) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    const std::string t =
        e["type"] == "warning" ? "warning:" + e["code"].get<std::string>() : e["type"].get<std::string>();
    if (withLevels || t != "level") out.push_back(t);
  }
  return out;
}

nlohmann::json sidecar(const fs::path& p) { return nlohmann::json::parse(testsupport::readFile(p)); }

std::string encoded(const std::vector<float>& samples) {
  std::string out;
  for (float x : samples) {
    const auto v = static_cast<uint16_t>(saturateToInt16(x));
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  }
  return out;
}

class SegmentWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<SegmentWriter> make(const std::string& source = "mic", int64_t segmentSeconds = 30) {
    return std::make_unique<SegmentWriter>(source, dir.path().string(), 24000.0, 1, segmentSeconds, kStartNs,
                                           clock.fn());
  }
  fs::path mic(const std::string& name) const { return dir / "mic" / name; }

  testsupport::TempDir dir;
  FakeClock clock;
};

TEST_F(SegmentWriterTest, FirstOpenEmitsSegmentOpenedForAFreshHeaderOnlyFile) {
  auto w = make();
  EXPECT_EQ(w->seq(), 0);
  const auto events = SegmentWriterTestAccess::open(*w);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Event{{"type", "segment_opened"},
                              {"source", "mic"},
                              {"index", 1},
                              {"path", fs::canonical(dir.path()).string() + "/mic/000001.caf"},
                              {"sample_rate", 24000},
                              {"channels", 1}}));
  const auto header = buildCafHeader(24000.0);
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")), std::string(header.begin(), header.end()));
  EXPECT_FALSE(fs::exists(mic("000001.checkpoint")));
}

TEST_F(SegmentWriterTest, ASourceOtherThanExactlyMicWritesIntoSystem) {
  auto w = make("Mic");
  SegmentWriterTestAccess::open(*w);
  EXPECT_TRUE(fs::exists(dir / "system" / "000001.caf"));
}

TEST_F(SegmentWriterTest, RotatesAtAFullSegmentClosingBeforeOpening) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  auto b = monoBuffer(2400);
  for (int i = 1; i < 300; ++i) {
    clock.advanceMs(100);
    const auto events = SegmentWriterTestAccess::write(*w, *b);
    for (const auto& t : typesOf(events, false)) ASSERT_EQ(t, i == 1 ? "capture_started" : "") << "buffer " << i;
  }
  EXPECT_EQ(w->checkpointsWritten(), 5);  // every checkpoint interval, silently
  clock.advanceMs(100);
  const auto events = SegmentWriterTestAccess::write(*w, *b);
  EXPECT_EQ(typesOf(events, false), (std::vector<std::string>{"segment_closed", "segment_opened"}));
  const auto closed = std::find_if(events.begin(), events.end(), [](auto& e) { return e["type"] == "segment_closed"; });
  EXPECT_EQ((*closed)["index"], 1);
  EXPECT_EQ((*closed)["frames"], kFullSegment);
  EXPECT_EQ((*closed)["duration_ms"], 30000);
  EXPECT_EQ(events.back()["index"], 2);
  EXPECT_EQ(w->seq(), 2);
  EXPECT_EQ(w->checkpointsWritten(), 0);

  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 2 * kFullSegment);
  const auto s = sidecar(mic("000001.checkpoint"));
  EXPECT_EQ(s["frames_written"], kFullSegment);
  EXPECT_EQ(s["byte_offset"], 1440068);
  EXPECT_EQ(fs::file_size(mic("000002.caf")), 68u);
}

TEST_F(SegmentWriterTest, NineteenNinetyNineFramesShortOfTheLimitDoNotRotate) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  clock.advanceMs(30000);  // real time, so no duration warning
  auto big = monoBuffer(239999);
  for (int i = 0; i < 3; ++i) SegmentWriterTestAccess::write(*w, *big);  // 719997 frames
  auto two = monoBuffer(2);
  EXPECT_EQ(typesOf(SegmentWriterTestAccess::write(*w, *two), false), std::vector<std::string>{});  // 719999
  EXPECT_EQ(w->seq(), 1);
  EXPECT_EQ(typesOf(SegmentWriterTestAccess::write(*w, *two), false),
            (std::vector<std::string>{"segment_closed", "segment_opened"}));
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 2 * 720001);
}

TEST_F(SegmentWriterTest, TimeBackstopRotatesASlowSourceAfterSegmentSecondsPlus30) {
  auto w = make("mic", 30);
  SegmentWriterTestAccess::open(*w);
  auto b = monoBuffer(1000);  // 1000 frames every 100 ms: well below real time
  for (int i = 1; i < 600; ++i) {
    clock.advanceMs(100);
    ASSERT_EQ(w->seq(), 1);
    SegmentWriterTestAccess::write(*w, *b);
  }
  EXPECT_FALSE(w->shouldRotate());
  clock.advanceMs(100);  // 60.0 s after the open
  const auto events = SegmentWriterTestAccess::write(*w, *b);
  EXPECT_EQ(typesOf(events, false),
            (std::vector<std::string>{"segment_closed", "warning:seg_duration_mismatch", "segment_opened"}));
  const auto& closed =
      *std::find_if(events.begin(), events.end(), [](auto& e) { return e["type"] == "segment_closed"; });
  EXPECT_EQ(closed["frames"], 600000);
  EXPECT_EQ(closed["wall_clock_ms"], 60000);
}

TEST_F(SegmentWriterTest, CaptureStartedOnceAndLevelsAtMostEvery125Ms) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  auto first = SegmentWriterTestAccess::write(*w, *samplesBuffer({0.5f, -0.5f}));
  ASSERT_EQ(typesOf(first), (std::vector<std::string>{"capture_started", "level"}));
  EXPECT_EQ(first[0], (Event{{"type", "capture_started"}, {"source", "mic"}, {"sample_rate", 24000}, {"channels", 1}}));
  EXPECT_EQ(
      first[1],
      (Event{
          {"type", "level"}, {"source", "mic"}, {"peak", 0.5}, {"rms", 0.5}, {"ts", static_cast<int64_t>(kStartNs)}}));
  clock.advanceMs(10);
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(10)).empty());
  clock.advanceMs(114);
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(10)).empty());
  clock.advanceMs(1);
  const auto later = SegmentWriterTestAccess::write(*w, *samplesBuffer({0.1f, 0.1f}));
  ASSERT_EQ(typesOf(later), std::vector<std::string>{"level"});
  EXPECT_EQ(later[0]["peak"], 0.1);  // this buffer's figures, not the interval's
  // The spacing survives a new segment; capture_started is not repeated.
  SegmentWriterTestAccess::open(*w);
  clock.advanceMs(125);
  EXPECT_EQ(typesOf(SegmentWriterTestAccess::write(*w, *monoBuffer(1))), std::vector<std::string>{"level"});
}

TEST_F(SegmentWriterTest, EmptyBuffersAndPausedWritesChangeNothing) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  auto empty = monoBuffer(4);
  empty->setFrameLength(0);
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *empty).empty());
  w->setPaused(true);
  EXPECT_TRUE(w->paused());
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(500)).empty());
  EXPECT_FALSE(w->shouldRotate());
  w->setPaused(false);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u);
  EXPECT_EQ(w->sealFinal(), std::nullopt);  // no frames arrived
}

TEST_F(SegmentWriterTest, ReopeningAnEmptySegmentRemovesIt) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  const auto events = SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(typesOf(events), (std::vector<std::string>{"warning:writer_reopened_empty_segment", "segment_opened"}));
  EXPECT_EQ(events[0]["ctx"], "mic seg 1: open called before frames arrived; removed empty segment before reopening");
  EXPECT_EQ(events[1]["index"], 2);
  EXPECT_FALSE(fs::exists(mic("000001.caf")));
  EXPECT_TRUE(fs::exists(mic("000002.caf")));
}

TEST_F(SegmentWriterTest, ReopeningAnActiveSegmentSealsAndReportsIt) {
  auto w = make();
  w->setNativeRateNow(48000);
  w->setNativeChannelsNow(2);
  SegmentWriterTestAccess::open(*w);
  w->setNativeRateNow(44100);
  SegmentWriterTestAccess::write(*w, *monoBuffer(240, 0.5f));
  clock.advanceMs(10);
  const auto events = SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(typesOf(events),
            (std::vector<std::string>{"warning:writer_reopened_active_segment", "segment_closed", "segment_opened"}));
  EXPECT_EQ(events[0]["ctx"], "mic seg 1: open called while segment had 240 frames; sealed before reopening");
  EXPECT_EQ(events[1]["frames"], 240);
  EXPECT_EQ(events[1]["native_rate_start"], 48000);
  EXPECT_EQ(events[1]["native_rate_end"], 44100);
  EXPECT_EQ(events[1]["native_channels_start"], 2);
  EXPECT_EQ(events[2]["index"], 2);
  EXPECT_EQ(sidecar(mic("000001.checkpoint"))["frames_written"], 240);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 480);
  const auto health = w->snapshotHealth(false);
  EXPECT_EQ(health.peak, 0.5f);
  EXPECT_EQ(health.silenceRatio, 0.0);
  EXPECT_EQ(w->nativeRateAtOpen(), 44100);
}

TEST_F(SegmentWriterTest, SealFinalWithoutFramesKeepsTheHeaderAndAZeroSidecar) {
  auto never = make();
  EXPECT_EQ(never->sealFinal(), std::nullopt);
  EXPECT_FALSE(fs::exists(mic("000001.caf")));

  auto w = make();
  SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(w->sealFinal(), std::nullopt);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u);
  const auto s = sidecar(mic("000001.checkpoint"));
  EXPECT_EQ(s["frames_written"], 0);
  EXPECT_EQ(s["byte_offset"], 68);
  EXPECT_EQ(w->sealFinal(), std::nullopt);
  EXPECT_EQ(w->snapshotHealth(false).silenceRatio, 1.0);  // nothing folded
}

TEST_F(SegmentWriterTest, SealFinalDescribesTheSegmentAndFoldsItsHealth) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  SegmentWriterTestAccess::write(*w, *samplesBuffer({0.5f, -0.5f, 0.5f, -0.5f}));
  clock.advanceMs(1000);
  const auto sealed = w->sealFinal();
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->segmentPath, fs::canonical(mic("000001.caf")).string());
  EXPECT_EQ(sealed->source, "mic");
  EXPECT_EQ(sealed->seq, 1);
  EXPECT_EQ(sealed->frames, 4);
  EXPECT_EQ(sealed->peak, 0.5f);
  EXPECT_EQ(sealed->rms, 0.5f);
  EXPECT_EQ(sealed->startNs, kStartNs);
  EXPECT_EQ(sealed->rate, 24000);
  EXPECT_EQ(w->seq(), 1);
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(4)).empty());  // idle after the seal
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")).substr(68), encoded({0.5f, -0.5f, 0.5f, -0.5f}));
  const auto h = w->snapshotHealth(false);
  EXPECT_EQ(h.peak, 0.5f);
  EXPECT_FLOAT_EQ(h.rms, 0.5f);
}

TEST_F(SegmentWriterTest, CheckpointAfterAnIntervalOfFramesMatchesTheFile) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  std::vector<float> ramp(kCheckpointInterval);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i % 2000) / 2000.0f - 0.5f;
  clock.advanceMs(7000);
  EXPECT_TRUE(typesOf(SegmentWriterTestAccess::write(*w, *samplesBuffer(ramp)), false) ==
              std::vector<std::string>{"capture_started"});
  const auto s = sidecar(mic("000001.checkpoint"));
  EXPECT_EQ(s["schema_version"], 1);
  EXPECT_EQ(s["segment_index"], 1);
  EXPECT_EQ(s["frames_written"], kCheckpointInterval);
  EXPECT_EQ(s["byte_offset"], 240068);
  EXPECT_EQ(s["audio_time_ms_at_checkpoint"], 5000);
  EXPECT_EQ(s["wall_time_ms_at_checkpoint"], 7000);
  EXPECT_TRUE(s["checkpoint_at_utc"].get<std::string>().size() == 24 &&
              s["checkpoint_at_utc"].get<std::string>()[10] == 'T' &&
              s["checkpoint_at_utc"].get<std::string>().back() == 'Z');
  EXPECT_EQ(s.size(), 7u);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 240068u);
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")).substr(68), encoded(ramp));
  EXPECT_FALSE(fs::exists(mic("000001.checkpoint.tmp")));
  EXPECT_EQ(w->checkpointsWritten(), 1);
}

TEST_F(SegmentWriterTest, AFailedCheckpointWarnsAndWritingGoesOn) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  fs::create_directories(mic("000001.checkpoint") / "blocker");  // the rename cannot replace a directory
  const auto events = SegmentWriterTestAccess::write(*w, *monoBuffer(120000));
  ASSERT_EQ(typesOf(events, false), (std::vector<std::string>{"capture_started", "warning:checkpoint_write_failed"}));
  EXPECT_EQ(events.back()["ctx"].get<std::string>().rfind("mic seg 1: ", 0), 0u);
  EXPECT_EQ(w->checkpointsWritten(), 0);
  SegmentWriterTestAccess::write(*w, *monoBuffer(10));
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 2 * 120010);
}

TEST_F(SegmentWriterTest, StereoWritesTheLeftChannelButMeasuresBoth) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  auto b = PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmFloat32, 24000, 2, true), 2);
  b->setFrameLength(2);
  const float in[] = {0.5f, -1.0f, 0.25f, 0.0f};
  std::memcpy(b->block(0).data, in, sizeof in);
  const auto events = SegmentWriterTestAccess::write(*w, *b);
  EXPECT_EQ(events.back()["peak"], 1.0);
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")).substr(68), encoded({0.5f, 0.25f}));
}

// Samples that are not finite numbers: the file stores them by the
// clipping rules, and every figure the writer reports stays a JSON number.
TEST_F(SegmentWriterTest, NonFiniteSamplesKeepEveryFigureFinite) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 1e30f, 0.5f};
  const auto events = SegmentWriterTestAccess::write(*w, *samplesBuffer(in));
  const auto& level = events.back();
  ASSERT_EQ(level["type"], "level");
  EXPECT_TRUE(level["peak"].is_number_float() && std::isfinite(level["peak"].get<double>()));
  EXPECT_TRUE(level["rms"].is_number_float() && std::isfinite(level["rms"].get<double>()));
  EXPECT_EQ(EventBus::serializeLine(level).find("null"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")).substr(68), encoded(in));

  const auto sealed = w->sealFinal();
  ASSERT_TRUE(sealed);
  EXPECT_TRUE(std::isfinite(sealed->peak) && std::isfinite(sealed->rms));
  for (const auto& e : buildSegClosedEventsAt(*sealed, kStartNs)) {
    EXPECT_EQ(EventBus::serializeLine(e).find("null"), std::string::npos) << e.dump();
  }
  const auto h = w->snapshotHealth(false);
  EXPECT_TRUE(std::isfinite(h.peak) && std::isfinite(h.rms));
}

// A helper started again in a session directory must not truncate what an
// earlier run recorded there.
TEST_F(SegmentWriterTest, ARestartedWriterNumbersOnAndNeverReplacesASegment) {
  {
    auto first = make();
    SegmentWriterTestAccess::open(*first);
    SegmentWriterTestAccess::write(*first, *monoBuffer(100, 0.5f));
    SegmentWriterTestAccess::open(*first);
    SegmentWriterTestAccess::write(*first, *monoBuffer(50, 0.5f));
    ASSERT_TRUE(first->sealFinal());
  }
  const std::string before = testsupport::readFile(mic("000001.caf"));
  ASSERT_EQ(before.size(), 68u + 200);

  auto again = make();
  EXPECT_EQ(again->seq(), 2);
  const auto events = SegmentWriterTestAccess::open(*again);
  ASSERT_EQ(typesOf(events), std::vector<std::string>{"segment_opened"});
  EXPECT_EQ(events[0]["index"], 3);
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")), before);
  EXPECT_EQ(fs::file_size(mic("000002.caf")), 68u + 100);

  // A segment that appears after the directory was read is skipped too.
  testsupport::writeFile(mic("000004.caf"), "not ours");
  SegmentWriterTestAccess::write(*again, *monoBuffer(10));
  const auto next = SegmentWriterTestAccess::open(*again);
  EXPECT_EQ(next.back()["index"], 5);
  EXPECT_EQ(testsupport::readFile(mic("000004.caf")), "not ours");

  // A fresh directory still starts at 1.
  testsupport::TempDir other;
  SegmentWriter fresh("system", other.path().string(), 24000.0, 2, 30, kStartNs, clock.fn());
  EXPECT_EQ(SegmentWriterTestAccess::open(fresh).back()["index"], 1);
}

// Only a regular "<digits>.caf" file is a segment to number on from.
TEST_F(SegmentWriterTest, AFreshSessionStartsAtOneWhateverElseTheDirectoryHolds) {
  fs::create_directories(mic("000001.checkpoint.tmp"));
  fs::create_directories(mic("000007.caf"));
  testsupport::writeFile(mic("000009.checkpoint"), "{}");
  auto w = make();
  EXPECT_EQ(w->seq(), 0);
  const auto events = SegmentWriterTestAccess::open(*w);
  ASSERT_EQ(typesOf(events), std::vector<std::string>{"segment_opened"});
  EXPECT_EQ(events[0]["index"], 1);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u);
}

TEST_F(SegmentWriterTest, AnUncreatableSegmentLeavesTheWriterWithoutAFile) {
  testsupport::writeFile(dir / "mic", "a file where the directory should be");
  auto w = make();
  const auto events = SegmentWriterTestAccess::open(*w);
  ASSERT_EQ(typesOf(events), std::vector<std::string>{"warning:writer_open_failed"});
  EXPECT_EQ(events[0]["ctx"],
            "mic seg 1: cannot create file at " + fs::canonical(dir.path()).string() + "/mic/000001.caf");
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(10)).empty());
  EXPECT_EQ(w->sealFinal(), std::nullopt);
  EXPECT_EQ(testsupport::readFile(dir / "mic"), "a file where the directory should be");
  // Opened again, the same index is tried: no hole, no word of an empty
  // segment that never existed, and a failure already reported stays quiet.
  EXPECT_TRUE(SegmentWriterTestAccess::open(*w).empty());
  EXPECT_EQ(w->seq(), 1);
}

// Simulates a full file system: the process's file size limit makes
// writes past it come up short and then fail.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit l = previous_;
    l.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &l), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST_F(SegmentWriterTest, AShortWriteCountsOnlyWholeFramesAndLeavesNoOddByte) {
  auto w = make();
  SegmentWriterTestAccess::open(*w);
  std::vector<float> a(1500), c = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f};
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i) / 10000.0f;
  std::vector<Event> events;
  {
    FileSizeLimit limit(68 + 2000 + 1);  // room for 1000 frames and half a frame
    events = SegmentWriterTestAccess::write(*w, *samplesBuffer(a));
    EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(10)).empty());  // fails again, reported later
  }
  ASSERT_EQ(typesOf(events), (std::vector<std::string>{"warning:writer_write_failed", "capture_started", "level"}));
  EXPECT_EQ(events[0]["ctx"], "mic seg 1: wrote 2001 of 3000 bytes: " + std::string(std::strerror(EFBIG)) + " (errno " +
                                  std::to_string(EFBIG) + "); kept 1000 of 1500 frames");
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 2000);

  SegmentWriterTestAccess::write(*w, *samplesBuffer(c));
  const auto reopen = SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(typesOf(reopen),
            (std::vector<std::string>{"warning:writer_write_failed", "warning:writer_reopened_active_segment",
                                      "segment_closed", "segment_opened"}));
  EXPECT_EQ(reopen[0]["ctx"], "mic seg 1: 1 further writes failed; 510 frames lost in this segment");
  EXPECT_EQ(reopen[2]["frames"], 1005);

  // Every sample that follows the failure sits where it belongs.
  std::vector<float> kept(a.begin(), a.begin() + 1000);
  kept.insert(kept.end(), c.begin(), c.end());
  EXPECT_EQ(testsupport::readFile(mic("000001.caf")).substr(68), encoded(kept));
  EXPECT_EQ(sidecar(mic("000001.checkpoint"))["byte_offset"], 68 + 2 * 1005);
}

TEST_F(SegmentWriterTest, OnAFullDiskEveryLostFrameOfTheClockIsCountedOnce) {
  auto w = make();
  const auto at = [](uint64_t ms) { return kStartNs + ms * kMs; };
  w->beginRun(at(0));
  w->open();
  EXPECT_EQ(w->write(*monoBuffer(2400), at(0)), 2400);
  {
    // Full from here on: each buffer's silence before it is retried.
    FileSizeLimit limit(68 + 2 * 2400);
    for (uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(w->write(*monoBuffer(2400), at(100 * i)), 0);
  }
  const auto reopen = SegmentWriterTestAccess::open(*w);
  ASSERT_FALSE(reopen.empty());
  EXPECT_EQ(reopen[0]["code"], "writer_write_failed");
  EXPECT_NE(reopen[0]["ctx"].get<std::string>().find("; 12000 frames lost in this segment"), std::string::npos)
      << reopen[0].dump();
}

TEST_F(SegmentWriterTest, APauseAfterALongOutageCutsWholeSegmentsAndNoSegmentLastsNoTime) {
  auto w = make();
  const auto at = [](uint64_t ms) { return kStartNs + ms * kMs; };
  w->beginRun(at(0));
  w->open();
  EXPECT_EQ(w->write(*monoBuffer(240), at(0)), 240);
  // Nothing more arrives; the pause at 40 s fills up to it.
  w->endRun(at(40000));
  w->setPaused(true);
  const auto sealed = w->sealFinal();
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->seq, 2);
  EXPECT_EQ(sealed->frames, 40 * 24000 - 720000);
  EXPECT_EQ(fs::file_size(mic("000001.caf")), 68u + 2 * 720000);
  EXPECT_EQ(w->lastClosedIndex(), 2);

  // A resume and a pause within a millisecond: 20 frames, which last a
  // millisecond, not no time.
  w->beginRun(at(50000));
  w->open();
  w->setPaused(false);
  w->endRun(at(50000) + 833'334);
  w->setPaused(true);
  const auto brief = w->sealFinal();
  ASSERT_TRUE(brief);
  EXPECT_EQ(brief->frames, 20);
  EXPECT_EQ(buildSegClosedEventsAt(*brief, at(50001))[0]["duration_ms"], 1);
}

TEST_F(SegmentWriterTest, AHeaderThatCannotBeWrittenLeavesNoSegmentBehind) {
  auto w = make();
  std::vector<Event> events;
  {
    FileSizeLimit limit(10);
    events = SegmentWriterTestAccess::open(*w);
  }
  ASSERT_EQ(typesOf(events), std::vector<std::string>{"warning:writer_open_failed"});
  EXPECT_NE(events[0]["ctx"].get<std::string>().find("cannot write header to"), std::string::npos);
  EXPECT_FALSE(fs::exists(mic("000001.caf")));
  EXPECT_TRUE(SegmentWriterTestAccess::write(*w, *monoBuffer(10)).empty());
  EXPECT_EQ(w->sealFinal(), std::nullopt);
  const auto next = SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(typesOf(next), std::vector<std::string>{"segment_opened"});
  EXPECT_EQ(next.back()["index"], 1);
}

TEST(SegmentWriterDurability, ScheduledSyncsRunAndIgnoreMissingFiles) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "a.caf", "x");
  SegmentWriter::scheduleDurabilitySync((dir / "a.caf").string());
  SegmentWriter::scheduleDurabilitySync((dir / "missing.caf").string());
  SegmentWriter::waitForScheduledSyncs();
  EXPECT_EQ(testsupport::readFile(dir / "a.caf"), "x");
}

// A consumer thread writes while another thread pauses, reopens and reads
// the writer, as the command paths do during capture. Every segment left
// on disk ends where its last checkpoint says.
TEST(SegmentWriterThreads, WritesAndControlFromAnotherThreadKeepFilesAndSidecarsConsistent) {
  testsupport::TempDir dir;
  SegmentWriter w("mic", dir.path().string(), 24000.0, 1, 30, 0);
  w.open();
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    auto b = monoBuffer(480, 0.3f);
    while (!stop.load()) w.write(*b);
  });
  for (int i = 0; i < 200; ++i) {
    w.setPaused(i % 3 == 0);
    (void)w.seq();
    (void)w.snapshotHealth(false);
    if (i % 20 == 0) w.open();
    std::this_thread::yield();
  }
  w.setPaused(false);
  stop.store(true);
  consumer.join();
  w.sealFinal();
  for (const auto& entry : fs::directory_iterator(dir / "mic")) {
    if (entry.path().extension() != ".caf") continue;
    const auto side = fs::path(entry.path()).replace_extension(".checkpoint");
    ASSERT_TRUE(fs::exists(side)) << entry.path();
    EXPECT_EQ(sidecar(side)["byte_offset"].get<uint64_t>(), fs::file_size(entry.path())) << entry.path();
  }
}

TEST_F(SegmentWriterTest, WriteReportsTheFramesThatReachedTheSegment) {
  auto w = make();
  EXPECT_EQ(w->write(*monoBuffer(240)), 0);  // nothing open
  SegmentWriterTestAccess::open(*w);
  EXPECT_EQ(w->write(*monoBuffer(240)), 240);
  w->setPaused(true);
  EXPECT_EQ(w->write(*monoBuffer(240)), 0);
  w->setPaused(false);
  {
    FileSizeLimit limit(68 + 480 + 2000 + 1);  // room for 1000 more frames and half a frame
    EXPECT_EQ(w->write(*monoBuffer(1500)), 1000);
  }
  w->sealFinal();
  EXPECT_EQ(w->write(*monoBuffer(240)), 0);
}

TEST_F(SegmentWriterTest, OnTheSessionClockWhatDidNotArriveIsSilenceAndARunEndsWhereItWasEnded) {
  auto w = make();
  const auto at = [](uint64_t ms) { return kStartNs + ms * kMs; };
  w->beginRun(at(0));
  w->open();
  // The first buffer lands where it was captured, 10 ms into the run; the
  // next follows on; one a second late has the second in silence before it.
  EXPECT_EQ(w->write(*monoBuffer(2400), at(10)), 2400);
  EXPECT_EQ(w->write(*monoBuffer(2400), at(110)), 2400);
  EXPECT_EQ(w->write(*monoBuffer(2400), at(1210)), 2400);
  EXPECT_EQ(w->write(*monoBuffer(12000), at(1310)), 12000);
  // Paused at 2 s: the seal fills the segment up to there.
  w->endRun(at(2000));
  clock.advanceMs(2100);
  const auto sealed = w->sealFinal();
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->frames, 48000);
  const auto closed = buildSegClosedEventsAt(*sealed, at(2100));
  EXPECT_EQ(typesOf(closed), std::vector<std::string>{"segment_closed"});
  EXPECT_EQ(closed[0]["duration_ms"], 2000);
  EXPECT_EQ(closed[0]["host_time_start_ns"], at(0));
  EXPECT_EQ(closed[0]["host_time_end_ns"], at(2000));
  EXPECT_EQ(closed[0]["silence_injected_ms"], (240 + 24000 + 4560) / 24);
  const std::string data = testsupport::readFile(mic("000001.caf")).substr(68);
  ASSERT_EQ(data.size(), 2u * 48000);
  EXPECT_EQ(data.substr(0, 480), std::string(480, '\0'));
  EXPECT_EQ(data.substr(480, 2 * 4800), encoded(std::vector<float>(4800, 0.25f)));
  EXPECT_EQ(data.substr(480 + 2 * 4800, 2 * 24000), std::string(2 * 24000, '\0'));
  EXPECT_EQ(data.substr(2 * 43440), std::string(2 * 4560, '\0'));

  // Resumed at 3 s: what was captured before that stays out, and so does
  // what was captured from the next pause on.
  w->beginRun(at(3000));
  w->open();
  EXPECT_EQ(w->write(*monoBuffer(2400), at(2950)), 2400);
  w->endRun(at(3100));
  EXPECT_EQ(w->write(*monoBuffer(2400), at(3050)), 2400);
  ASSERT_TRUE(w->sealFinal());
  EXPECT_EQ(fs::file_size(mic("000002.caf")), 68u + 2 * 2400);
}

}  // namespace
}  // namespace helper
