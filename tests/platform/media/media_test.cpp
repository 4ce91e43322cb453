#include "platform/media/media.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "tests/support/temp_dir.h"

namespace media = platform::media;

namespace {

void put32be(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A segment as the helper writes it: 68-byte CAF header, data size -1,
// 16-bit mono little-endian samples.
void writeCaf(const std::filesystem::path& path, double rate, const std::vector<int16_t>& samples, int channels = 1) {
  std::string s = "caff";
  s += std::string("\x00\x01\x00\x00", 4);
  s += "desc";
  put32be(s, 0);
  put32be(s, 32);
  uint64_t bits = 0;
  std::memcpy(&bits, &rate, 8);
  put32be(s, static_cast<uint32_t>(bits >> 32));
  put32be(s, static_cast<uint32_t>(bits));
  s += "lpcm";
  put32be(s, 2);  // little-endian integer
  put32be(s, 2 * channels);
  put32be(s, 1);
  put32be(s, channels);
  put32be(s, 16);
  s += "data";
  put32be(s, 0xFFFFFFFF);
  put32be(s, 0xFFFFFFFF);
  put32be(s, 0);
  std::ofstream out(path, std::ios::binary);
  out.write(s.data(), static_cast<std::streamsize>(s.size()));
  out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

std::vector<int16_t> ramp(size_t n, int16_t start) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int>(i % 1000));
  return v;
}

media::AssetTrack firstTrack(const std::filesystem::path& path) {
  auto tracks = media::Asset::open(path)->loadAudioTracks();
  EXPECT_FALSE(tracks.empty());
  return tracks.at(0);
}

bool finish(media::AssetWriter& writer) {
  auto done = std::make_shared<platform::dispatch::Semaphore>(0);
  writer.finishWriting([done] { done->signal(); });
  return done->waitForNs(10'000'000'000ULL);
}

// Every buffer a reader output yields, concatenated.
std::vector<uint8_t> drain(media::ReaderOutput& output, int64_t* frames = nullptr) {
  std::vector<uint8_t> all;
  int64_t n = 0;
  while (auto b = output.copyNextSampleBuffer()) {
    all.insert(all.end(), b->data.begin(), b->data.end());
    n += b->numSamples;
  }
  if (frames) *frames = n;
  return all;
}

}  // namespace

TEST(MediaTime, AddsExactlyAndSaturates) {
  const media::MediaTime a{1, 24000}, b{1, 48000};
  const media::MediaTime sum = a + b;
  EXPECT_EQ(sum.compare(media::MediaTime{3, 48000}), 0);
  const media::MediaTime huge{std::numeric_limits<int64_t>::max(), 1};
  EXPECT_EQ((huge + huge).value, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(huge.framesAt(768000), std::numeric_limits<int64_t>::max());
  EXPECT_EQ((media::MediaTime{12, 1}).framesAt(48000), 576000);
}

TEST(MediaAsset, SegmentIsPlayablePcmWithExactDuration) {
  testsupport::TempDir dir;
  writeCaf(dir / "a.caf", 24000, ramp(12345, 0));
  writeCaf(dir / "empty.caf", 24000, {});
  auto asset = media::Asset::open(dir / "a.caf");
  EXPECT_TRUE(asset->loadIsPlayable());
  EXPECT_EQ(asset->loadDuration().compare(media::MediaTime{12345, 24000}), 0);
  const auto tracks = asset->loadAudioTracks();
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].format.sampleRate, 24000);
  EXPECT_EQ(tracks[0].format.channels, 1);
  EXPECT_EQ(media::Asset::open(dir / "empty.caf")->loadDuration().value, 0);
}

TEST(MediaAsset, MissingFileThrowsAndGarbageIsUnplayable) {
  testsupport::TempDir dir;
  EXPECT_THROW(media::Asset::open(dir / "nope.caf")->loadIsPlayable(), media::MediaError);
  testsupport::writeFile(dir / "junk.caf", std::string(500, 'x'));
  auto junk = media::Asset::open(dir / "junk.caf");
  EXPECT_FALSE(junk->loadIsPlayable());
  EXPECT_THROW(junk->loadAudioTracks(), media::MediaError);
}

TEST(MediaComposition, RefusesAnotherFormatAndInsertionsInsideMedia) {
  testsupport::TempDir dir;
  writeCaf(dir / "a.caf", 24000, ramp(100, 0));
  writeCaf(dir / "b.caf", 48000, ramp(100, 0));
  media::Composition composition;
  media::CompositionTrack* track = composition.addMutableTrack();
  const auto a = firstTrack(dir / "a.caf");
  track->insertTimeRange(media::MediaTime::zero(), a.duration, a, media::MediaTime::zero());
  try {
    const auto b = firstTrack(dir / "b.caf");
    track->insertTimeRange(media::MediaTime::zero(), b.duration, b, track->end());
    FAIL() << "a segment of another rate was inserted";
  } catch (const media::MediaError& e) {
    EXPECT_STREQ(e.what(), "format differs from first segment");
  }
  EXPECT_THROW(track->insertTimeRange(media::MediaTime::zero(), a.duration, a, media::MediaTime{50, 24000}),
               media::MediaError);
  EXPECT_EQ(track->segments().size(), 1u);
  EXPECT_EQ(composition.duration().compare(media::MediaTime{100, 24000}), 0);
}

TEST(MediaReaderWriter, PassthroughJoinsSegmentsUnchangedIntoAMovie) {
  testsupport::TempDir dir;
  const auto s1 = ramp(3000, 10), s2 = ramp(5000, -500);
  writeCaf(dir / "1.caf", 24000, s1);
  writeCaf(dir / "2.caf", 24000, s2);
  auto composition = std::make_shared<media::Composition>();
  media::CompositionTrack* track = composition->addMutableTrack();
  media::MediaTime cursor = media::MediaTime::zero();
  for (const char* name : {"1.caf", "2.caf"}) {
    const auto t = firstTrack(dir / name);
    track->insertTimeRange(media::MediaTime::zero(), t.duration, t, cursor);
    cursor = cursor + t.duration;
  }
  auto reader = media::AssetReader::create(composition);
  auto output = media::ReaderOutput::trackOutput(*track);
  ASSERT_TRUE(reader->canAddOutput(*output));
  reader->addOutput(output);
  auto writer = media::AssetWriter::create((dir / "out.wav").string(), "mov");
  media::WriterInput* input = writer->addInput(std::nullopt);
  ASSERT_NE(input, nullptr);
  ASSERT_TRUE(reader->startReading());
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(media::MediaTime::zero());
  int64_t frames = 0;
  while (auto b = output->copyNextSampleBuffer()) {
    ASSERT_TRUE(input->append(*b));
    frames += b->numSamples;
  }
  EXPECT_EQ(reader->status(), media::ReaderStatus::completed);
  EXPECT_EQ(frames, 8000);
  input->markAsFinished();
  ASSERT_TRUE(finish(*writer));
  ASSERT_EQ(writer->status(), media::WriterStatus::completed);

  // Read back: one track, the segments' samples in order.
  auto back = media::Asset::open(dir / "out.wav");
  ASSERT_TRUE(back->loadIsPlayable());
  EXPECT_EQ(back->loadDuration().compare(media::MediaTime{8000, 24000}), 0);
  const auto outTrack = back->loadAudioTracks().at(0);
  auto again = media::ReaderOutput::trackOutput(outTrack);
  auto reader2 = media::AssetReader::create(back);
  reader2->addOutput(again);
  ASSERT_TRUE(reader2->startReading());
  const std::vector<uint8_t> bytes = drain(*again);
  std::vector<int16_t> expected(s1);
  expected.insert(expected.end(), s2.begin(), s2.end());
  ASSERT_EQ(bytes.size(), expected.size() * 2);
  EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), bytes.size()), 0);
}

TEST(MediaReaderWriter, MixScalesSumsAndPadsAtTheOutputFormat) {
  testsupport::TempDir dir;
  const std::vector<int16_t> mic(4800, 16384);      // 0.5 for 0.1 s at 48 kHz
  const std::vector<int16_t> sys(2 * 2400, -8192);  // stereo -0.25 for 0.05 s
  writeCaf(dir / "mic.caf", 48000, mic);
  writeCaf(dir / "sys.caf", 48000, sys, 2);
  auto composition = std::make_shared<media::Composition>();
  media::AudioMix mix;
  const float gains[] = {0.5f, 2.0f};
  int i = 0;
  for (const char* name : {"mic.caf", "sys.caf"}) {
    const auto t = firstTrack(dir / name);
    media::CompositionTrack* track = composition->addMutableTrack();
    track->insertTimeRange(media::MediaTime::zero(), t.duration, t, media::MediaTime::zero());
    media::AudioMixInputParameters p;
    p.track = track;
    p.setVolume(gains[i++], media::MediaTime::zero());
    mix.inputParameters.push_back(p);
  }
  media::AudioSettings settings;
  settings.sampleRate = 48000;
  settings.numberOfChannels = 2;
  auto reader = media::AssetReader::create(composition);
  auto output = media::ReaderOutput::audioMixOutput(*composition, settings, mix);
  ASSERT_TRUE(reader->canAddOutput(*output));
  reader->addOutput(output);
  ASSERT_TRUE(reader->startReading());
  int64_t frames = 0;
  const std::vector<uint8_t> bytes = drain(*output, &frames);
  ASSERT_EQ(frames, 4800);
  ASSERT_EQ(bytes.size(), 4800u * 2 * sizeof(float));
  std::vector<float> f(bytes.size() / sizeof(float));
  std::memcpy(f.data(), bytes.data(), bytes.size());
  // Mono reaches both channels at unity: 0.5 * 0.5 + 2 * -0.25 = -0.25, then
  // the mic alone once the system input has ended.
  EXPECT_NEAR(f[0], -0.25f, 1e-6);
  EXPECT_NEAR(f[1], -0.25f, 1e-6);
  EXPECT_NEAR(f[2 * 2399 + 1], -0.25f, 1e-6);
  EXPECT_NEAR(f[2 * 2400], 0.25f, 1e-6);
  EXPECT_NEAR(f[2 * 4799 + 1], 0.25f, 1e-6);
}

TEST(MediaReader, AudioMixOutputWithoutTracksCannotBeAdded) {
  auto composition = std::make_shared<media::Composition>();
  media::AudioSettings settings;
  settings.sampleRate = 48000;
  settings.numberOfChannels = 2;
  auto reader = media::AssetReader::create(composition);
  EXPECT_FALSE(reader->canAddOutput(*media::ReaderOutput::audioMixOutput(*composition, settings, {})));
}

TEST(MediaWriter, RefusesSettingsItCannotStore) {
  testsupport::TempDir dir;
  auto writer = media::AssetWriter::create((dir / "o.mov").string(), "mov");
  media::AudioSettings s;
  s.numberOfChannels = 2;
  for (int64_t rate : {int64_t{0}, int64_t{-1}, int64_t{768001}}) {
    s.sampleRate = rate;
    EXPECT_FALSE(writer->canAddInput(s)) << rate;
  }
  s.sampleRate = 48000;
  s.numberOfChannels = 33;
  EXPECT_FALSE(writer->canAddInput(s));
  s.numberOfChannels = 32;
  EXPECT_TRUE(writer->canAddInput(s));
  EXPECT_THROW(media::AssetWriter::create((dir / "o.mov").string(), "no-such-container"), media::MediaError);
}

TEST(MediaWriter, CancelDeletesThePartialFile) {
  testsupport::TempDir dir;
  writeCaf(dir / "a.caf", 24000, ramp(50000, 0));
  auto asset = media::Asset::open(dir / "a.caf");
  auto reader = media::AssetReader::create(asset);
  auto output = media::ReaderOutput::trackOutput(asset->loadAudioTracks().at(0));
  reader->addOutput(output);
  ASSERT_TRUE(reader->startReading());
  const auto outPath = dir / "partial.mov";
  auto writer = media::AssetWriter::create(outPath.string(), "mov");
  media::WriterInput* input = writer->addInput(std::nullopt);
  ASSERT_TRUE(writer->startWriting());
  ASSERT_TRUE(input->append(*output->copyNextSampleBuffer()));
  ASSERT_TRUE(std::filesystem::exists(outPath));
  writer->cancelWriting();
  EXPECT_EQ(writer->status(), media::WriterStatus::cancelled);
  EXPECT_FALSE(std::filesystem::exists(outPath));
  EXPECT_FALSE(input->isReadyForMoreMediaData());
}

TEST(MediaWriter, FailedWriteLeavesTheWriterFailedAndNeverReady) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  testsupport::TempDir dir;
  writeCaf(dir / "a.caf", 24000, ramp(200000, 0));
  auto asset = media::Asset::open(dir / "a.caf");
  auto reader = media::AssetReader::create(asset);
  auto output = media::ReaderOutput::trackOutput(asset->loadAudioTracks().at(0));
  reader->addOutput(output);
  ASSERT_TRUE(reader->startReading());
  auto writer = media::AssetWriter::create("/dev/full", "mov");
  media::WriterInput* input = writer->addInput(std::nullopt);
  ASSERT_TRUE(writer->startWriting());
  bool refused = false;
  while (auto b = output->copyNextSampleBuffer()) {
    if (!input->append(*b)) {
      refused = true;
      break;
    }
  }
  ASSERT_TRUE(refused);
  EXPECT_EQ(writer->status(), media::WriterStatus::failed);
  EXPECT_FALSE(input->isReadyForMoreMediaData());
  EXPECT_NE(writer->errorDescription(), "unknown");
}

TEST(MediaWriter, PullDriverCallsTheHandlerOnItsQueueUntilFinished) {
  testsupport::TempDir dir;
  auto writer = media::AssetWriter::create((dir / "o.mov").string(), "mov");
  media::AudioSettings s;
  s.sampleRate = 8000;
  s.numberOfChannels = 1;
  media::WriterInput* input = writer->addInput(s);
  ASSERT_TRUE(writer->startWriting());
  auto queue = platform::dispatch::makeSerialQueue("media-test.writer");
  auto done = std::make_shared<platform::dispatch::Semaphore>(0);
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto onQueue = std::make_shared<std::atomic<bool>>(true);
  input->requestMediaDataWhenReady(queue, [=] {
    if (!queue->isCurrent()) onQueue->store(false);
    if (calls->fetch_add(1) + 1 == 3) {
      input->markAsFinished();
      done->signal();
    }
  });
  ASSERT_TRUE(done->waitForNs(10'000'000'000ULL));
  queue->sync([] {});
  EXPECT_EQ(calls->load(), 3);
  EXPECT_TRUE(onQueue->load());
  ASSERT_TRUE(finish(*writer));
  EXPECT_EQ(writer->status(), media::WriterStatus::completed);
}

TEST(MediaAsset, HostileFilesAreUnplayableOrCannotBePlaced) {
  const std::filesystem::path dir = std::filesystem::path(VR_TEST_SOURCE_DIR) / "fuzz/corpus/media";
  // A PCM header claiming 2^30 + 1 channels, and 1025 channels no decoder opens.
  for (const char* name : {"channels-overflow.caf", "decoder-open-fails.wav"})
    EXPECT_FALSE(media::Asset::open(dir / name)->loadIsPlayable()) << name;

  // Blocks declaring durations near 2^62 ms: their sum is held, and a range
  // that long has no place on a composition.
  for (const char* name : {"probe-duration-overflow.mka", "passthrough-position-overflow.mka"}) {
    auto asset = media::Asset::open(dir / name);
    const media::MediaTime duration = asset->loadDuration();
    EXPECT_GT(duration.seconds(), 1e15) << name;
    media::Composition composition;
    try {
      composition.addMutableTrack()->insertTimeRange(media::MediaTime::zero(), duration, firstTrack(dir / name),
                                                     media::MediaTime::zero());
      ADD_FAILURE() << name << " was placed";
    } catch (const media::MediaError& e) {
      EXPECT_STREQ(e.what(), "time range too long to place") << name;
    }
  }

  // A decoder that cannot open fails the mix (and frees what it had made).
  const auto track = firstTrack(dir / "decoder-open-fails.wav");
  auto composition = std::make_shared<media::Composition>();
  media::CompositionTrack* t = composition->addMutableTrack();
  t->insertTimeRange(media::MediaTime::zero(), track.duration, track, media::MediaTime::zero());
  media::AudioSettings settings;
  settings.sampleRate = 48000;
  settings.numberOfChannels = 2;
  auto reader = media::AssetReader::create(composition);
  auto output = media::ReaderOutput::audioMixOutput(*composition, settings, {{{t, 1.0f}}});
  reader->addOutput(output);
  ASSERT_TRUE(reader->startReading());
  EXPECT_FALSE(output->copyNextSampleBuffer());
  EXPECT_EQ(reader->status(), media::ReaderStatus::failed);
  EXPECT_EQ(reader->errorDescription(), (dir / "decoder-open-fails.wav").string() + ": cannot open decoder");
}
