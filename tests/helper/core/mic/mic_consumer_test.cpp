// The mic consumer on a real ring, fed through the tap block on the test's
// thread; the frame proofs it hands on are recorded by the test.
#include <gtest/gtest.h>

#include <mutex>

#include "helper/core/await/drain_request.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_source.h"
#include "platform/audio/engine/pcm.h"
#include "tests/support/fake_source_session.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;
constexpr uint64_t kSec = 1'000'000'000ULL;

// The mic's frame proofs as the consumer hands them on.
struct ProofRecorder {
  void take(const SourceRecoveryFrameProof& proof) {
    std::lock_guard lock(mu);
    proved += proof.frames;
    last = proof;
  }
  int64_t provedFrames() {
    std::lock_guard lock(mu);
    return proved;
  }
  std::mutex mu;
  int64_t proved = 0;
  SourceRecoveryFrameProof last;
};

CaptureConfig canonical24k() {
  CaptureConfig c;
  c.canonicalRate = 24000;
  return c;
}

class MicConsumerProofTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto writer = std::make_shared<SegmentWriter>("mic", (dir.path() / "session").string(), 24000.0, 1, 30, 0);
    mic = MicSource::make(session, writer, [this](const SourceRecoveryFrameProof& p) { recorder.take(p); });
    // Generation 1 at the canonical rate: written without conversion.
    mic->generationFormats().record(1, 24000, 1, "Mic", "builtin_mic", "test");
    format = AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, false);
    pipeline().startConsumer(*mic, AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, true));
    tap = pipeline().makeTapBlock({4800, 480, 2400, 1.0f});
    pipeline().openTap();
  }
  void TearDown() override {
    // The consumer calls into the recorder: it ends first.
    pipeline().closeRing();
    EXPECT_TRUE(pipeline().consumerDone().waitForNs(3 * kSec));
  }
  MicPipeline& pipeline() { return mic->pipeline(); }

  // Feeds 2,400 frames and returns the frames proved so far, once the
  // consumer has taken everything.
  int64_t feedAndProved() {
    auto buffer = PCMBuffer::make(*format, 2400);
    buffer->setFrameLength(2400);
    for (uint32_t i = 0; i < 2400; ++i) buffer->floatChannelData()[0][i] = 0.25f;
    tap(*buffer, platform::audio::AudioTime{});
    EXPECT_TRUE(requestDrain(pipeline().drainRequested(), pipeline().drainDone(), 3 * kSec));
    return recorder.provedFrames();
  }

  testsupport::TempDir dir;
  testsupport::FakeSourceSession session{canonical24k()};
  ProofRecorder recorder;
  std::shared_ptr<MicSource> mic;
  std::optional<AudioFormat> format;
  platform::audio::AudioNodeTapBlock tap;
};

TEST_F(MicConsumerProofTest, OnlyFramesThatReachASegmentProveTheSource) {
  EXPECT_EQ(feedAndProved(), 0);  // no segment open yet
  mic->writer()->open();
  EXPECT_EQ(feedAndProved(), 2400);
  {
    std::lock_guard lock(recorder.mu);
    EXPECT_EQ(recorder.last.uid, "Mic");
    EXPECT_EQ(recorder.last.sampleRate, 24000);
    EXPECT_EQ(recorder.last.generation, 1u);
  }
  mic->writer()->setPaused(true);
  EXPECT_EQ(feedAndProved(), 2400);
  mic->writer()->setPaused(false);
  mic->writer()->sealFinal();
  EXPECT_EQ(feedAndProved(), 2400);  // sealed: nothing recorded
}

TEST_F(MicConsumerProofTest, GenerationsAtTheWrapAreRecorded) {
  mic->writer()->open();
  // The first message of a generation numbered like no other value.
  mic->generationFormats().record(UINT32_MAX, 24000, 1, "Mic", "builtin_mic", "test");
  pipeline().generation().store(UINT32_MAX);
  EXPECT_EQ(feedAndProved(), 2400);
  mic->generationFormats().record(0, 24000, 1, "Mic", "builtin_mic", "test");
  pipeline().generation().store(0);
  EXPECT_EQ(feedAndProved(), 4800);
  std::lock_guard lock(recorder.mu);
  EXPECT_EQ(recorder.last.generation, 0u);
}

}  // namespace
}  // namespace helper
