#include "helper/core/system/system_cadence.h"

#include <algorithm>
#include <cmath>

namespace helper {

double SystemCadenceObservation::frameDurationMs() const {
  if (!(canonicalRate > 0)) return 0;
  return static_cast<double>(canonicalFrames) / canonicalRate * 1000.0;
}

double SystemCadenceObservation::driftMs() const { return std::fabs(frameDurationMs() - static_cast<double>(wallMs)); }

double SystemCadenceObservation::driftRatio() const {
  const double longest = std::max(frameDurationMs(), static_cast<double>(wallMs));
  return longest > 0 ? driftMs() / longest : 0;
}

std::optional<double> SystemCadenceObservation::inferredProducerRate(double consumerNativeRate) const {
  if (!(consumerNativeRate > 0) || !(canonicalRate > 0) || wallMs == 0) return std::nullopt;
  return static_cast<double>(canonicalFrames) * 1000.0 / static_cast<double>(wallMs) * consumerNativeRate /
         canonicalRate;
}

SystemCadenceClassification classifySystemCadenceObservation(const SystemCadenceObservation& o, double warningDriftMs,
                                                             double staleRateDriftRatio) {
  if (o.wallMs == 0 || o.canonicalFrames == 0 || !(o.canonicalRate > 0)) return SystemCadenceClassification::staleRate;
  if (!(o.driftMs() > warningDriftMs)) return SystemCadenceClassification::normal;
  return o.driftRatio() >= staleRateDriftRatio ? SystemCadenceClassification::staleRate
                                               : SystemCadenceClassification::warning;
}

}  // namespace helper
