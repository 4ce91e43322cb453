#pragma once
// How one source's device clock runs against the host clock, and the rate
// its converter must take it to the canonical rate at so that its audio
// keeps its place on the session clock without a sample inserted or
// dropped.
//
// The device stamps each buffer with the host time of its first frame,
// give or take its jitter (a few milliseconds on USB and Bluetooth
// devices). The trend of many stamps against the frames delivered (a least-
// squares line over the last seconds, as audio servers keep) says where
// each buffer truly lies and how fast the device really runs: the jitter of
// one stamp moves neither noticeably. A stamp further than
// kSessionClockJumpNs from the trend is a real discontinuity (an outage, a
// stall, a rate jump): the trend starts again from it, and the session
// clock places that buffer at once.
//
// The measured rate (the device's frames per nominal frame) is what the
// converter takes the source at, pulled gently by how far the placed audio
// lies from where the trend puts it, and changed smoothly.
//
// Pure; one owner per source (its consumer thread).
#include <cstdint>
#include <optional>

namespace helper {

// How long the trend remembers: stamps this much older weigh e⁻¹ as much.
inline constexpr double kSourceClockMemorySeconds = 20.0;
// The stamps it takes to move the measured rate away from the rate last
// known (or the nominal one): a line through the first stamps of a
// stretch, jittering by milliseconds, says little of the rate yet.
inline constexpr double kSourceClockPriorSeconds = 0.2;
// The largest drift followed by the ratio: a device further off its
// nominal rate than this keeps its place by discontinuities.
inline constexpr double kSourceClockMaxDrift = 0.01;
// Placed audio further off its trend than the dead band is brought back
// over this long (nearer, the trend itself still wanders by as much)...
inline constexpr double kSourceClockDeadbandSeconds = 0.001;
inline constexpr double kSourceClockOffsetSeconds = 1.0;
// ...and the converter's ratio moves by at most this much a second.
inline constexpr double kSourceClockMaxSlewPerSecond = 0.02;

class SourceClockFollower {
 public:
  // `nominalRate`: the device's nominal rate, in its own frames per second.
  explicit SourceClockFollower(double nominalRate);

  // A buffer whose first frame is at position `frame` of the device's
  // stream (its frames delivered before it) and was stamped `stampNs`
  // (nothing: not stamped). Returns the capture time to place it by: on the
  // trend, or the stamp itself where a stretch begins (the first stamp, or
  // one beyond kSessionClockJumpNs of the trend). Nothing without a stamp.
  std::optional<uint64_t> captureTimeOf(uint64_t frame, std::optional<uint64_t> stampNs);
  // The capture time `frames` device frames before one captured at
  // `captureNs`, at the device's measured rate.
  uint64_t before(uint64_t captureNs, double frames) const;
  // True when the last stamp began a stretch after a discontinuity.
  bool lastWasDiscontinuity() const { return lastWasDiscontinuity_; }

  // After the buffer was placed: `offsetSeconds` is how far it landed from
  // where its capture time puts it (positive: it belongs later; nothing
  // when it was not placed by its time), `bufferSeconds` its length.
  // Returns the ratio to convert the next buffer at.
  double correct(std::optional<double> offsetSeconds, double bufferSeconds);

  // The device's measured frames per nominal frame (1 until known).
  double deviceRatio() const;
  // What the converter takes the source at: its nominal rate times this.
  double conversionRatio() const { return conversionRatio_; }

 private:
  // The line of one stretch: stamps (ns from its first) against frames
  // (from its first), weighted by age. Means and co-moments are kept
  // about the weighted mean, which keeps them exact over hours.
  struct Stretch {
    uint64_t firstFrame = 0;
    uint64_t firstNs = 0;
    double lastX = 0;
    double weight = 0;
    double meanX = 0;
    double meanY = 0;
    double cxx = 0;
    double cxy = 0;
    double priorPeriodNs = 0;  // ns per frame the stretch started with
  };

  void begin(uint64_t frame, uint64_t stampNs);
  double periodNs() const;
  double predictedY(double x) const;

  const double nominalRate_;
  const double nominalPeriodNs_;
  const double priorWeight_;  // kSourceClockPriorSeconds of frames, squared
  std::optional<Stretch> stretch_;
  double knownPeriodNs_;  // the period carried from one stretch to the next
  double conversionRatio_ = 1.0;
  bool lastWasDiscontinuity_ = false;
};

}  // namespace helper
