#include "helper/core/mic/mic_ring.h"

#include <cmath>
#include <cstring>
#include <new>

#include "helper/core/entry/globals.h"

namespace helper {
namespace {

constexpr std::align_val_t kScratchAlignment{16};

// Truncates toward zero into [1, INT64_MAX]; a NaN gives 1.
int64_t atLeastOneFrame(double frames) {
  if (!(frames >= 1.0)) return 1;
  if (frames >= 9.2e18) return INT64_C(9200000000000000000);
  return static_cast<int64_t>(frames);
}

// One vector clip: [-1, 1], and a NaN (which no comparison catches)
// becomes silence rather than travelling on to the file.
inline void clipInPlace(float* samples, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const float x = samples[i];
    samples[i] = x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : (x == x ? x : 0.0f));
  }
}

inline void putU32(uint8_t* at, uint32_t v) { std::memcpy(at, &v, 4); }
inline uint32_t getU32(const uint8_t* at) {
  uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

}  // namespace

std::optional<int64_t> micRingMessageSize(uint32_t frameCount) {
  if (frameCount > static_cast<uint32_t>(kMicRingMaxFrames)) return std::nullopt;
  return int64_t{kMicRingHeaderSize} + 4 * int64_t{frameCount};
}

int64_t micTapRequestFrames(double sampleRate) { return atLeastOneFrame(sampleRate * kMicTapBufferSeconds); }

int64_t micTapScratchMaxFrames(double sampleRate, int64_t renderQuantum) {
  const int64_t frames = atLeastOneFrame(sampleRate * kMicTapScratchSeconds) + (renderQuantum > 1 ? renderQuantum : 1);
  return frames < kMicRingMaxFrames ? frames : kMicRingMaxFrames;
}

MicTapScratch::MicTapScratch(int64_t maxFrames)
    // A message never carries more than the ring's largest frame count.
    : maxFrames_(maxFrames < 1 ? 1 : (maxFrames > kMicRingMaxFrames ? kMicRingMaxFrames : maxFrames)),
      capacityBytes_(kMicRingHeaderSize + 4 * maxFrames_),
      raw_(::operator new(static_cast<size_t>(capacityBytes_), kScratchAlignment)) {
  std::memset(raw_, 0, static_cast<size_t>(capacityBytes_));
}

MicTapScratch::~MicTapScratch() { ::operator delete(raw_, kScratchAlignment); }

void MicTapScratch::writeHeader(uint32_t generation, uint32_t frames) {
  putU32(messageBytes(), generation);
  putU32(messageBytes() + 4, frames);
}

MicTapPushResult pushMicTapBufferToRing(const platform::audio::PCMBuffer& buffer, SPSCRing* ring,
                                        MicTapScratch& scratch, int64_t maxFrames, float gain, uint32_t generation,
                                        MicOverflowCounters& overflow) {
  MicTapPushResult result;
  const int64_t rawFrames = buffer.frameLength();
  if (rawFrames == 0) return result;
  result.rawFrames = rawFrames;

  // The callers size the scratch; a cap beyond it is held to it anyway so a
  // wrong size can cost frames but never memory beyond the scratch.
  int64_t cap = maxFrames < 0 ? 0 : maxFrames;
  if (cap > scratch.maxFrames()) cap = scratch.maxFrames();
  const int64_t frames = rawFrames < cap ? rawFrames : cap;
  result.frames = frames;
  if (rawFrames > frames) {
    result.tailOverflowBytes = 4 * static_cast<uint64_t>(rawFrames - frames);
    overflow.bytes.fetch_add(result.tailOverflowBytes, std::memory_order_relaxed);
  }

  const auto& format = buffer.format();
  if (format.commonFormat() != platform::audio::CommonFormat::pcmFloat32) return result;
  const uint32_t channels = format.channelCount();
  const float* samples = nullptr;
  if (format.isInterleaved()) {
    if (buffer.blockCount() > 0) samples = static_cast<const float*>(buffer.block(0).data);
  } else if (float* const* data = buffer.floatChannelData()) {
    samples = data[0];
  }
  if (samples == nullptr || channels == 0) return result;

  float* payload = scratch.payload();
  if (format.isInterleaved() && channels > 1) {
    for (int64_t i = 0; i < frames; ++i) payload[i] = samples[i * channels] * gain;
  } else {
    for (int64_t i = 0; i < frames; ++i) payload[i] = samples[i] * gain;
  }
  clipInPlace(payload, frames);
  scratch.writeHeader(generation, static_cast<uint32_t>(frames));
  result.payloadWritten = true;

  const int64_t messageBytes = kMicRingHeaderSize + 4 * frames;
  result.messageBytes = messageBytes;
  if (spsc_ring_push(ring, scratch.messageBytes(), static_cast<uint64_t>(messageBytes))) {
    result.pushed = true;
  } else {
    // spsc_ring_push has counted the ring's own `dropped`.
    overflow.bytes.fetch_add(static_cast<uint64_t>(messageBytes), std::memory_order_relaxed);
    overflow.events.fetch_add(1, std::memory_order_relaxed);
  }
  return result;
}

bool dropMalformedMicRingHeader(std::vector<uint8_t>& staging) {
  if (staging.size() < static_cast<size_t>(kMicRingHeaderSize)) return false;
  staging.erase(staging.begin(), staging.begin() + kMicRingHeaderSize);
  return true;
}

MicRingStagingResult micRingPeekStagedMessage(const uint8_t* staged, size_t size) {
  MicRingStagingResult result;
  if (size < static_cast<size_t>(kMicRingHeaderSize)) return result;
  const uint32_t generation = getU32(staged);
  const uint32_t frameCount = getU32(staged + 4);
  if (frameCount > static_cast<uint32_t>(kMicRingMaxFrames)) {
    result.kind = MicRingStagingResult::Kind::malformedHeader;
    result.malformedFrameCount = frameCount;
    return result;
  }
  const int64_t payloadSize = 4 * int64_t{frameCount};
  const int64_t messageSize = kMicRingHeaderSize + payloadSize;
  if (size < static_cast<size_t>(messageSize)) return result;
  result.kind = MicRingStagingResult::Kind::message;
  result.message = MicRingStagedMessage{generation, frameCount, payloadSize, messageSize};
  return result;
}

MicRingStagingResult micRingConsumeNextStagedMessage(std::vector<uint8_t>& staging) {
  const MicRingStagingResult result = micRingPeekStagedMessage(staging.data(), staging.size());
  if (result.kind == MicRingStagingResult::Kind::malformedHeader) dropMalformedMicRingHeader(staging);
  return result;
}

uint64_t micRingTakeAvailable(SPSCRing* ring, std::vector<uint8_t>& staging) {
  const uint64_t avail = spsc_ring_readable(ring);
  if (avail == 0) return 0;
  const size_t old = staging.size();
  staging.resize(old + avail);
  const uint64_t got = spsc_ring_read(ring, staging.data() + old, avail);
  staging.resize(old + got);
  return got;
}

uint64_t micRingTakeAvailable(SPSCRing* ring, uint8_t* dst, uint64_t room) { return spsc_ring_read(ring, dst, room); }

void copyMicRingPayload(const std::vector<uint8_t>& staging, const MicRingStagedMessage& message, float* dst) {
  std::memcpy(dst, staging.data() + kMicRingHeaderSize, static_cast<size_t>(message.payloadSize));
}

}  // namespace helper
