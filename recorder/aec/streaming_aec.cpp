#include "recorder/aec/streaming_aec.h"

#include <speex/speex_echo.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "recorder/aec/stderr_silencer.h"

namespace recorder::aec {
namespace {

double mean_square(std::span<const std::int16_t> frame) {
  std::int64_t sum = 0;  // 256 full-scale squares stay far below 2^63
  for (const std::int16_t s : frame) sum += std::int64_t{s} * s;
  return static_cast<double>(sum) / static_cast<double>(frame.size());
}

double fraction(std::uint64_t part, std::uint64_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// A linear fade from `from` to `to` across the frame, in single precision,
// clamped to 16 bits and truncated toward zero.
void crossfade(std::span<const std::int16_t> from, std::span<const std::int16_t> to, std::vector<std::int16_t>& out) {
  const auto n = static_cast<float>(from.size());
  for (std::size_t i = 0; i < from.size(); ++i) {
    const float w = static_cast<float>(i) / n;
    const float v = (1.0f - w) * static_cast<float>(from[i]) + w * static_cast<float>(to[i]);
    out.push_back(static_cast<std::int16_t>(std::clamp(v, -32768.0f, 32767.0f)));
  }
}

}  // namespace

AecConfig make_aec_config(std::uint32_t sample_rate) {
  AecConfig config;
  config.sample_rate = sample_rate;
  return config;
}

void MdfCanceller::StateDeleter::operator()(SpeexEchoState_* state) const {
  // Destroying never warns; should silencing fail here, the state still goes.
  auto quiet = StderrSilencer::create();
  speex_echo_state_destroy(state);
}

IoResult<MdfCanceller> MdfCanceller::create(std::uint32_t sample_rate, std::uint64_t frame_size,
                                            std::uint64_t filter_length) {
  const IoError refused = IoError::other("speex_echo_state_init failed");
  // The library takes int sizes and divides by the frame size.
  if (frame_size == 0 || filter_length == 0 || frame_size > INT_MAX / 2 || filter_length > INT_MAX / 2) return refused;
  auto quiet = StderrSilencer::create();
  if (!quiet) return quiet.error();
  SpeexEchoState_* raw = speex_echo_state_init(static_cast<int>(frame_size), static_cast<int>(filter_length));
  if (raw == nullptr) return refused;
  MdfCanceller canceller(raw, frame_size);
  // The library wants a signed 32-bit rate; the callers' rates are far below its limit.
  spx_int32_t rate = static_cast<spx_int32_t>(std::min<std::uint32_t>(sample_rate, INT32_MAX));
  (void)speex_echo_ctl(raw, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  return canceller;
}

void MdfCanceller::cancel(std::span<const std::int16_t> mic, std::span<const std::int16_t> reference,
                          std::span<std::int16_t> out) {
  // The library reads and writes whole frames; a short span is a bug that
  // must not turn into a stray memory access.
  if (mic.size() < frame_size_ || reference.size() < frame_size_ || out.size() < frame_size_) std::abort();
  speex_echo_cancellation(state_.get(), mic.data(), reference.data(), out.data());
}

IoResult<StreamingAec> StreamingAec::create(const AecConfig& config) {
  auto canceller = MdfCanceller::create(config.sample_rate, config.frame_size, config.filter_length);
  if (!canceller) return canceller.error();
  StreamingAec aec(config, std::move(*canceller));
  aec.frame_out_.resize(static_cast<std::size_t>(config.frame_size));
  return aec;
}

IoResult<std::vector<std::int16_t>> StreamingAec::process(std::span<const std::int16_t> mic,
                                                          std::span<const std::int16_t> reference) {
  auto quiet = StderrSilencer::create();
  if (!quiet) return quiet.error();
  pending_mic_.insert(pending_mic_.end(), mic.begin(), mic.end());
  pending_reference_.insert(pending_reference_.end(), reference.begin(), reference.end());
  const std::size_t n = frame_out_.size();
  const std::size_t frames = std::min(pending_mic_.size(), pending_reference_.size()) / n;
  std::vector<std::int16_t> out;
  out.reserve(frames * n);
  for (std::size_t f = 0; f < frames; ++f) {
    process_frame(std::span(pending_mic_).subspan(f * n, n), std::span(pending_reference_).subspan(f * n, n), out);
  }
  const auto consumed = static_cast<std::ptrdiff_t>(frames * n);
  pending_mic_.erase(pending_mic_.begin(), pending_mic_.begin() + consumed);
  pending_reference_.erase(pending_reference_.begin(), pending_reference_.begin() + consumed);
  return out;
}

void StreamingAec::process_frame(std::span<const std::int16_t> mic, std::span<const std::int16_t> reference,
                                 std::vector<std::int16_t>& out) {
  // Every frame goes through the canceller so that its filter keeps adapting.
  canceller_.cancel(mic, reference, frame_out_);
  const std::span<const std::int16_t> cancelled(frame_out_);

  bool process = false;
  if (mean_square(reference) > config_.far_end_threshold) {
    hangover_remaining_ = config_.hangover_frames;
    process = true;
  } else if (hangover_remaining_ > 0) {
    --hangover_remaining_;
    process = hangover_remaining_ > 0;
  }

  if (process) {
    const double mic_ms = mean_square(mic);
    const double out_ms = mean_square(cancelled);
    mic_energy_sum_ += mic_ms;
    output_energy_sum_ += out_ms;
    ++active_frames_;
    if (mic_ms > config_.far_end_threshold) {
      if (out_ms < 0.5 * mic_ms) ++action_frames_;
      if (out_ms < 0.0001 * mic_ms) ++collapse_frames_;
      if (out_ms > 4.0 * mic_ms) ++divergence_frames_;
    }
  }

  if (process && processing_) {
    out.insert(out.end(), cancelled.begin(), cancelled.end());
  } else if (!process && !processing_) {
    out.insert(out.end(), mic.begin(), mic.end());
  } else if (process) {
    crossfade(mic, cancelled, out);
  } else {
    crossfade(cancelled, mic, out);
  }
  ++total_frames_;
  processing_ = process;
}

AecMetrics StreamingAec::into_metrics() && {
  { const MdfCanceller done = std::move(canceller_); }
  AecMetrics m;
  if (mic_energy_sum_ > 0 && output_energy_sum_ > 0)
    m.erle_db = 10.0 * std::log10(mic_energy_sum_ / output_energy_sum_);
  m.active_fraction = fraction(active_frames_, total_frames_);
  m.action_fraction = fraction(action_frames_, active_frames_);
  m.collapse_fraction = fraction(collapse_frames_, active_frames_);
  m.divergence_fraction = fraction(divergence_frames_, active_frames_);
  m.frames = total_frames_;
  m.min_action_fraction = config_.min_action_fraction;
  m.max_collapse_fraction = config_.max_collapse_fraction;
  m.max_divergence_fraction = config_.max_divergence_fraction;
  return m;
}

}  // namespace recorder::aec
