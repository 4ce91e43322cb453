#include "helper/core/segments/source_clock.h"

#include <algorithm>
#include <cmath>

#include "helper/core/segments/session_clock.h"

namespace helper {
namespace {

double signedNs(uint64_t to, uint64_t from) {
  // Unsigned wrap-around gives the signed distance.
  return static_cast<double>(static_cast<int64_t>(to - from));
}

}  // namespace

SourceClockFollower::SourceClockFollower(double nominalRate)
    : nominalRate_(nominalRate > 0 ? nominalRate : 1.0),
      nominalPeriodNs_(1e9 / nominalRate_),
      priorWeight_(std::pow(kSourceClockPriorSeconds * nominalRate_, 2)),
      knownPeriodNs_(nominalPeriodNs_) {}

void SourceClockFollower::begin(uint64_t frame, uint64_t stampNs) {
  Stretch s;
  s.firstFrame = frame;
  s.firstNs = stampNs;
  s.weight = 1;
  s.priorPeriodNs = knownPeriodNs_;
  stretch_ = s;
}

double SourceClockFollower::periodNs() const {
  if (!stretch_) return knownPeriodNs_;
  const Stretch& s = *stretch_;
  // The least-squares slope, drawn towards the period the stretch began
  // with until enough stamps say otherwise.
  const double period = (s.cxy + priorWeight_ * s.priorPeriodNs) / (s.cxx + priorWeight_);
  return std::clamp(period, nominalPeriodNs_ / (1 + kSourceClockMaxDrift),
                    nominalPeriodNs_ / (1 - kSourceClockMaxDrift));
}

double SourceClockFollower::predictedY(double x) const { return stretch_->meanY + periodNs() * (x - stretch_->meanX); }

std::optional<uint64_t> SourceClockFollower::captureTimeOf(uint64_t frame, std::optional<uint64_t> stampNs) {
  lastWasDiscontinuity_ = false;
  if (!stampNs) return std::nullopt;
  if (!stretch_ || frame < stretch_->firstFrame) {
    begin(frame, *stampNs);
    return stampNs;
  }
  Stretch& s = *stretch_;
  const double x = static_cast<double>(frame - s.firstFrame);
  const double y = signedNs(*stampNs, s.firstNs);
  if (std::fabs(y - predictedY(x)) > static_cast<double>(kSessionClockJumpNs)) {
    // An outage, a stall or a rate jump: the line starts again here, with
    // the rate measured so far.
    knownPeriodNs_ = periodNs();
    begin(frame, *stampNs);
    lastWasDiscontinuity_ = true;
    return stampNs;
  }
  // Older stamps weigh less, by the device time gone since the last one.
  const double decay = std::exp(-(x - s.lastX) / (kSourceClockMemorySeconds * nominalRate_));
  s.weight = s.weight * decay + 1;
  s.cxx *= decay;
  s.cxy *= decay;
  const double dx = x - s.meanX;
  s.meanX += dx / s.weight;
  s.meanY += (y - s.meanY) / s.weight;
  s.cxx += dx * (x - s.meanX);
  s.cxy += dx * (y - s.meanY);
  s.lastX = x;
  const double onTrend = predictedY(x);
  return s.firstNs + static_cast<uint64_t>(static_cast<int64_t>(std::llround(onTrend)));
}

double SourceClockFollower::deviceRatio() const { return nominalPeriodNs_ / periodNs(); }

uint64_t SourceClockFollower::before(uint64_t captureNs, double frames) const {
  return captureNs - static_cast<uint64_t>(static_cast<int64_t>(std::llround(frames * periodNs())));
}

double SourceClockFollower::correct(std::optional<double> offsetSeconds, double bufferSeconds) {
  // Behind where it belongs (a positive offset): more frames per device
  // frame, so a lower ratio; never more than the drift followed.
  double target = deviceRatio();
  if (offsetSeconds) {
    const double beyond = std::max(0.0, std::fabs(*offsetSeconds) - kSourceClockDeadbandSeconds);
    const double pull = std::clamp(std::copysign(beyond, *offsetSeconds) / kSourceClockOffsetSeconds,
                                   -kSourceClockMaxDrift / 2, kSourceClockMaxDrift / 2);
    target *= 1 - pull;
  }
  target = std::clamp(target, 1 - kSourceClockMaxDrift, 1 + kSourceClockMaxDrift);
  const double most = kSourceClockMaxSlewPerSecond * std::max(0.0, bufferSeconds);
  conversionRatio_ += std::clamp(target - conversionRatio_, -most, most);
  return conversionRatio_;
}

}  // namespace helper
