#pragma once
// PCM formats and buffers of the audio engine.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform::audio {

// Sample formats; the numbers are the codes events report.
enum class CommonFormat : uint32_t {
  otherFormat = 0,
  pcmFloat32 = 1,
  pcmFloat64 = 2,
  pcmInt16 = 3,
  pcmInt32 = 4,
};

class AudioFormat {
 public:
  AudioFormat() = default;
  // Any description, as a device may report it (even 0 channels or rate 0).
  AudioFormat(CommonFormat common, double sampleRate, uint32_t channels, bool interleaved)
      : common_(common), sampleRate_(sampleRate), channels_(channels), interleaved_(interleaved) {}

  // A format buffers can be made in: Float32 or Int16, a finite rate above
  // 0 and at least one channel; nothing otherwise.
  static std::optional<AudioFormat> make(CommonFormat common, double sampleRate, uint32_t channels, bool interleaved);

  CommonFormat commonFormat() const { return common_; }
  double sampleRate() const { return sampleRate_; }
  uint32_t channelCount() const { return channels_; }
  bool isInterleaved() const { return interleaved_; }
  uint32_t bytesPerSample() const;

  bool operator==(const AudioFormat&) const = default;

 private:
  CommonFormat common_ = CommonFormat::otherFormat;
  double sampleRate_ = 0;
  uint32_t channels_ = 0;
  bool interleaved_ = false;
};

// One block of sample memory, as in an audio buffer list: interleaved
// formats have one block holding all channels, deinterleaved ones a block
// per channel.
struct AudioBufferBlock {
  uint32_t numberChannels = 0;
  uint32_t dataByteSize = 0;
  void* data = nullptr;
};

class PCMBuffer {
 public:
  // Null when the format cannot hold samples or the memory is refused.
  static std::unique_ptr<PCMBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  // Clamped to the capacity. Block byte sizes follow the frame length.
  void setFrameLength(uint32_t frames);

  // Float32 formats: one pointer per channel for deinterleaved buffers,
  // one pointer to the interleaved samples otherwise. Null for Int16.
  float* const* floatChannelData() const;
  int16_t* const* int16ChannelData() const;

  uint32_t blockCount() const { return static_cast<uint32_t>(blocks_.size()); }
  const AudioBufferBlock& block(uint32_t i) const { return blocks_[i]; }

 private:
  PCMBuffer(const AudioFormat& format, uint32_t capacity);

  AudioFormat format_;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  std::vector<float> floats_;
  std::vector<int16_t> ints_;
  std::vector<float*> floatPtrs_;
  std::vector<int16_t*> intPtrs_;
  std::vector<AudioBufferBlock> blocks_;
};

}  // namespace platform::audio
