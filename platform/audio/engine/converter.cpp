#include "platform/audio/engine/converter.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/avlog/avlog.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace platform::audio {
namespace {

// Half of it is the latency in input frames: 8 frames keeps a 16 kHz to
// 24 kHz stream within a dozen output frames of real time.
constexpr int kFilterLength = 16;
// A rate ratio is handed to the resampler as a change of this many output
// samples over this many (one part in 16 million), renewed before every
// input so that it never runs out.
constexpr int kCompensationDistance = 1 << 24;

// The resampler between `inRate` and `outRate`; `always`: even between
// equal rates (which otherwise pass through).
SwrContext* makeResampler(int inRate, int outRate, uint32_t channels, bool always) {
  platform::avlog::silenceLibraryLogging();
  SwrContext* swr = nullptr;
  AVChannelLayout layout;
  av_channel_layout_default(&layout, static_cast<int>(channels));
  const int rc =
      swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLTP, outRate, &layout, AV_SAMPLE_FMT_FLTP, inRate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  if (rc < 0 || swr == nullptr) {
    swr_free(&swr);
    return nullptr;
  }
  av_opt_set_int(swr, "filter_size", kFilterLength, 0);
  if (always) av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
  if (swr_init(swr) < 0) swr_free(&swr);
  return swr;
}

float sampleAt(const PCMBuffer& buf, uint32_t channel, uint32_t frame) {
  const AudioFormat& f = buf.format();
  const uint32_t ch = f.channelCount();
  if (f.commonFormat() == CommonFormat::pcmFloat32) {
    float* const* data = buf.floatChannelData();
    return f.isInterleaved() ? data[0][static_cast<size_t>(frame) * ch + channel] : data[channel][frame];
  }
  int16_t* const* data = buf.int16ChannelData();
  const int16_t v = f.isInterleaved() ? data[0][static_cast<size_t>(frame) * ch + channel] : data[channel][frame];
  return static_cast<float>(v) / 32768.0f;
}

void storeSample(PCMBuffer& buf, uint32_t channel, uint32_t frame, float v) {
  const AudioFormat& f = buf.format();
  const uint32_t ch = f.channelCount();
  if (f.commonFormat() == CommonFormat::pcmFloat32) {
    float* const* data = buf.floatChannelData();
    (f.isInterleaved() ? data[0][static_cast<size_t>(frame) * ch + channel] : data[channel][frame]) = v;
    return;
  }
  const float clipped = std::clamp(v, -1.0f, 1.0f);
  const auto s = static_cast<int16_t>(std::lrint(clipped * 32767.0f));
  int16_t* const* data = buf.int16ChannelData();
  (f.isInterleaved() ? data[0][static_cast<size_t>(frame) * ch + channel] : data[channel][frame]) = s;
}

}  // namespace

// Channel mapping, resampling and the queue of converted frames that did
// not fit the caller's buffer yet.
struct AudioConverter::Resampler {
  SwrContext* swr = nullptr;  // null when the rates are equal and no ratio was asked for
  int compensation = 0;       // output samples gained over kCompensationDistance
  uint32_t outChannels = 0;
  std::vector<std::vector<float>> mapped;  // input frames in the output's channels
  std::vector<std::vector<float>> resampled;
  std::vector<std::vector<float>> pending;  // converted, not yet handed out
  size_t pendingRead = 0;
  bool ended = false;

  ~Resampler() { swr_free(&swr); }

  size_t pendingFrames() const { return pending.empty() ? 0 : pending[0].size() - pendingRead; }

  void append(const std::vector<std::vector<float>>& planes, size_t frames) {
    if (pendingRead > 0 && pendingRead * 2 >= pending[0].size()) {
      for (auto& p : pending) p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(pendingRead));
      pendingRead = 0;
    }
    for (uint32_t c = 0; c < outChannels; ++c) {
      pending[c].insert(pending[c].end(), planes[c].begin(), planes[c].begin() + static_cast<std::ptrdiff_t>(frames));
    }
  }

  // Resamples `frames` mapped frames (or flushes with none) into pending.
  bool push(size_t frames, bool flush) {
    if (swr == nullptr) {
      if (!flush) append(mapped, frames);
      return true;
    }
    if (compensation != 0 && swr_set_compensation(swr, compensation, kCompensationDistance) < 0) return false;
    const int maxOut = swr_get_out_samples(swr, static_cast<int>(frames));
    if (maxOut < 0) return false;
    std::vector<uint8_t*> outPtrs(outChannels);
    std::vector<const uint8_t*> inPtrs(outChannels);
    for (uint32_t c = 0; c < outChannels; ++c) {
      resampled[c].resize(static_cast<size_t>(maxOut) + 1);
      outPtrs[c] = reinterpret_cast<uint8_t*>(resampled[c].data());
      inPtrs[c] = reinterpret_cast<const uint8_t*>(mapped[c].data());
    }
    // A null input flushes the filter; an empty non-null one does not.
    const int got = swr_convert(swr, outPtrs.data(), maxOut + 1, flush ? nullptr : inPtrs.data(),
                                flush ? 0 : static_cast<int>(frames));
    if (got < 0) return false;
    append(resampled, static_cast<size_t>(got));
    return true;
  }
};

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to)
    : from_(from), to_(to), resampler_(std::make_unique<Resampler>()) {}

AudioConverter::~AudioConverter() = default;

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (!AudioFormat::make(from.commonFormat(), from.sampleRate(), from.channelCount(), from.isInterleaved()) ||
      !AudioFormat::make(to.commonFormat(), to.sampleRate(), to.channelCount(), to.isInterleaved())) {
    return nullptr;
  }
  std::unique_ptr<AudioConverter> conv(new AudioConverter(from, to));
  Resampler& r = *conv->resampler_;
  r.outChannels = to.channelCount();
  r.mapped.resize(r.outChannels);
  r.resampled.resize(r.outChannels);
  r.pending.resize(r.outChannels);
  if (from.sampleRate() != to.sampleRate()) {
    const int inRate = static_cast<int>(std::lround(from.sampleRate()));
    const int outRate = static_cast<int>(std::lround(to.sampleRate()));
    if (inRate <= 0 || outRate <= 0) return nullptr;
    r.swr = makeResampler(inRate, outRate, r.outChannels, false);
    if (r.swr == nullptr) return nullptr;
  }
  return conv;
}

bool AudioConverter::setInputRateRatio(double ratio) {
  if (!(ratio > 0) || !std::isfinite(ratio)) return false;
  if (ratio == ratio_) return true;
  Resampler& r = *resampler_;
  // The resampler steps through the input by its nominal step times the
  // ratio: the change in output samples over the distance.
  const double gained = std::round((1 - ratio) * kCompensationDistance);
  if (std::fabs(gained) >= kCompensationDistance / 2.0) return false;
  if (r.swr == nullptr) {
    if (gained == 0) {
      ratio_ = ratio;
      return true;
    }
    const int rate = static_cast<int>(std::lround(from_.sampleRate()));
    if (rate <= 0) return false;
    r.swr = makeResampler(rate, rate, r.outChannels, true);
    if (r.swr == nullptr) return false;
  }
  if (swr_set_compensation(r.swr, static_cast<int>(gained), kCompensationDistance) < 0) return false;
  r.compensation = static_cast<int>(gained);
  ratio_ = ratio;
  return true;
}

double AudioConverter::delayFrames() const {
  const Resampler& r = *resampler_;
  const double pending = static_cast<double>(r.pendingFrames()) * from_.sampleRate() / to_.sampleRate() * ratio_;
  if (r.swr == nullptr) return pending;
  // In thousandths of an input frame: the look-ahead is rarely whole.
  const auto base = static_cast<int64_t>(std::lround(from_.sampleRate())) * 1000;
  return static_cast<double>(swr_get_delay(r.swr, base)) / 1000.0 + pending;
}

void AudioConverter::reset() {
  Resampler& r = *resampler_;
  for (auto& p : r.pending) p.clear();
  r.pendingRead = 0;
  r.ended = false;
  if (r.swr != nullptr) {
    swr_close(r.swr);
    swr_init(r.swr);
  }
}

ConverterOutputStatus AudioConverter::convert(PCMBuffer& output, std::string* error, const ConverterInputBlock& input) {
  Resampler& r = *resampler_;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return ConverterOutputStatus::error;
  };
  if (!(output.format() == to_)) {
    output.setFrameLength(0);
    return fail("output buffer format does not match the converter's output format");
  }
  const uint32_t capacity = output.frameCapacity();
  uint32_t written = 0;
  auto drain = [&] {
    const size_t n = std::min<size_t>(r.pendingFrames(), capacity - written);
    for (uint32_t c = 0; c < r.outChannels; ++c) {
      const float* src = r.pending[c].data() + r.pendingRead;
      for (size_t i = 0; i < n; ++i) storeSample(output, c, written + static_cast<uint32_t>(i), src[i]);
    }
    r.pendingRead += n;
    written += static_cast<uint32_t>(n);
  };

  drain();
  while (written < capacity) {
    if (r.ended) {
      output.setFrameLength(written);
      return written == capacity ? ConverterOutputStatus::haveData : ConverterOutputStatus::endOfStream;
    }
    const double ratio = from_.sampleRate() / to_.sampleRate();
    const auto wanted = static_cast<uint32_t>(std::ceil((capacity - written) * ratio));
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    const PCMBuffer* in = input(std::max<uint32_t>(1, wanted), status);
    if (status == ConverterInputStatus::noDataNow) {
      output.setFrameLength(written);
      return ConverterOutputStatus::inputRanDry;
    }
    if (status == ConverterInputStatus::endOfStream) {
      if (!r.push(0, true)) {
        output.setFrameLength(written);
        return fail("resampler failed while flushing");
      }
      r.ended = true;
      drain();
      continue;
    }
    if (in == nullptr || !(in->format() == from_)) {
      output.setFrameLength(written);
      return fail("input buffer format does not match the converter's input format");
    }
    const uint32_t frames = in->frameLength();
    if (frames == 0) {  // an empty buffer counts as no data, so a caller cannot spin us
      output.setFrameLength(written);
      return ConverterOutputStatus::inputRanDry;
    }
    const uint32_t inCh = from_.channelCount();
    for (uint32_t c = 0; c < r.outChannels; ++c) {
      auto& plane = r.mapped[c];
      plane.resize(frames);
      for (uint32_t i = 0; i < frames; ++i) {
        float v;
        if (inCh == r.outChannels) {
          v = sampleAt(*in, c, i);
        } else if (inCh == 1) {
          v = sampleAt(*in, 0, i);
        } else if (r.outChannels == 1) {
          float sum = 0;
          for (uint32_t k = 0; k < inCh; ++k) sum += sampleAt(*in, k, i);
          v = sum / static_cast<float>(inCh);
        } else {
          v = c < inCh ? sampleAt(*in, c, i) : 0.0f;
        }
        plane[i] = v;
      }
    }
    if (!r.push(frames, false)) {
      output.setFrameLength(written);
      return fail("resampler failed");
    }
    drain();
  }
  output.setFrameLength(written);
  return ConverterOutputStatus::haveData;
}

}  // namespace platform::audio
