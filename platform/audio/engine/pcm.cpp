#include "platform/audio/engine/pcm.h"

#include <cmath>
#include <new>

namespace platform::audio {

namespace {
// Larger buffers are refused like a failed allocation would be.
constexpr uint64_t kMaxBufferBytes = 1ULL << 31;
}  // namespace

std::optional<AudioFormat> AudioFormat::make(CommonFormat common, double sampleRate, uint32_t channels,
                                             bool interleaved) {
  if (common != CommonFormat::pcmFloat32 && common != CommonFormat::pcmInt16) return std::nullopt;
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channels == 0) return std::nullopt;
  return AudioFormat(common, sampleRate, channels, interleaved);
}

uint32_t AudioFormat::bytesPerSample() const {
  switch (common_) {
    case CommonFormat::pcmFloat32:
    case CommonFormat::pcmInt32:
      return 4;
    case CommonFormat::pcmFloat64:
      return 8;
    case CommonFormat::pcmInt16:
      return 2;
    case CommonFormat::otherFormat:
      break;
  }
  return 0;
}

std::unique_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  if (!AudioFormat::make(format.commonFormat(), format.sampleRate(), format.channelCount(), format.isInterleaved())) {
    return nullptr;
  }
  const uint64_t bytes = static_cast<uint64_t>(frameCapacity) * format.channelCount() * format.bytesPerSample();
  if (bytes > kMaxBufferBytes) return nullptr;
  try {
    return std::unique_ptr<PCMBuffer>(new PCMBuffer(format, frameCapacity));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

PCMBuffer::PCMBuffer(const AudioFormat& format, uint32_t capacity) : format_(format), capacity_(capacity) {
  const uint32_t ch = format.channelCount();
  const size_t samples = static_cast<size_t>(capacity) * ch;
  const bool isFloat = format.commonFormat() == CommonFormat::pcmFloat32;
  if (isFloat) {
    floats_.assign(samples, 0.0f);
  } else {
    ints_.assign(samples, 0);
  }
  const uint32_t nBlocks = format.isInterleaved() ? 1 : ch;
  const uint32_t perBlockChannels = format.isInterleaved() ? ch : 1;
  for (uint32_t b = 0; b < nBlocks; ++b) {
    const size_t offset = static_cast<size_t>(b) * capacity;
    void* data = isFloat ? static_cast<void*>(floats_.data() + offset) : static_cast<void*>(ints_.data() + offset);
    blocks_.push_back(AudioBufferBlock{perBlockChannels, 0, data});
    if (isFloat) {
      floatPtrs_.push_back(floats_.data() + offset);
    } else {
      intPtrs_.push_back(ints_.data() + offset);
    }
  }
}

void PCMBuffer::setFrameLength(uint32_t frames) {
  length_ = frames < capacity_ ? frames : capacity_;
  for (auto& b : blocks_) b.dataByteSize = length_ * b.numberChannels * format_.bytesPerSample();
}

float* const* PCMBuffer::floatChannelData() const { return floatPtrs_.empty() ? nullptr : floatPtrs_.data(); }

int16_t* const* PCMBuffer::int16ChannelData() const { return intPtrs_.empty() ? nullptr : intPtrs_.data(); }

}  // namespace platform::audio
