#pragma once
// The system consumer thread "tasmerig-sys-consumer": the system ring's
// only reader. Takes the tap's native frames, converts them to the
// canonical system format, writes them to the system writer, hands a frame
// proof per chunk to the source recovery, watches the cadence against
// wall-clock time and answers drain requests. One per started graph.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "helper/ring/spsc_ring.h"
#include "helper/ring/stream_clock.h"
#include "platform/audio/engine/converter.h"
#include "platform/audio/engine/pcm.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

class SystemPipeline;
class SystemSource;

// What one started graph hands its consumer: everything is made before the
// thread starts (the consumer allocates nothing), and the record outlives
// the thread (it is freed only after `done`, or never when a stop gave up
// waiting).
struct SystemConsumerRun {
  explicit SystemConsumerRun(uint64_t ringCapacity);
  SystemConsumerRun(const SystemConsumerRun&) = delete;
  SystemConsumerRun& operator=(const SystemConsumerRun&) = delete;

  const std::unique_ptr<uint8_t[]> storage;
  SPSCRing ring;
  // When the ring's frames were captured: stamped by the IO proc.
  StreamClock clock;
  platform::audio::AudioFormat nativeFormat;
  uint32_t ringFrameBytes = 0;
  // The output device the graph was started for; frame proofs name it
  // whatever the source says meanwhile.
  std::string outputUID;
  std::unique_ptr<platform::audio::AudioConverter> converter;
  std::unique_ptr<platform::audio::PCMBuffer> input;   // native format
  std::unique_ptr<platform::audio::PCMBuffer> output;  // canonical format
  uint32_t maxChunkFrames = 0;
  platform::dispatch::Semaphore done{0};  // signalled when the thread ends
  std::thread thread;
};

// The thread body: runs until the run's ring is closed and empty, then
// signals `run.done`.
void systemConsumerThread(SystemConsumerRun& run, SystemPipeline& pipeline, SystemSource& source);

}  // namespace helper
