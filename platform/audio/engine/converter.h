#pragma once
// A streaming sample-rate and format converter between PCM formats (32-bit
// float or 16-bit integer, any channel count and layout). It keeps its
// filter state from one call to the next, so a stream converted in pieces
// comes out as if converted whole, delayed by a few frames.
//
// Channels: a mono input feeds every output channel; a mono output takes
// the mean of the input channels; otherwise output channel i is input
// channel i (silence where the input has none).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/engine/pcm.h"

namespace platform::audio {

enum class ConverterInputStatus { haveData, noDataNow, endOfStream };
enum class ConverterOutputStatus { haveData, inputRanDry, endOfStream, error };
enum class SampleRateConverterAlgorithm { normal, mastering, minimumPhase };

// Asked for input during convert(): returns a buffer in the converter's
// input format (valid until convert() returns) and sets the status, or
// returns null with noDataNow or endOfStream.
using ConverterInputBlock = std::function<const PCMBuffer*(uint32_t packetsWanted, ConverterInputStatus& outStatus)>;

class AudioConverter {
 public:
  // Null when either format cannot hold samples.
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Accepted for compatibility; the resampler's filter is fixed and short
  // (low latency) whatever is asked.
  void setSampleRateConverterAlgorithm(SampleRateConverterAlgorithm algorithm) { algorithm_ = algorithm; }
  void setSampleRateConverterQuality(int64_t quality) { quality_ = quality; }
  SampleRateConverterAlgorithm sampleRateConverterAlgorithm() const { return algorithm_; }
  int64_t sampleRateConverterQuality() const { return quality_; }

  // Fills `output` (from frame 0, up to its capacity) and sets its frame
  // length. haveData: the output is full; inputRanDry: the input block
  // answered noDataNow; endOfStream: the input ended and everything is
  // out; error: the input buffer had another format, or the resampler
  // failed (`error` then says why).
  ConverterOutputStatus convert(PCMBuffer& output, std::string* error, const ConverterInputBlock& input);

  // Drops buffered samples and the end-of-stream state.
  void reset();

 private:
  AudioConverter(const AudioFormat& from, const AudioFormat& to);
  struct Resampler;

  AudioFormat from_;
  AudioFormat to_;
  SampleRateConverterAlgorithm algorithm_ = SampleRateConverterAlgorithm::normal;
  int64_t quality_ = 0;
  std::unique_ptr<Resampler> resampler_;
};

}  // namespace platform::audio
