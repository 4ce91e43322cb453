// The mic consumer on a real ring, fed through the tap block on the test's
// thread; the frame proofs it hands on are recorded by the state.
#include <gtest/gtest.h>

#include <mutex>

#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_pipeline.h"
#include "platform/audio/engine/pcm.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using platform::audio::PCMBuffer;
constexpr uint64_t kSec = 1'000'000'000ULL;

class ProofRecordingState : public CaptureState {
 public:
  using CaptureState::CaptureState;
  void verifySourceRecoveryFromFrames(Source source, const SourceRecoveryFrameProof& proof) override {
    std::lock_guard lock(mu);
    if (source == Source::mic) proved += proof.frames;
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

class MicConsumerProofTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CaptureConfig c;
    c.sessionDir = (dir.path() / "session").string();
    c.includeMic = true;
    c.canonicalRate = 24000;
    state = std::make_shared<ProofRecordingState>(c);
    // Generation 1 at the canonical rate: written without conversion.
    state->recordMicGenerationFormat(1, 24000, 1, "Mic", "builtin_mic", "test");
    format = AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, false);
    pipeline().startConsumer(*state, AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, true));
    tap = pipeline().makeTapBlock({4800, 480, 2400, 1.0f});
    pipeline().tapEnabled().store(1);
  }
  void TearDown() override {
    // The consumer calls into the state's override: it ends first.
    pipeline().closeRing();
    EXPECT_TRUE(pipeline().consumerDone().waitForNs(3 * kSec));
  }
  MicPipeline& pipeline() { return *state->micPipeline(); }

  // Feeds 2,400 frames and returns the frames proved so far, once the
  // consumer has taken everything.
  int64_t feedAndProved() {
    auto buffer = PCMBuffer::make(*format, 2400);
    buffer->setFrameLength(2400);
    for (uint32_t i = 0; i < 2400; ++i) buffer->floatChannelData()[0][i] = 0.25f;
    tap(*buffer, platform::audio::AudioTime{});
    EXPECT_TRUE(requestDrain(pipeline().drainRequested(), pipeline().drainDone(), 3 * kSec));
    return state->provedFrames();
  }

  testsupport::TempDir dir;
  std::shared_ptr<ProofRecordingState> state;
  std::optional<AudioFormat> format;
  platform::audio::AudioNodeTapBlock tap;
};

TEST_F(MicConsumerProofTest, OnlyFramesThatReachASegmentProveTheSource) {
  EXPECT_EQ(feedAndProved(), 0);  // no segment open yet
  state->micWriter()->open();
  EXPECT_EQ(feedAndProved(), 2400);
  {
    std::lock_guard lock(state->mu);
    EXPECT_EQ(state->last.uid, "Mic");
    EXPECT_EQ(state->last.sampleRate, 24000);
    EXPECT_EQ(state->last.generation, 1u);
  }
  state->micWriter()->setPaused(true);
  EXPECT_EQ(feedAndProved(), 2400);
  state->micWriter()->setPaused(false);
  state->micWriter()->sealFinal();
  EXPECT_EQ(feedAndProved(), 2400);  // sealed: nothing recorded
}

TEST_F(MicConsumerProofTest, GenerationsAtTheWrapAreRecorded) {
  state->micWriter()->open();
  // The first message of a generation numbered like no other value.
  state->recordMicGenerationFormat(UINT32_MAX, 24000, 1, "Mic", "builtin_mic", "test");
  pipeline().generation().store(UINT32_MAX);
  EXPECT_EQ(feedAndProved(), 2400);
  state->recordMicGenerationFormat(0, 24000, 1, "Mic", "builtin_mic", "test");
  pipeline().generation().store(0);
  EXPECT_EQ(feedAndProved(), 4800);
  std::lock_guard lock(state->mu);
  EXPECT_EQ(state->last.generation, 0u);
}

}  // namespace
}  // namespace helper
