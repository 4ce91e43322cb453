#pragma once
// The microphone path, from the engine's render thread to the mic writer,
// under one owner: the SPSC ring and its storage, the tap gate, the
// generation stamped into every message, the drain handshake, the overflow
// counters, the first-buffer report and the consumer thread
// "tasmerig-mic-consumer" that is the ring's only reader.
//
// Threads, per method:
//   render thread  the tap block made by makeTapBlock (nothing else);
//   main queue     start-up (startConsumer, makeTapBlock), the gate on
//                  pause and resume, the generation on a device change;
//   stop path      closeRing, then a wait on consumerDone;
//   any thread     the plain accessors, which are atomics or semaphores.
// The destructor closes the ring and joins the consumer.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "helper/core/await/drain_request.h"
#include "helper/core/bus/event_bus.h"
#include "helper/core/mic/mic_ring.h"
#include "helper/ring/callback_gate.h"
#include "helper/ring/spsc_ring.h"
#include "helper/ring/stream_clock.h"
#include "helper/routing/source_recovery_proof.h"
#include "platform/audio/engine/engine.h"
#include "platform/audio/engine/pcm.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

class MicSource;
class SegmentWriter;

// What the render thread saw in the first buffer of a tap installation,
// kept in atomics so that the consumer can turn it into
// "first_frame_format" off the render thread.
struct FirstBufferReport {
  std::atomic<double> sampleRate{0};
  std::atomic<uint32_t> channels{0};
  std::atomic<bool> interleaved{false};
  std::atomic<uint32_t> commonFormat{0};
  std::atomic<int64_t> retainedFrames{0};
  std::atomic<int64_t> rawFrames{0};
  std::atomic<int64_t> maxFrames{0};
  std::atomic<int64_t> renderQuantum{0};
  std::atomic<int64_t> tapRequestFrames{0};
  std::atomic<float> peak{0};
  // Set (release) after the fields above; taken (acquire) by the consumer.
  std::atomic<bool> pending{false};
};

class MicPipeline {
 public:
  // What a tap installation is given: its sizes and the mic gain.
  struct TapSettings {
    int64_t scratchFrames = 0;
    int64_t renderQuantum = 0;
    int64_t tapBufferFrames = 0;
    float gain = 0;
    // The start-up tap reports its first buffer; a rebuilt engine's does not.
    bool describeFirstBuffer = true;
  };

  using FrameProofSink = std::function<void(const SourceRecoveryFrameProof&)>;

  // The ring (kMicRingCapacity bytes) is allocated here; the gate starts
  // closed and the generation at 1. `proofSink` receives the consumer's
  // frame proofs; the mic source's recovery unless a test supplies its own.
  explicit MicPipeline(std::shared_ptr<SegmentWriter> writer, EventSink sink = emitEvent,
                       FrameProofSink proofSink = {});
  ~MicPipeline();
  MicPipeline(const MicPipeline&) = delete;
  MicPipeline& operator=(const MicPipeline&) = delete;

  // Main queue, once at start-up: starts the consumer thread, which writes
  // into the writer in `writerFormat` and reads generation formats and
  // feeds frame proofs through `mic` (which owns this object).
  void startConsumer(MicSource& mic, std::optional<platform::audio::AudioFormat> writerFormat);

  // Main queue: the block to install as the input tap. It runs on the
  // render thread and never allocates, locks or makes a system call; its
  // first buffer is described in the first-buffer report.
  platform::audio::AudioNodeTapBlock makeTapBlock(const TapSettings& settings);

  // Stop path: the consumer writes what the ring still holds, then ends
  // and signals consumerDone().
  void closeRing() { spsc_ring_close(&ring_); }

  // The tap gate (named gMicTapEnabled where the path was process-wide),
  // opened and closed on any thread but the render thread. Closing waits
  // (bounded) for tap callbacks already past the gate, so that a drain
  // that follows sees every frame they pushed; false when one was still
  // inside.
  void openTap() { tapGate_.enabled().store(1); }
  bool closeTap() { return tapGate_.closeAndWait(kCallbackGateWaitNs); }
  bool tapOpen() const { return tapGate_.isOpen(); }
  // Closes the gate, then has a running consumer write what the ring still
  // holds; false when that drain timed out. Main queue.
  bool closeTapAndDrain(bool consumerRuns, uint64_t timeoutNs) {
    // A callback already past the gate may still push: the drain must come
    // after it, so closing waits for it.
    closeTap();
    // Only a running consumer can answer; without one the ring holds nothing.
    return !consumerRuns || requestDrain(drainRequested_, drainDone_, timeoutNs);
  }
  // Main queue or stop path, before closeTap at a pause or the stop at
  // instantNs: waits (at most timeoutNs, and only while the gate is open)
  // until the tap has handed over the audio captured up to the instant,
  // which comes a whole tap buffer after its first frame was captured.
  bool awaitCaptureThrough(uint64_t instantNs, uint64_t timeoutNs) {
    return helper::awaitCaptureThrough(capturedThroughNs_, instantNs, timeoutNs, [this] { return tapOpen(); });
  }
  // The other hand-overs between the threads (gMicGeneration,
  // gMicDrainRequested, gMicDrainDone and gMicConsumerDone). Any thread.
  std::atomic<uint32_t>& generation() { return generation_; }
  std::atomic<uint32_t>& drainRequested() { return drainRequested_; }
  platform::dispatch::Semaphore& drainDone() { return drainDone_; }
  platform::dispatch::Semaphore& consumerDone() { return consumerDone_; }
  MicOverflowCounters& overflow() { return overflow_; }
  FirstBufferReport& firstBuffer() { return firstBuffer_; }
  SPSCRing& ring() { return ring_; }
  // When the ring's frames were captured: stamped by the render thread,
  // read by the consumer, which counts every message's frames.
  StreamClock& streamClock() { return streamClock_; }
  const std::shared_ptr<SegmentWriter>& writer() const { return writer_; }
  const EventSink& sink() const { return sink_; }
  // Null when the mic source's recovery is to be used.
  const FrameProofSink& proofSink() const { return proofSink_; }

 private:
  // Render thread: one tap buffer into the ring.
  struct TapBlockContext;
  void onTapBuffer(TapBlockContext& ctx, const platform::audio::PCMBuffer& buffer,
                   const platform::audio::AudioTime& when);

  const std::shared_ptr<SegmentWriter> writer_;
  const EventSink sink_;
  const FrameProofSink proofSink_;
  const std::unique_ptr<uint8_t[]> ringStorage_;
  SPSCRing ring_;
  CallbackGate tapGate_;
  std::atomic<uint32_t> generation_{1};
  // Host time up to which buffers that passed the gate were captured;
  // stored by the render thread.
  std::atomic<uint64_t> capturedThroughNs_{0};
  std::atomic<uint32_t> drainRequested_{0};
  platform::dispatch::Semaphore drainDone_{0};
  platform::dispatch::Semaphore consumerDone_{0};
  MicOverflowCounters overflow_;
  FirstBufferReport firstBuffer_;
  // One producer at a time, like the ring: tap installations follow one another.
  StreamClock streamClock_;
  std::thread consumer_;
};

// Reports growth of `overflow.bytes` as "source_overflow" through `sink`,
// at most every 5 s.
void checkMicOverflow(const MicOverflowCounters& overflow, const EventSink& sink, uint64_t& lastReportNs,
                      uint64_t& lastReportedBytes);

// An engine that records no more: its input tap goes, then it stops.
inline void removeTapAndStop(platform::audio::AudioEngine& engine) {
  engine.inputNode().removeTap(0);
  engine.stop();
}

}  // namespace helper
