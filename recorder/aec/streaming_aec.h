#pragma once
// The streaming echo canceller behind cancel_mic_echo: speexdsp's MDF
// canceller run frame by frame over the mic and a reference (the system
// audio), switched in only while the reference is audible (plus a hangover),
// with a crossfade at every switch, and the quality figures the finalisation
// uses to decide whether to trust the result.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "recorder/aec/echo_canceller.h"
#include "recorder/recovery/io_error.h"

struct SpeexEchoState_;

namespace recorder::aec {

struct AecConfig {
  std::uint64_t frame_size = 256;
  // 256 ms at 24000 Hz.
  std::uint64_t filter_length = 6144;
  // Mean square of a reference frame (squared 16-bit units) above which the
  // reference counts as active: about 60 dB below full scale.
  double far_end_threshold = 1074.0;
  // About one second of frames at 24000 Hz.
  std::uint64_t hangover_frames = 94;
  double min_action_fraction = 0.05;
  double max_collapse_fraction = 0.5;
  double max_divergence_fraction = 0.1;
  std::uint32_t sample_rate = 24000;
};

// The fixed configuration for the given rate.
AecConfig make_aec_config(std::uint32_t sample_rate);

// Owns one speexdsp echo state, destroyed exactly once when the object goes.
// Every call into the library runs with standard error silenced.
class MdfCanceller {
 public:
  // Fails with "speex_echo_state_init failed" (kind Other) when the library
  // refuses, or when the sizes are 0 or too large for it.
  static IoResult<MdfCanceller> create(std::uint32_t sample_rate, std::uint64_t frame_size,
                                       std::uint64_t filter_length);

  std::uint64_t frame_size() const { return frame_size_; }

  // One frame: the three spans hold frame_size() samples each (fewer aborts).
  void cancel(std::span<const std::int16_t> mic, std::span<const std::int16_t> reference, std::span<std::int16_t> out);

 private:
  struct StateDeleter {
    void operator()(SpeexEchoState_* state) const;
  };

  MdfCanceller(SpeexEchoState_* state, std::uint64_t frame_size) : state_(state), frame_size_(frame_size) {}

  std::unique_ptr<SpeexEchoState_, StateDeleter> state_;
  std::uint64_t frame_size_ = 0;
};

class StreamingAec {
 public:
  static IoResult<StreamingAec> create(const AecConfig& config);

  // Takes runs of mic and reference samples (normally of equal length) and
  // returns the output of every whole frame now available, so the output
  // lags the input by less than one frame. A run longer than the other waits
  // for its partner. Fails only when standard error cannot be silenced; the
  // samples are then not taken.
  IoResult<std::vector<std::int16_t>> process(std::span<const std::int16_t> mic,
                                              std::span<const std::int16_t> reference);

  // Mic samples taken but not yet processed (fewer than one frame once the
  // reference has kept up).
  const std::vector<std::int16_t>& pending_mic() const { return pending_mic_; }

  // Destroys the echo state and returns the metrics, without delay_ms and
  // delay_applied.
  AecMetrics into_metrics() &&;

 private:
  StreamingAec(const AecConfig& config, MdfCanceller canceller) : config_(config), canceller_(std::move(canceller)) {}

  // Runs one frame and appends its output.
  void process_frame(std::span<const std::int16_t> mic, std::span<const std::int16_t> reference,
                     std::vector<std::int16_t>& out);

  AecConfig config_;
  MdfCanceller canceller_;
  std::vector<std::int16_t> pending_mic_;
  std::vector<std::int16_t> pending_reference_;
  std::vector<std::int16_t> frame_out_;
  std::uint64_t hangover_remaining_ = 0;
  double mic_energy_sum_ = 0;
  double output_energy_sum_ = 0;
  std::uint64_t active_frames_ = 0;
  std::uint64_t action_frames_ = 0;
  std::uint64_t collapse_frames_ = 0;
  std::uint64_t divergence_frames_ = 0;
  std::uint64_t total_frames_ = 0;
  bool processing_ = false;
};

}  // namespace recorder::aec
