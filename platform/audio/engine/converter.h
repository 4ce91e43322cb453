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

  // The input's frames really come at its format's rate times `ratio` (a
  // device clock a little off its nominal rate): from the next conversion
  // on, the output follows that rate, so that it keeps time. The change is
  // taken up by the resampler's phase, never by inserting or dropping a
  // sample, so it is not heard. Between equal rates the samples pass
  // unchanged until a ratio other than 1 is first asked for, and are
  // resampled from then on. False when the resampler refused it (the ratio
  // then stays as it was).
  bool setInputRateRatio(double ratio);
  double inputRateRatio() const { return ratio_; }
  // How many input frames the next frame handed out lies before the next
  // input frame: what the resampler holds back to look ahead, and what it
  // converted but has not handed out yet.
  double delayFrames() const;

  // Drops buffered samples and the end-of-stream state.
  void reset();

 private:
  AudioConverter(const AudioFormat& from, const AudioFormat& to);
  struct Resampler;

  AudioFormat from_;
  AudioFormat to_;
  SampleRateConverterAlgorithm algorithm_ = SampleRateConverterAlgorithm::normal;
  int64_t quality_ = 0;
  double ratio_ = 1.0;
  std::unique_ptr<Resampler> resampler_;
};

}  // namespace platform::audio
