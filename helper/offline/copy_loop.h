#pragma once
// The concat mode's polling copy from a reader output to a writer input,
// and the waits for a writer to finish. Written over the media types'
// shapes so their stopping rules can be checked with stand-ins.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"
#include "platform/media/media.h"

namespace helper {

enum class CopyEnd {
  readerDone,     // the reader stopped reading or had nothing more
  appendRefused,  // the writer input refused a buffer
  writerFailed,   // the writer stopped writing while the input waited
};

template <typename Reader, typename Output, typename Writer, typename Input, typename Sleep>
CopyEnd copySampleBuffers(Reader& reader, Output& output, Writer& writer, Input& input,
                          std::atomic<int64_t>& doneFrames, Sleep sleep) {
  for (;;) {
    if (reader.status() != platform::media::ReaderStatus::reading) return CopyEnd::readerDone;
    if (!input.isReadyForMoreMediaData()) {
      // A writer that has stopped writing is never ready again.
      if (writer.status() != platform::media::WriterStatus::writing) return CopyEnd::writerFailed;
      sleep();
      continue;
    }
    auto buffer = output.copyNextSampleBuffer();
    if (!buffer) return CopyEnd::readerDone;
    if (!input.append(*buffer)) return CopyEnd::appendRefused;
    doneFrames.fetch_add(buffer->numSamples, std::memory_order_relaxed);
  }
}

// Asks the writer to finish; true when its completion ran within timeoutNs.
template <typename Writer>
bool finishWritingWithin(Writer& writer, uint64_t timeoutNs) {
  auto finished = std::make_shared<platform::dispatch::Semaphore>(0);
  writer.finishWriting([finished] { finished->signal(); });
  return finished->waitForNs(timeoutNs);
}

// Asks the writer to finish and waits for its completion however long it
// takes: a large output on a slow disk is still whole once it has run.
template <typename Writer>
void finishWritingAndWait(Writer& writer) {
  auto finished = std::make_shared<platform::dispatch::Semaphore>(0);
  writer.finishWriting([finished] { finished->signal(); });
  finished->wait();
}

}  // namespace helper
