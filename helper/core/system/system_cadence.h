#pragma once
// Whether the system consumer's output keeps pace with wall-clock time:
// one observation window of canonical frames against elapsed milliseconds,
// and its classification. Pure; any thread.
#include <cstdint>
#include <optional>

namespace helper {

struct SystemCadenceObservation {
  uint64_t canonicalFrames = 0;  // canonical frames written in the window
  double canonicalRate = 0;      // Hz
  uint64_t wallMs = 0;           // wall-clock length of the window

  // frames / rate x 1000, or 0 without a rate above 0.
  double frameDurationMs() const;
  // |frameDurationMs - wallMs|.
  double driftMs() const;
  // driftMs / max(frameDurationMs, wallMs), or 0 when both are 0.
  double driftRatio() const;
  // The rate the producer must have run at for these frames to come out
  // in this time; nothing without a native rate, a rate or a wall time.
  std::optional<double> inferredProducerRate(double consumerNativeRate) const;
};

enum class SystemCadenceClassification { normal, warning, staleRate };

inline constexpr double kSystemCadenceWarningDriftMs = 500.0;
inline constexpr double kSystemCadenceStaleRateDriftRatio = 0.1;

// No frames, no wall time or no rate: staleRate. A drift of at most
// warningDriftMs: normal. Otherwise staleRate from the ratio on, else warning.
SystemCadenceClassification classifySystemCadenceObservation(
    const SystemCadenceObservation& observation, double warningDriftMs = kSystemCadenceWarningDriftMs,
    double staleRateDriftRatio = kSystemCadenceStaleRateDriftRatio);

}  // namespace helper
