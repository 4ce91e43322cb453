#pragma once
// The microphone's hand-over from the audio thread to the mic consumer:
// one ring message per tap callback (an 8-byte header of generation and
// frame count, then that many mono float samples), assembled in a scratch
// allocated at tap installation and pushed whole or not at all.
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "helper/ring/spsc_ring.h"
#include "platform/audio/engine/pcm.h"

namespace helper {

// 8 + 4 * frameCount; nothing above kMicRingMaxFrames.
std::optional<int64_t> micRingMessageSize(uint32_t frameCount);

// Tap buffer size to ask the engine for: 0.1 s of frames, at least 1.
int64_t micTapRequestFrames(double sampleRate);

// Scratch size of a tap installation: 0.4 s of frames plus one render
// quantum (each at least 1), held to the largest message the ring takes so
// that a very fast device still records.
int64_t micTapScratchMaxFrames(double sampleRate, int64_t renderQuantum);

// One message under construction. Owned by one installed tap block and
// touched only from its thread; allocated once, so the push never allocates.
class MicTapScratch {
 public:
  explicit MicTapScratch(int64_t maxFrames);
  ~MicTapScratch();
  MicTapScratch(const MicTapScratch&) = delete;
  MicTapScratch& operator=(const MicTapScratch&) = delete;

  int64_t maxFrames() const { return maxFrames_; }
  int64_t capacityBytes() const { return capacityBytes_; }
  void* raw() const { return raw_; }
  uint8_t* messageBytes() const { return static_cast<uint8_t*>(raw_); }

  // Generation at offset 0, frames at offset 4 (host order, little-endian here).
  void writeHeader(uint32_t generation, uint32_t frames);
  // Calls body(float* payload, int64_t capacity) with the payload area
  // after the header, valid for `capacity` floats (at most maxFrames).
  template <typename Body>
  void withPayloadFloats(int64_t capacity, Body&& body) {
    body(payload(), capacity < 0 ? 0 : (capacity > maxFrames_ ? maxFrames_ : capacity));
  }
  float* payload() const { return reinterpret_cast<float*>(messageBytes() + 8); }

 private:
  int64_t maxFrames_;
  int64_t capacityBytes_;
  void* raw_;
};

// What the mic path has lost: bytes (cut tails and refused messages) and
// ring-full events. Counted on the render thread, read by the consumer.
struct MicOverflowCounters {
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> events{0};
};

struct MicTapPushResult {
  int64_t rawFrames = 0;
  int64_t frames = 0;
  int64_t messageBytes = 0;
  uint64_t tailOverflowBytes = 0;
  bool payloadWritten = false;
  bool pushed = false;
};

// Called by the tap block on the audio thread for every engine buffer:
// channel 0 of the first min(frames, maxFrames) frames, times `gain`,
// clipped to [-1, 1] (a NaN becomes 0), goes into one message stamped with
// `generation`. A cut tail is counted in `overflow.bytes`; a message the
// ring cannot take is counted in the ring's `dropped`, `overflow.bytes` and
// `overflow.events`. No lock, allocation or system call.
MicTapPushResult pushMicTapBufferToRing(const platform::audio::PCMBuffer& buffer, SPSCRing* ring,
                                        MicTapScratch& scratch, int64_t maxFrames, float gain, uint32_t generation,
                                        MicOverflowCounters& overflow);

// Consumer side: messages out of the staged ring bytes.
struct MicRingStagedMessage {
  uint32_t generation = 0;
  uint32_t frameCount = 0;
  int64_t payloadSize = 0;  // 4 * frameCount
  int64_t messageSize = 0;  // 8 + payloadSize
};

struct MicRingStagingResult {
  enum class Kind { needMoreData, malformedHeader, message };
  Kind kind = Kind::needMoreData;
  uint32_t malformedFrameCount = 0;  // kind == malformedHeader
  MicRingStagedMessage message;      // kind == message
};

// Reads the message at the front of `staging` without removing it (the
// caller removes message.messageSize bytes once processed). A header whose
// frame count exceeds kMicRingMaxFrames is dropped (8 bytes) and reported,
// so parsing resumes right behind it.
MicRingStagingResult micRingConsumeNextStagedMessage(std::vector<uint8_t>& staging);

// The same parse of the message at the front of `size` staged bytes, read
// in place: nothing is removed, so after a malformed header the caller
// skips kMicRingHeaderSize bytes itself.
MicRingStagingResult micRingPeekStagedMessage(const uint8_t* staged, size_t size);

// Removes the first 8 bytes; false (and nothing removed) with fewer.
bool dropMalformedMicRingHeader(std::vector<uint8_t>& staging);

// Appends every readable byte of the ring to `staging` (across the end of
// the storage) and consumes them. Returns the bytes taken.
uint64_t micRingTakeAvailable(SPSCRing* ring, std::vector<uint8_t>& staging);
// The same into `room` bytes at `dst`; what does not fit stays in the ring.
uint64_t micRingTakeAvailable(SPSCRing* ring, uint8_t* dst, uint64_t room);

// Copies the payload of the message at the front of `staging` into `dst`
// (message.frameCount floats).
void copyMicRingPayload(const std::vector<uint8_t>& staging, const MicRingStagedMessage& message, float* dst);

}  // namespace helper
