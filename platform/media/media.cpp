#include "platform/media/media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>

#include "platform/avlog/avlog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace platform::media {

// Products of 64-bit values need the wider type.
__extension__ typedef __int128 Wide;

struct StreamParameters {
  AVCodecParameters* par = nullptr;
  explicit StreamParameters(const AVCodecParameters* from) : par(avcodec_parameters_alloc()) {
    if (par == nullptr || avcodec_parameters_copy(par, from) < 0) throw MediaError("Cannot copy codec parameters");
  }
  ~StreamParameters() { avcodec_parameters_free(&par); }
  StreamParameters(const StreamParameters&) = delete;
  StreamParameters& operator=(const StreamParameters&) = delete;
};

namespace {

std::string avErrorText(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

int64_t saturate(Wide v) {
  if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

struct InputContext {
  AVFormatContext* ctx = nullptr;
  InputContext() = default;
  InputContext(const InputContext&) = delete;
  InputContext& operator=(const InputContext&) = delete;
  ~InputContext() { avformat_close_input(&ctx); }
};

struct Packet {
  AVPacket* pkt = av_packet_alloc();
  Packet() {
    if (pkt == nullptr) throw MediaError("Cannot allocate a packet");
  }
  ~Packet() { av_packet_free(&pkt); }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
};

// Opens a file that is known to be readable; the error text on failure.
std::optional<std::string> openInput(const std::string& path, InputContext& input) {
  avlog::silenceLibraryLogging();
  int err = avformat_open_input(&input.ctx, path.c_str(), nullptr, nullptr);
  if (err < 0) return avErrorText(err);
  err = avformat_find_stream_info(input.ctx, nullptr);
  if (err < 0) return avErrorText(err);
  return std::nullopt;
}

// Bytes per frame of a PCM codec; 0 for any other codec, and for a header
// claiming a frame larger than any packet can hold.
int pcmBlockAlign(const AVCodecParameters* par) {
  const int bits = av_get_exact_bits_per_sample(par->codec_id);
  const int channels = par->ch_layout.nb_channels;
  if (bits <= 0 || bits % 8 != 0 || channels <= 0) return 0;
  const int64_t align = int64_t{bits / 8} * channels;
  return align <= std::numeric_limits<int>::max() ? static_cast<int>(align) : 0;
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;

// A codec context for `par`, opened; null when the decoder refuses it (a
// header claiming more channels than it takes, say).
CodecContextPtr openDecoder(const AVCodec* codec, const AVCodecParameters* par) {
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (ctx == nullptr || avcodec_parameters_to_context(ctx.get(), par) < 0 ||
      avcodec_open2(ctx.get(), codec, nullptr) < 0)
    return nullptr;
  return ctx;
}

// Every position and length on a composition, in frames at any rate it is
// read at, stays below this, so that sums of a few of them cannot overflow.
constexpr int64_t kMaxPlaceableFrames = int64_t{1} << 61;

// A packet's time in frames at `rate`, rounded as av_rescale_q does, held
// to +-kMaxPlaceableFrames: a header's timestamps and durations can be
// anything.
int64_t packetFrames(Wide ticks, AVRational timeBase, int rate) {
  if (timeBase.num <= 0 || timeBase.den <= 0) return 0;
  const Wide b = static_cast<Wide>(timeBase.num) * std::max(rate, 1), c = timeBase.den;
  const Wide magnitude = ((ticks < 0 ? -ticks : ticks) * b + c / 2) / c;
  const Wide held = std::min<Wide>(magnitude, kMaxPlaceableFrames);
  return static_cast<int64_t>(ticks < 0 ? -held : held);
}

std::shared_ptr<const StreamParameters> floatParameters(int64_t rate, int64_t channels) {
  AVCodecParameters* par = avcodec_parameters_alloc();
  if (par == nullptr) throw MediaError("Cannot allocate codec parameters");
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_F32LE;
  par->format = AV_SAMPLE_FMT_FLT;
  par->sample_rate = static_cast<int>(rate);
  av_channel_layout_default(&par->ch_layout, static_cast<int>(channels));
  par->bits_per_coded_sample = 32;
  par->block_align = static_cast<int>(4 * channels);
  par->bit_rate = 32 * rate * channels;
  std::shared_ptr<const StreamParameters> out;
  try {
    out = std::make_shared<const StreamParameters>(par);
  } catch (...) {
    avcodec_parameters_free(&par);
    throw;
  }
  avcodec_parameters_free(&par);
  return out;
}

}  // namespace

// ---- time ----

int64_t MediaTime::framesAt(int64_t rate) const {
  if (timescale <= 0) return 0;
  return saturate(static_cast<Wide>(value) * rate / timescale);
}

int MediaTime::compare(const MediaTime& other) const {
  const Wide a = static_cast<Wide>(value) * std::max(other.timescale, 1);
  const Wide b = static_cast<Wide>(other.value) * std::max(timescale, 1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

MediaTime MediaTime::operator+(const MediaTime& other) const {
  const int64_t ta = std::max(timescale, 1), tb = std::max(other.timescale, 1);
  if (ta == tb) return {saturate(static_cast<Wide>(value) + other.value), static_cast<int32_t>(ta)};
  const int64_t common = std::lcm(ta, tb);
  const int64_t scale = common <= std::numeric_limits<int32_t>::max() ? common : std::max(ta, tb);
  const Wide a = static_cast<Wide>(value) * scale / ta;
  const Wide b = static_cast<Wide>(other.value) * scale / tb;
  return {saturate(a + b), static_cast<int32_t>(scale)};
}

// ---- assets ----

struct Asset::Probe {
  std::optional<std::string> readError;  // the file cannot be read at all
  std::optional<std::string> openError;  // read, but not a container we know
  bool playable = false;
  std::vector<AssetTrack> tracks;
  MediaTime duration;
};

std::shared_ptr<Asset> Asset::open(const std::string& path) { return std::shared_ptr<Asset>(new Asset(path)); }

const Asset::Probe& Asset::probe() const {
  std::lock_guard<std::mutex> hold(mu_);
  if (probe_) return *probe_;
  auto p = std::make_shared<Probe>();
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) {
    p->readError = std::strerror(errno);
  } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    p->readError = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
  }
  if (fd >= 0) ::close(fd);
  if (!p->readError) {
    InputContext input;
    p->openError = openInput(path_, input);
    if (!p->openError) {
      AVFormatContext* ctx = input.ctx;
      bool playable = ctx->nb_streams > 0;
      std::vector<int64_t> frames(ctx->nb_streams, 0);
      std::vector<Wide> ticks(ctx->nb_streams, 0);
      for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters* par = ctx->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        // A header rate of 0 or not a number reaches here as 0: such a
        // stream has no timing, so nothing of it can be placed or played.
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (codec == nullptr || par->sample_rate <= 0 || openDecoder(codec, par) == nullptr) playable = false;
      }
      // One pass over the packets: exact frame counts for PCM, summed
      // packet durations otherwise.
      Packet packet;
      while (av_read_frame(ctx, packet.pkt) >= 0) {
        const int idx = packet.pkt->stream_index;
        if (idx >= 0 && static_cast<unsigned>(idx) < ctx->nb_streams) {
          const int align = pcmBlockAlign(ctx->streams[idx]->codecpar);
          if (align > 0)
            frames[idx] += packet.pkt->size / align;
          else if (packet.pkt->duration > 0)
            ticks[idx] += packet.pkt->duration;
        }
        av_packet_unref(packet.pkt);
      }
      for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* s = ctx->streams[i];
        const AVCodecParameters* par = s->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        AssetTrack t;
        t.path = path_;
        t.streamIndex = static_cast<int>(i);
        t.format = {static_cast<int>(par->codec_id), par->sample_rate, par->ch_layout.nb_channels};
        if (pcmBlockAlign(par) > 0 && par->sample_rate > 0) {
          t.duration = {frames[i], par->sample_rate};
        } else {
          // The stream's own duration leaves out an encoder's priming and
          // padding, which the packets' durations count; a guess from the
          // bit rate is worse than those.
          const bool own = s->duration > 0 && ctx->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
          const int64_t d = own ? s->duration : saturate(ticks[i]);
          if (s->time_base.den > 0 && s->time_base.num > 0 && s->time_base.den <= INT32_MAX)
            t.duration = {saturate(static_cast<Wide>(d) * s->time_base.num), s->time_base.den};
        }
        t.parameters = std::make_shared<const StreamParameters>(par);
        if (p->duration.compare(t.duration) < 0) p->duration = t.duration;
        p->tracks.push_back(std::move(t));
      }
      if (p->tracks.empty() && ctx->duration > 0) p->duration = {ctx->duration / 1000, 1000};
      p->playable = playable;
    }
  }
  probe_ = p;
  return *probe_;
}

bool Asset::loadIsPlayable() const {
  const Probe& p = probe();
  if (p.readError) throw MediaError(*p.readError);
  return !p.openError && p.playable;
}

MediaTime Asset::loadDuration() const {
  const Probe& p = probe();
  if (p.readError) throw MediaError(*p.readError);
  if (p.openError) throw MediaError(*p.openError);
  return p.duration;
}

std::vector<AssetTrack> Asset::loadAudioTracks() const {
  const Probe& p = probe();
  if (p.readError) throw MediaError(*p.readError);
  if (p.openError) throw MediaError(*p.openError);
  return p.tracks;
}

// ---- composition ----

void CompositionTrack::insertTimeRange(MediaTime start, MediaTime duration, const AssetTrack& track, MediaTime at) {
  if (start.value != 0) throw MediaError("only ranges from the start of a track can be inserted");
  if (duration.value < 0 || duration.timescale <= 0) throw MediaError("invalid time range");
  if (at.compare(end()) < 0) throw MediaError("insertion inside inserted media");
  if (!segments_.empty() && !(segments_.front().source.format == track.format))
    throw MediaError("format differs from first segment");
  // Counted at the track's own rate in a copy and at up to the writer's
  // highest rate in a mix.
  const int64_t rate = std::max<int64_t>(track.format.sampleRate, kMaxSampleRate);
  if (static_cast<Wide>(at.framesAt(rate)) + duration.framesAt(rate) >= kMaxPlaceableFrames)
    throw MediaError("time range too long to place");
  if (duration.value == 0) return;
  segments_.push_back({track, at, duration});
}

MediaTime CompositionTrack::end() const {
  if (segments_.empty()) return MediaTime::zero();
  const CompositionSegment& last = segments_.back();
  return last.at + last.duration;
}

CompositionTrack* Composition::addMutableTrack() {
  tracks_.push_back(std::make_unique<CompositionTrack>());
  return tracks_.back().get();
}

MediaTime Composition::duration() const {
  MediaTime d = MediaTime::zero();
  for (const auto& t : tracks_)
    if (d.compare(t->end()) < 0) d = t->end();
  return d;
}

// ---- reader ----

struct ReaderState {
  mutable std::mutex mu;
  ReaderStatus status = ReaderStatus::unknown;
  std::optional<std::string> error;
};

namespace {

// Packets of one composition track's segments in order.
class PassthroughOutput final : public ReaderOutput {
 public:
  PassthroughOutput(const CompositionTrack* track, std::shared_ptr<Composition> owned)
      : track_(track), owned_(std::move(owned)) {}

  bool hasTracks() const override { return track_ != nullptr && !track_->segments().empty(); }
  bool belongsTo(const Composition& composition) const override {
    if (owned_) {
      // An asset's track: the reader must be on that asset's first track.
      if (composition.tracks().size() != 1 || composition.tracks()[0]->segments().size() != 1) return false;
      const AssetTrack& mine = track_->segments()[0].source;
      const AssetTrack& theirs = composition.tracks()[0]->segments()[0].source;
      return mine.path == theirs.path && mine.streamIndex == theirs.streamIndex;
    }
    for (const auto& t : composition.tracks())
      if (t.get() == track_) return true;
    return false;
  }
  bool start(std::string&) override { return true; }

  std::optional<SampleBuffer> next(std::optional<std::string>& error) override {
    const auto& segs = track_->segments();
    while (segIndex_ < segs.size()) {
      const CompositionSegment& seg = segs[segIndex_];
      const int rate = seg.source.format.sampleRate;
      if (!input_) {
        input_ = std::make_unique<InputContext>();
        if (auto err = openInput(seg.source.path, *input_)) {
          error = seg.source.path + ": " + *err;
          return std::nullopt;
        }
        if (seg.source.streamIndex >= static_cast<int>(input_->ctx->nb_streams)) {
          error = seg.source.path + ": track vanished";
          return std::nullopt;
        }
        produced_ = 0;
        segFrames_ = seg.duration.framesAt(rate);
      }
      const AVStream* stream = input_->ctx->streams[seg.source.streamIndex];
      const int err = av_read_frame(input_->ctx, packet_.pkt);
      if (err == AVERROR_EOF || (err >= 0 && produced_ >= segFrames_)) {
        if (err >= 0) av_packet_unref(packet_.pkt);
        input_.reset();
        ++segIndex_;
        continue;
      }
      if (err < 0) {
        error = seg.source.path + ": " + avErrorText(err);
        return std::nullopt;
      }
      if (packet_.pkt->stream_index != seg.source.streamIndex) {
        av_packet_unref(packet_.pkt);
        continue;
      }
      const int align = pcmBlockAlign(stream->codecpar);
      int64_t from = produced_, span = 0, samples = 0;
      size_t bytes = static_cast<size_t>(packet_.pkt->size);
      if (align > 0) {
        // PCM packets are cut at the range's end, to the frame.
        samples = span = std::min<int64_t>(packet_.pkt->size / align, segFrames_ - produced_);
        bytes = static_cast<size_t>(samples * align);
      } else {
        // A compressed packet keeps its time relative to the stream's
        // presentation start: priming packets lie before 0.
        const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        if (packet_.pkt->pts != AV_NOPTS_VALUE)
          from = packetFrames(static_cast<Wide>(packet_.pkt->pts) - origin, stream->time_base, rate);
        span = std::max<int64_t>(0, packetFrames(packet_.pkt->duration, stream->time_base, rate));
        samples = std::max<int64_t>(0, std::min(from + span, segFrames_) - std::max<int64_t>(from, 0));
      }
      produced_ = from + span;
      const int64_t pts = seg.at.framesAt(rate) + from;
      // Past the range, or a compressed packet (a later segment's priming)
      // before what was already given, which no single edit list could hide.
      const bool outside = from >= segFrames_ || (align == 0 && pts < emittedEnd_) || (samples <= 0 && bytes == 0);
      SampleBuffer buffer;
      if (!outside) {
        buffer.data.assign(packet_.pkt->data, packet_.pkt->data + bytes);
        buffer.numSamples = samples;
        buffer.durationFrames = span;
        buffer.pts = pts;
        buffer.parameters = seg.source.parameters;
        emittedEnd_ = pts + span;
      }
      av_packet_unref(packet_.pkt);
      if (outside) continue;
      return buffer;
    }
    return std::nullopt;
  }

 private:
  const CompositionTrack* track_;
  std::shared_ptr<Composition> owned_;
  size_t segIndex_ = 0;
  std::unique_ptr<InputContext> input_;
  Packet packet_;
  int64_t produced_ = 0;  // where the segment's next packet starts, in its range
  int64_t segFrames_ = 0;
  int64_t emittedEnd_ = std::numeric_limits<int64_t>::min();
};

// Decodes one file's stream to float at the output rate, in its own channel count.
class Decoder {
 public:
  Decoder(const AssetTrack& track, int outRate) {
    if (auto err = openInput(track.path, input_)) throw MediaError(track.path + ": " + *err);
    if (track.streamIndex >= static_cast<int>(input_.ctx->nb_streams))
      throw MediaError(track.path + ": track vanished");
    stream_ = track.streamIndex;
    const AVCodecParameters* par = input_.ctx->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (codec == nullptr) throw MediaError(track.path + ": no decoder");
    codec_ = openDecoder(codec, par);
    if (codec_ == nullptr) throw MediaError(track.path + ": cannot open decoder");
    channels_ = codec_->ch_layout.nb_channels;
    if (channels_ <= 0) throw MediaError(track.path + ": no channels");
    // The same layout on both sides: only the sample format and rate change;
    // channels are mapped explicitly afterwards.
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels_);
    SwrContext* swr = nullptr;
    const int err = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLT, outRate, &layout, codec_->sample_fmt,
                                        codec_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    swr_.reset(swr);
    if (err < 0 || swr_init(swr_.get()) < 0) throw MediaError(track.path + ": cannot set up the resampler");
    frame_.reset(av_frame_alloc());
    if (frame_ == nullptr) throw MediaError("Cannot allocate a frame");
    outRate_ = outRate;
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  int channels() const { return channels_; }

  // Appends converted interleaved samples to `out`, about kBlockFrames at a
  // time whatever the rates claim; false at the end.
  bool decodeMore(std::vector<float>& out) {
    while (!ended_) {
      if (frameLeft_ > 0) {
        convertFrameBlock(out);
        return true;
      }
      int err = avcodec_receive_frame(codec_.get(), frame_.get());
      if (err >= 0) {
        frameUsed_ = 0;
        frameLeft_ = frame_->nb_samples;
        if (frameLeft_ <= 0) av_frame_unref(frame_.get());
        continue;
      }
      if (err == AVERROR_EOF) {
        // What the resampler still holds, a block at a time.
        if (convert(nullptr, 0, out) == 0) ended_ = true;
        return true;
      }
      if (err != AVERROR(EAGAIN)) throw MediaError("decoding failed: " + avErrorText(err));
      if (drained_) {
        ended_ = true;
        break;
      }
      err = av_read_frame(input_.ctx, packet_.pkt);
      if (err == AVERROR_EOF) {
        avcodec_send_packet(codec_.get(), nullptr);
        drained_ = true;
        continue;
      }
      if (err < 0) throw MediaError("reading failed: " + avErrorText(err));
      if (packet_.pkt->stream_index == stream_) {
        err = avcodec_send_packet(codec_.get(), packet_.pkt);
        if (err < 0 && err != AVERROR_INVALIDDATA) {
          av_packet_unref(packet_.pkt);
          throw MediaError("decoding failed: " + avErrorText(err));
        }
      }
      av_packet_unref(packet_.pkt);
    }
    return false;
  }

 private:
  // Output frames one call may produce. A file may claim any rate, so one
  // decoded frame can stand for hours at the output rate: it is converted a
  // few input samples at a time, never whole.
  static constexpr int kBlockFrames = 8192;

  // Feeds the next input samples of the current frame, as many as make
  // about kBlockFrames output frames (at least one).
  void convertFrameBlock(std::vector<float>& out) {
    const int64_t perBlock = av_rescale(kBlockFrames, codec_->sample_rate, outRate_);
    const int n = static_cast<int>(std::clamp<int64_t>(perBlock, 1, frameLeft_));
    const int bytes = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame_->format));
    const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame_->format)) != 0;
    const int planes = planar ? channels_ : 1;
    const size_t offset = static_cast<size_t>(frameUsed_) * static_cast<size_t>(bytes) * (planar ? 1 : channels_);
    inPlanes_.resize(static_cast<size_t>(planes));
    for (int p = 0; p < planes; ++p) inPlanes_[static_cast<size_t>(p)] = frame_->extended_data[p] + offset;
    convert(inPlanes_.data(), n, out);
    frameUsed_ += n;
    frameLeft_ -= n;
    if (frameLeft_ == 0) av_frame_unref(frame_.get());
  }

  // Converts `inSamples` into output blocks of at most kBlockFrames: the
  // resampler's own bound for a few input samples counts its whole filter at
  // the claimed ratio, far more than they give. Without input (`in` null) it
  // drains the resampler by one block. Returns the frames appended.
  int convert(uint8_t** in, int inSamples, std::vector<float>& out) {
    const uint8_t** src = const_cast<const uint8_t**>(in);
    int total = 0;
    for (;;) {
      const size_t base = out.size();
      out.resize(base + static_cast<size_t>(kBlockFrames) * channels_);
      uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + base);
      const int got = swr_convert(swr_.get(), &dst, kBlockFrames, src, inSamples);
      if (got < 0) throw MediaError("conversion failed: " + avErrorText(got));
      out.resize(base + static_cast<size_t>(got) * channels_);
      total += got;
      // A full block may leave more ready: the same input pointers with no
      // new samples take it without flushing.
      if (in == nullptr || got < kBlockFrames) return total;
      inSamples = 0;
    }
  }

  struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
  };
  struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
  };

  InputContext input_;
  int stream_ = 0;
  // Owned, so that a constructor that throws frees what it had made.
  CodecContextPtr codec_;
  std::unique_ptr<SwrContext, SwrFree> swr_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  Packet packet_;
  int channels_ = 0;
  int outRate_ = 0;
  // The decoded frame being converted: samples taken from it and still in it.
  int frameUsed_ = 0;
  int frameLeft_ = 0;
  std::vector<uint8_t*> inPlanes_;
  bool drained_ = false;
  bool ended_ = false;
};

// One composition track's contribution to the mix, frame by frame on the
// output timeline.
class TrackMixer {
 public:
  TrackMixer(const CompositionTrack* track, float volume, int outRate, int outChannels)
      : track_(track), volume_(volume), outRate_(outRate), outChannels_(outChannels) {}

  // Adds the next `n` frames of this track into `acc` (interleaved).
  void mixInto(float* acc, int64_t n) {
    const auto& segs = track_->segments();
    int64_t done = 0;
    while (done < n && segIndex_ < segs.size()) {
      const CompositionSegment& seg = segs[segIndex_];
      const int64_t segStart = seg.at.framesAt(outRate_);
      const int64_t segEnd = segStart + seg.duration.framesAt(outRate_);
      if (cursor_ < segStart) {
        const int64_t gap = std::min(n - done, segStart - cursor_);
        done += gap;
        cursor_ += gap;
        continue;
      }
      if (cursor_ >= segEnd) {
        decoder_.reset();
        pending_.clear();
        pendingPos_ = 0;
        exhausted_ = false;
        ++segIndex_;
        continue;
      }
      if (!decoder_ && !exhausted_) decoder_ = std::make_unique<Decoder>(seg.source, outRate_);
      const int ic = decoder_ ? decoder_->channels() : 1;
      int64_t available = static_cast<int64_t>(pending_.size() / ic) - pendingPos_;
      if (available <= 0) {
        pending_.clear();
        pendingPos_ = 0;
        if (!exhausted_ && decoder_->decodeMore(pending_)) continue;
        // A file shorter than its declared range ends in silence.
        exhausted_ = true;
        const int64_t gap = std::min(n - done, segEnd - cursor_);
        done += gap;
        cursor_ += gap;
        continue;
      }
      const int64_t take = std::min({n - done, segEnd - cursor_, available});
      for (int64_t f = 0; f < take; ++f) {
        const float* in = pending_.data() + (pendingPos_ + f) * ic;
        float* out = acc + (done + f) * outChannels_;
        for (int c = 0; c < outChannels_; ++c) out[c] += volume_ * mapChannel(in, ic, c);
      }
      pendingPos_ += take;
      done += take;
      cursor_ += take;
    }
  }

 private:
  // Mono feeds every output channel at unity; several channels into one are
  // averaged; otherwise channel c feeds channel c and extra outputs stay silent.
  float mapChannel(const float* in, int ic, int c) const {
    if (ic == 1) return in[0];
    if (outChannels_ == 1) {
      float sum = 0;
      for (int i = 0; i < ic; ++i) sum += in[i];
      return sum / static_cast<float>(ic);
    }
    return c < ic ? in[c] : 0.0f;
  }

  const CompositionTrack* track_;
  float volume_;
  int outRate_;
  int outChannels_;
  size_t segIndex_ = 0;
  int64_t cursor_ = 0;
  std::unique_ptr<Decoder> decoder_;
  std::vector<float> pending_;
  int64_t pendingPos_ = 0;
  bool exhausted_ = false;
};

class MixOutput final : public ReaderOutput {
 public:
  static constexpr int64_t kChunkFrames = 4096;

  MixOutput(const Composition& composition, const AudioSettings& settings, const AudioMix& mix)
      : composition_(&composition), settings_(settings), mix_(mix) {}

  bool hasTracks() const override {
    for (const auto& p : mix_.inputParameters)
      if (p.track != nullptr && !p.track->segments().empty()) return true;
    for (const auto& t : composition_->tracks())
      if (!t->segments().empty()) return true;
    return false;
  }
  bool belongsTo(const Composition& composition) const override { return &composition == composition_; }

  bool start(std::string& error) override {
    const AudioSettings& s = settings_;
    if (s.formatID != kAudioFormatLinearPCM || !s.linearPCMIsFloat || s.linearPCMBitDepth != 32 ||
        s.linearPCMIsBigEndian || s.linearPCMIsNonInterleaved || s.sampleRate < 1 || s.sampleRate > kMaxSampleRate ||
        s.numberOfChannels < 1 || s.numberOfChannels > kMaxChannels) {
      error = "unsupported output settings";
      return false;
    }
    rate_ = static_cast<int>(s.sampleRate);
    channels_ = static_cast<int>(s.numberOfChannels);
    for (const auto& t : composition_->tracks()) {
      float volume = 1.0f;
      for (const auto& p : mix_.inputParameters)
        if (p.track == t.get()) volume = p.volume;
      mixers_.emplace_back(t.get(), volume, rate_, channels_);
    }
    total_ = composition_->duration().framesAt(rate_);
    try {
      parameters_ = floatParameters(rate_, channels_);
    } catch (const MediaError& e) {
      error = e.what();
      return false;
    }
    return true;
  }

  std::optional<SampleBuffer> next(std::optional<std::string>& error) override {
    if (emitted_ >= total_) return std::nullopt;
    const int64_t n = std::min(kChunkFrames, total_ - emitted_);
    acc_.assign(static_cast<size_t>(n * channels_), 0.0f);
    try {
      for (auto& m : mixers_) m.mixInto(acc_.data(), n);
    } catch (const MediaError& e) {
      error = e.what();
      return std::nullopt;
    }
    SampleBuffer buffer;
    const auto* bytes = reinterpret_cast<const uint8_t*>(acc_.data());
    buffer.data.assign(bytes, bytes + acc_.size() * sizeof(float));
    buffer.numSamples = n;
    buffer.durationFrames = n;
    buffer.pts = emitted_;
    buffer.parameters = parameters_;
    emitted_ += n;
    return buffer;
  }

 private:
  const Composition* composition_;
  AudioSettings settings_;
  AudioMix mix_;
  int rate_ = 0;
  int channels_ = 0;
  std::vector<TrackMixer> mixers_;
  std::vector<float> acc_;
  int64_t total_ = 0;
  int64_t emitted_ = 0;
  std::shared_ptr<const StreamParameters> parameters_;
};

}  // namespace

std::shared_ptr<ReaderOutput> ReaderOutput::trackOutput(const CompositionTrack& track) {
  return std::make_shared<PassthroughOutput>(&track, nullptr);
}

std::shared_ptr<ReaderOutput> ReaderOutput::trackOutput(const AssetTrack& track) {
  auto owned = std::make_shared<Composition>();
  CompositionTrack* t = owned->addMutableTrack();
  t->insertTimeRange(MediaTime::zero(), track.duration, track, MediaTime::zero());
  return std::make_shared<PassthroughOutput>(t, owned);
}

std::shared_ptr<ReaderOutput> ReaderOutput::audioMixOutput(const Composition& composition,
                                                           const AudioSettings& settings, const AudioMix& mix) {
  return std::make_shared<MixOutput>(composition, settings, mix);
}

std::optional<SampleBuffer> ReaderOutput::copyNextSampleBuffer() {
  if (!state) return std::nullopt;
  {
    std::lock_guard<std::mutex> hold(state->mu);
    if (state->status != ReaderStatus::reading) return std::nullopt;
  }
  std::optional<std::string> error;
  std::optional<SampleBuffer> buffer = next(error);
  if (!buffer) {
    std::lock_guard<std::mutex> hold(state->mu);
    if (state->status == ReaderStatus::reading) {
      state->status = error ? ReaderStatus::failed : ReaderStatus::completed;
      state->error = error;
    }
  }
  return buffer;
}

AssetReader::AssetReader(std::shared_ptr<const Composition> composition)
    : composition_(std::move(composition)), state_(std::make_shared<ReaderState>()) {}

std::unique_ptr<AssetReader> AssetReader::create(std::shared_ptr<const Composition> composition) {
  if (!composition) throw MediaError("no composition to read");
  return std::unique_ptr<AssetReader>(new AssetReader(std::move(composition)));
}

std::unique_ptr<AssetReader> AssetReader::create(const std::shared_ptr<Asset>& asset) {
  if (!asset) throw MediaError("no asset to read");
  const std::vector<AssetTrack> tracks = asset->loadAudioTracks();
  if (tracks.empty()) throw MediaError("No audio track");
  auto composition = std::make_shared<Composition>();
  composition->addMutableTrack()->insertTimeRange(MediaTime::zero(), tracks[0].duration, tracks[0], MediaTime::zero());
  return create(std::move(composition));
}

bool AssetReader::canAddOutput(const ReaderOutput& output) const {
  std::lock_guard<std::mutex> hold(state_->mu);
  return state_->status == ReaderStatus::unknown && !output.state && output.hasTracks() &&
         output.belongsTo(*composition_);
}

void AssetReader::addOutput(std::shared_ptr<ReaderOutput> output) {
  if (!canAddOutput(*output)) return;
  output->state = state_;
  outputs_.push_back(std::move(output));
}

bool AssetReader::startReading() {
  std::lock_guard<std::mutex> hold(state_->mu);
  if (state_->status != ReaderStatus::unknown) return false;
  for (auto& output : outputs_) {
    std::string error;
    if (!output->start(error)) {
      state_->status = ReaderStatus::failed;
      state_->error = error;
      return false;
    }
  }
  state_->status = ReaderStatus::reading;
  return true;
}

ReaderStatus AssetReader::status() const {
  std::lock_guard<std::mutex> hold(state_->mu);
  return state_->status;
}

std::string AssetReader::errorDescription() const {
  std::lock_guard<std::mutex> hold(state_->mu);
  return state_->error.value_or("unknown");
}

void AssetReader::cancelReading() {
  std::lock_guard<std::mutex> hold(state_->mu);
  if (state_->status == ReaderStatus::unknown || state_->status == ReaderStatus::reading)
    state_->status = ReaderStatus::cancelled;
}

// ---- writer ----

struct WriterImpl {
  std::mutex mu;  // guards everything below
  std::string path;
  std::string formatName;
  AVFormatContext* ctx = nullptr;
  AVStream* stream = nullptr;
  bool hasInput = false;
  std::optional<AudioSettings> settings;
  bool headerWritten = false;
  bool opened = false;
  bool inputFinished = false;
  int64_t sessionStart = 0;
  WriterStatus status = WriterStatus::unknown;
  std::optional<std::string> error;

  ~WriterImpl() {
    if (ctx != nullptr && ctx->pb != nullptr) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  }

  void fail(const std::string& why) {
    status = WriterStatus::failed;
    if (!error) error = why;
  }

  // The stream and the header, from the settings or the first buffer's parameters.
  bool writeHeader(const std::shared_ptr<const StreamParameters>& fromBuffer) {
    std::shared_ptr<const StreamParameters> params =
        settings ? floatParameters(settings->sampleRate, settings->numberOfChannels) : fromBuffer;
    if (!params) {
      fail("no media data was appended");
      return false;
    }
    stream = avformat_new_stream(ctx, nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, params->par) < 0) {
      fail("Cannot add a stream");
      return false;
    }
    stream->codecpar->codec_tag = 0;
    stream->time_base = AVRational{1, std::max(stream->codecpar->sample_rate, 1)};
    const int err = avformat_write_header(ctx, nullptr);
    if (err < 0) {
      fail(avErrorText(err));
      return false;
    }
    headerWritten = true;
    return true;
  }

  bool ready() const { return status == WriterStatus::writing && !inputFinished; }
};

std::unique_ptr<AssetWriter> AssetWriter::create(const std::string& path, const std::string& fileType) {
  avlog::silenceLibraryLogging();
  if (path.empty()) throw MediaError("empty output path");
  auto impl = std::make_shared<WriterImpl>();
  impl->path = path;
  impl->formatName = fileType;
  const int err = avformat_alloc_output_context2(&impl->ctx, nullptr, fileType.c_str(), path.c_str());
  if (err < 0 || impl->ctx == nullptr) throw MediaError("Unknown file type: " + fileType);
  return std::unique_ptr<AssetWriter>(new AssetWriter(std::move(impl)));
}

AssetWriter::~AssetWriter() = default;

bool AssetWriter::canAddInput(const std::optional<AudioSettings>& settings) const {
  std::lock_guard<std::mutex> hold(impl_->mu);
  if (impl_->hasInput || impl_->status != WriterStatus::unknown) return false;
  if (!settings) return true;
  const AudioSettings& s = *settings;
  return s.formatID == kAudioFormatLinearPCM && s.linearPCMIsFloat && s.linearPCMBitDepth == 32 &&
         !s.linearPCMIsBigEndian && !s.linearPCMIsNonInterleaved && s.sampleRate >= 1 &&
         s.sampleRate <= kMaxSampleRate && s.numberOfChannels >= 1 && s.numberOfChannels <= kMaxChannels;
}

WriterInput* AssetWriter::addInput(const std::optional<AudioSettings>& settings) {
  if (!canAddInput(settings)) return nullptr;
  std::lock_guard<std::mutex> hold(impl_->mu);
  impl_->hasInput = true;
  impl_->settings = settings;
  input_ = std::make_unique<WriterInput>(impl_);
  return input_.get();
}

bool AssetWriter::startWriting() {
  std::lock_guard<std::mutex> hold(impl_->mu);
  if (impl_->status != WriterStatus::unknown) return false;
  const int err = avio_open(&impl_->ctx->pb, impl_->path.c_str(), AVIO_FLAG_WRITE);
  if (err < 0) {
    impl_->fail(avErrorText(err));
    return false;
  }
  impl_->opened = true;
  impl_->status = WriterStatus::writing;
  return true;
}

void AssetWriter::startSession(MediaTime sourceTime) {
  std::lock_guard<std::mutex> hold(impl_->mu);
  impl_->sessionStart = sourceTime.value;
}

void AssetWriter::finishWriting(std::function<void()> completion) {
  std::shared_ptr<WriterImpl> impl = impl_;
  dispatch::globalQueue(dispatch::Qos::utility)->async([impl, completion = std::move(completion)] {
    {
      std::lock_guard<std::mutex> hold(impl->mu);
      if (impl->status == WriterStatus::writing) {
        impl->inputFinished = true;
        if (impl->headerWritten || impl->writeHeader(nullptr)) {
          const int err = av_write_trailer(impl->ctx);
          if (err < 0) impl->fail(avErrorText(err));
        }
        const int err = avio_closep(&impl->ctx->pb);
        if (err < 0) impl->fail(avErrorText(err));
        if (impl->status == WriterStatus::writing) impl->status = WriterStatus::completed;
      }
    }
    if (completion) completion();
  });
}

void AssetWriter::cancelWriting() {
  std::lock_guard<std::mutex> hold(impl_->mu);
  if (impl_->status == WriterStatus::completed || impl_->status == WriterStatus::cancelled) return;
  if (impl_->ctx->pb != nullptr) avio_closep(&impl_->ctx->pb);
  if (impl_->opened) std::remove(impl_->path.c_str());
  impl_->status = WriterStatus::cancelled;
}

WriterStatus AssetWriter::status() const {
  std::lock_guard<std::mutex> hold(impl_->mu);
  return impl_->status;
}

std::string AssetWriter::errorDescription() const {
  std::lock_guard<std::mutex> hold(impl_->mu);
  return impl_->error.value_or("unknown");
}

bool WriterInput::isReadyForMoreMediaData() const {
  std::lock_guard<std::mutex> hold(impl_->mu);
  return impl_->ready();
}

bool WriterInput::append(const SampleBuffer& buffer) {
  std::lock_guard<std::mutex> hold(impl_->mu);
  WriterImpl& w = *impl_;
  if (!w.ready()) return false;
  if (!w.headerWritten && !w.writeHeader(buffer.parameters)) return false;
  Packet packet;
  if (av_new_packet(packet.pkt, static_cast<int>(buffer.data.size())) < 0) {
    w.fail("Cannot allocate a packet");
    return false;
  }
  std::memcpy(packet.pkt->data, buffer.data.data(), buffer.data.size());
  const int rate = std::max(w.stream->codecpar->sample_rate, 1);
  packet.pkt->stream_index = w.stream->index;
  packet.pkt->pts = av_rescale_q(buffer.pts - w.sessionStart, AVRational{1, rate}, w.stream->time_base);
  packet.pkt->dts = packet.pkt->pts;
  packet.pkt->duration = av_rescale_q(buffer.durationFrames, AVRational{1, rate}, w.stream->time_base);
  int err = av_write_frame(w.ctx, packet.pkt);
  if (err >= 0 && w.ctx->pb->error < 0) err = w.ctx->pb->error;
  if (err < 0) {
    w.fail(avErrorText(err));
    return false;
  }
  return true;
}

void WriterInput::markAsFinished() {
  std::lock_guard<std::mutex> hold(impl_->mu);
  impl_->inputFinished = true;
}

namespace {

struct MediaDataDriver : std::enable_shared_from_this<MediaDataDriver> {
  std::shared_ptr<WriterImpl> impl;
  dispatch::QueuePtr queue;
  std::function<void()> handler;

  void step() {
    {
      std::lock_guard<std::mutex> hold(impl->mu);
      if (!impl->ready()) return;
    }
    handler();
    // Asking again through the queue lets its other work interleave.
    queue->async([self = shared_from_this()] { self->step(); });
  }
};

}  // namespace

void WriterInput::requestMediaDataWhenReady(const dispatch::QueuePtr& queue, std::function<void()> handler) {
  auto driver = std::make_shared<MediaDataDriver>();
  driver->impl = impl_;
  driver->queue = queue;
  driver->handler = std::move(handler);
  queue->async([driver] { driver->step(); });
}

}  // namespace platform::media
