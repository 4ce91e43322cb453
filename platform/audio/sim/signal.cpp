#include "platform/audio/sim/signal.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

#include "platform/avlog/avlog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace platform::audio::sim {
namespace {

// Noise is a smooth curve through random values on a fixed grid: a function
// of time alone, band-limited (mostly below half the grid rate), so that an
// instant reached by another sum (an echo's delayed time) or sampled at
// another rate or phase is the same sound, as in a room.
constexpr double kNoiseGridHz = 16000;

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// The grid's value at `index`, uniform in [-1, 1).
double noiseAt(uint64_t seed, uint64_t index) {
  const uint64_t h = splitmix64(seed * 0x2545F4914F6CDD1DULL ^ index);
  return static_cast<double>(h >> 11) / static_cast<double>(1ULL << 52) - 1.0;
}

// The uniform cubic B-spline through the grid at `position` (in grid steps):
// continuous with its first two derivatives, and within the values' range.
double smoothNoise(uint64_t seed, double position) {
  const double base = std::floor(position);
  const double t = position - base;
  const auto i = static_cast<uint64_t>(base);
  const double t2 = t * t, t3 = t2 * t, u = 1.0 - t;
  const double w0 = u * u * u / 6.0;
  const double w1 = (3.0 * t3 - 6.0 * t2 + 4.0) / 6.0;
  const double w2 = (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) / 6.0;
  const double w3 = t3 / 6.0;
  // i - 1 wraps at 0; any index is a grid point.
  return w0 * noiseAt(seed, i - 1) + w1 * noiseAt(seed, i) + w2 * noiseAt(seed, i + 1) + w3 * noiseAt(seed, i + 2);
}

struct FormatCloser {
  AVFormatContext* ctx = nullptr;
  ~FormatCloser() { avformat_close_input(&ctx); }
};
struct CodecCloser {
  AVCodecContext* ctx = nullptr;
  ~CodecCloser() { avcodec_free_context(&ctx); }
};
struct SwrCloser {
  SwrContext* ctx = nullptr;
  ~SwrCloser() { swr_free(&ctx); }
};
struct PacketFrame {
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  ~PacketFrame() {
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
};

std::string averr(int rc) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, buf, sizeof buf);
  return buf;
}

}  // namespace

std::shared_ptr<const SoundFileData> decodeSoundFile(const std::string& path, std::string* error) {
  auto failed = [&](const std::string& why) -> std::shared_ptr<const SoundFileData> {
    if (error != nullptr) *error = "cannot decode sound file " + path + ": " + why;
    return nullptr;
  };
  platform::avlog::silenceLibraryLogging();
  FormatCloser fmt;
  int rc = avformat_open_input(&fmt.ctx, path.c_str(), nullptr, nullptr);
  if (rc < 0) return failed(averr(rc));
  if ((rc = avformat_find_stream_info(fmt.ctx, nullptr)) < 0) return failed(averr(rc));
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(fmt.ctx, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (stream < 0 || codec == nullptr) return failed("no audio stream");
  CodecCloser dec;
  dec.ctx = avcodec_alloc_context3(codec);
  if (dec.ctx == nullptr) return failed("out of memory");
  if ((rc = avcodec_parameters_to_context(dec.ctx, fmt.ctx->streams[stream]->codecpar)) < 0) return failed(averr(rc));
  if ((rc = avcodec_open2(dec.ctx, codec, nullptr)) < 0) return failed(averr(rc));
  if (dec.ctx->sample_rate <= 0 || dec.ctx->ch_layout.nb_channels <= 0) return failed("no sample rate or channels");

  SwrCloser swr;
  AVChannelLayout mono;
  av_channel_layout_default(&mono, 1);
  rc = swr_alloc_set_opts2(&swr.ctx, &mono, AV_SAMPLE_FMT_FLT, dec.ctx->sample_rate, &dec.ctx->ch_layout,
                           dec.ctx->sample_fmt, dec.ctx->sample_rate, 0, nullptr);
  if (rc < 0 || (rc = swr_init(swr.ctx)) < 0) return failed(averr(rc));

  auto data = std::make_shared<SoundFileData>();
  data->sampleRate = dec.ctx->sample_rate;
  PacketFrame pf;
  if (pf.packet == nullptr || pf.frame == nullptr) return failed("out of memory");
  auto receiveAll = [&]() -> int {
    for (;;) {
      int r = avcodec_receive_frame(dec.ctx, pf.frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
      if (r < 0) return r;
      const size_t at = data->samples.size();
      const int maxOut = swr_get_out_samples(swr.ctx, pf.frame->nb_samples);
      data->samples.resize(at + static_cast<size_t>(std::max(maxOut, 0)));
      uint8_t* out = reinterpret_cast<uint8_t*>(data->samples.data() + at);
      const int got = swr_convert(swr.ctx, &out, maxOut, const_cast<const uint8_t**>(pf.frame->extended_data),
                                  pf.frame->nb_samples);
      av_frame_unref(pf.frame);
      if (got < 0) return got;
      data->samples.resize(at + static_cast<size_t>(got));
    }
  };
  while ((rc = av_read_frame(fmt.ctx, pf.packet)) >= 0) {
    if (pf.packet->stream_index == stream) {
      rc = avcodec_send_packet(dec.ctx, pf.packet);
      av_packet_unref(pf.packet);
      if (rc < 0) return failed(averr(rc));
      if ((rc = receiveAll()) < 0) return failed(averr(rc));
    } else {
      av_packet_unref(pf.packet);
    }
  }
  if (rc != AVERROR_EOF) return failed(averr(rc));
  avcodec_send_packet(dec.ctx, nullptr);
  if ((rc = receiveAll()) < 0) return failed(averr(rc));
  if (data->samples.empty()) return failed("no samples");
  return data;
}

namespace {

Signal signalOf(Signal::Kind kind, double amplitude) {
  Signal s;
  s.kind = kind;
  s.amplitude = amplitude;
  return s;
}

}  // namespace

Signal Signal::tone(double frequencyHz, double amplitude) {
  Signal s = signalOf(Kind::tone, amplitude);
  s.frequency = frequencyHz;
  return s;
}

Signal Signal::noise(double amplitude, uint64_t seed) {
  Signal s = signalOf(Kind::noise, amplitude);
  s.seed = seed;
  return s;
}

Signal Signal::file(std::shared_ptr<const SoundFileData> data, double amplitude, bool loop) {
  Signal s = signalOf(Kind::file, amplitude);
  s.data = std::move(data);
  s.loop = loop;
  return s;
}

Signal Signal::fromJson(const nlohmann::json& j) {
  if (!j.is_object()) throw std::invalid_argument("a signal must be an object");
  const std::string type = j.value("type", std::string("silence"));
  auto num = [&](const char* key, double fallback) {
    auto it = j.find(key);
    if (it == j.end()) return fallback;
    if (!it->is_number()) throw std::invalid_argument(std::string("signal \"") + key + "\" must be a number");
    return it->get<double>();
  };
  if (type == "silence") return silence();
  if (type == "tone") return tone(num("frequency", 440), num("amplitude", 0.5));
  if (type == "noise") return noise(num("amplitude", 0.1), static_cast<uint64_t>(num("seed", 1)));
  if (type == "file") {
    auto path = j.find("path");
    if (path == j.end() || !path->is_string()) throw std::invalid_argument("a file signal needs a \"path\"");
    std::string why;
    auto data = decodeSoundFile(path->get<std::string>(), &why);
    if (!data) throw std::invalid_argument(why);
    return file(std::move(data), num("amplitude", 1.0), j.value("loop", true));
  }
  throw std::invalid_argument("unknown signal type \"" + type + "\"");
}

float Signal::at(double seconds) const {
  if (seconds < 0) return 0.0f;
  switch (kind) {
    case Kind::silence:
      return 0.0f;
    case Kind::tone:
      return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * seconds));
    case Kind::noise:
      return static_cast<float>(amplitude * smoothNoise(seed, seconds * kNoiseGridHz));
    case Kind::file: {
      if (!data || data->samples.empty()) return 0.0f;
      const size_t n = data->samples.size();
      double pos = seconds * data->sampleRate;
      if (loop) {
        pos = std::fmod(pos, static_cast<double>(n));
      } else if (pos >= static_cast<double>(n)) {
        return 0.0f;
      }
      const auto i = static_cast<size_t>(pos);
      const double frac = pos - static_cast<double>(i);
      const float a = data->samples[i % n];
      const float b = (i + 1 < n || loop) ? data->samples[(i + 1) % n] : 0.0f;
      return static_cast<float>(amplitude * (a + (b - a) * frac));
    }
  }
  return 0.0f;
}

}  // namespace platform::audio::sim
