#include "helper/offline/copy_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace media = platform::media;

namespace {

struct FakeReader {
  media::ReaderStatus s = media::ReaderStatus::reading;
  media::ReaderStatus status() const { return s; }
};

struct FakeOutput {
  int left = 3;
  std::optional<media::SampleBuffer> copyNextSampleBuffer() {
    if (left == 0) return std::nullopt;
    --left;
    media::SampleBuffer b;
    b.numSamples = 10;
    return b;
  }
};

struct FakeWriter {
  media::WriterStatus s = media::WriterStatus::writing;
  std::function<void(std::function<void()>)> onFinish = [](std::function<void()> done) { done(); };
  media::WriterStatus status() const { return s; }
  void finishWriting(std::function<void()> completion) { onFinish(std::move(completion)); }
};

struct FakeInput {
  FakeWriter* writer;
  int acceptBeforeFailing = 1000;
  bool ready = true;
  bool isReadyForMoreMediaData() const { return ready; }
  bool append(const media::SampleBuffer&) {
    if (acceptBeforeFailing-- > 0) return true;
    return false;
  }
};

}  // namespace

TEST(ConcatCopyLoop, CopiesUntilTheReaderHasNoMore) {
  FakeReader reader;
  FakeOutput output;
  FakeWriter writer;
  FakeInput input{&writer};
  std::atomic<int64_t> done{0};
  EXPECT_EQ(helper::copySampleBuffers(reader, output, writer, input, done, [] {}), helper::CopyEnd::readerDone);
  EXPECT_EQ(done.load(), 30);
}

TEST(ConcatCopyLoop, EndsWhenTheWriterFailedWhileNotReady) {
  FakeReader reader;
  FakeOutput output;
  FakeWriter writer;
  FakeInput input{&writer};
  input.ready = false;
  std::atomic<int64_t> done{0};
  // Not ready while writing: the loop waits; once the writer has failed it
  // will never be ready again, so the loop must stop instead of spinning.
  int sleeps = 0;
  auto sleep = [&] {
    if (++sleeps == 3) writer.s = media::WriterStatus::failed;
  };
  EXPECT_EQ(helper::copySampleBuffers(reader, output, writer, input, done, sleep), helper::CopyEnd::writerFailed);
  EXPECT_EQ(sleeps, 3);
  EXPECT_EQ(done.load(), 0);
}

TEST(ConcatCopyLoop, ReportsARefusedAppend) {
  FakeReader reader;
  FakeOutput output;
  FakeWriter writer;
  FakeInput input{&writer};
  input.acceptBeforeFailing = 1;
  std::atomic<int64_t> done{0};
  EXPECT_EQ(helper::copySampleBuffers(reader, output, writer, input, done, [] {}), helper::CopyEnd::appendRefused);
  EXPECT_EQ(done.load(), 10);
}

TEST(ConcatCopyLoop, FinishWaitIsBounded) {
  FakeWriter never;
  std::function<void()> kept;
  never.onFinish = [&kept](std::function<void()> done) { kept = std::move(done); };
  EXPECT_FALSE(helper::finishWritingWithin(never, 1'000'000ULL));
  FakeWriter prompt;
  EXPECT_TRUE(helper::finishWritingWithin(prompt, 1'000'000'000ULL));
}
