#include "helper/core/system/system_ring.h"

#include <algorithm>
#include <cstring>

namespace helper {

uint64_t pushSystemIOProcBuffer(SPSCRing* ring, const platform::audio::hal::AudioBufferList* input, uint32_t frameBytes,
                                bool* accepted) {
  if (accepted != nullptr) *accepted = false;
  if (ring == nullptr || input == nullptr || input->numberBuffers == 0 || input->buffers == nullptr) return 0;
  if (frameBytes == 0) return 0;
  const platform::audio::hal::AudioBuffer& first = input->buffers[0];
  if (first.data == nullptr || first.dataByteSize == 0) return 0;
  const uint64_t whole = first.dataByteSize - first.dataByteSize % frameBytes;
  if (whole == 0) return 0;
  const bool took = spsc_ring_push(ring, first.data, whole);
  if (accepted != nullptr) *accepted = took;
  return whole;
}

uint32_t takeSystemRingFrames(SPSCRing* ring, platform::audio::PCMBuffer& buffer, uint32_t frameBytes,
                              uint32_t maxFrames) {
  buffer.setFrameLength(0);
  float* const* channels = buffer.floatChannelData();
  const auto& format = buffer.format();
  // Bytes of a frame must be what the buffer holds per frame, or the copy
  // would run past it.
  const uint64_t expected = format.isInterleaved() ? 4ULL * format.channelCount() : 4ULL;
  if (ring == nullptr || channels == nullptr || frameBytes != expected) return 0;
  const uint32_t frames = std::min(maxFrames, buffer.frameCapacity());
  const uint64_t taken =
      spsc_ring_read(ring, channels[0], static_cast<uint64_t>(frames) * frameBytes, frameBytes) / frameBytes;
  const auto got = static_cast<uint32_t>(taken);
  if (!format.isInterleaved()) {
    for (uint32_t c = 1; c < format.channelCount(); ++c) {
      std::memcpy(channels[c], channels[0], static_cast<size_t>(got) * sizeof(float));
    }
  }
  buffer.setFrameLength(got);
  return got;
}

}  // namespace helper
