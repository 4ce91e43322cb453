#include "helper/routing/source_recovery_verifier.h"

#include "helper/routing/device_properties.h"

namespace helper {

namespace {
bool uidMatches(const std::string& pendingUID, const std::string& uid) {
  return pendingUID.empty() || pendingUID == uid;
}
bool valueMatches(int64_t pending, int64_t given) { return pending < 1 || pending == given; }
}  // namespace

void SourceRecoveryVerifier::begin(SourceRecoveryTarget target) {
  reset();
  pending_ = std::move(target);
}

void SourceRecoveryVerifier::reset() { *this = SourceRecoveryVerifier{}; }

bool SourceRecoveryVerifier::matchesFormat(const std::string& uid, int64_t sampleRate, int64_t channels) const {
  return uidMatches(pending_->uid, uid) && valueMatches(pending_->sampleRate, sampleRate) &&
         valueMatches(pending_->channels, channels);
}

void SourceRecoveryVerifier::complete(int64_t sampleRate, int64_t channels) {
  if (pending_->sampleRate < 1) pending_->sampleRate = sampleRate;
  if (pending_->channels < 1) pending_->channels = channels;
}

SourceRecoveryVerifierOutcome SourceRecoveryVerifier::graphStarted(const std::string& uid, int64_t sampleRate,
                                                                   int64_t channels) {
  if (!pending_ || !matchesFormat(uid, sampleRate, channels)) return SourceRecoveryVerifierOutcome::ignoredStale();
  complete(sampleRate, channels);
  graphStarted_ = true;
  proofWindowStartNs_.reset();
  proofWindowFrames_ = 0;
  return SourceRecoveryVerifierOutcome::waiting();
}

SourceRecoveryVerifierOutcome SourceRecoveryVerifier::firstFrames(const SourceRecoveryFrameProof& proof) {
  if (!pending_ || !graphStarted_ || proof.frames <= 0) return SourceRecoveryVerifierOutcome::ignoredStale();
  if (!matchesFormat(proof.uid, proof.sampleRate, proof.channels)) return SourceRecoveryVerifierOutcome::ignoredStale();
  if (pending_->generation && proof.generation != pending_->generation) {
    return SourceRecoveryVerifierOutcome::ignoredStale();
  }
  complete(proof.sampleRate, proof.channels);
  observedFrames_ = true;

  // The window opens at the first matching proof and only grows: a slow
  // stretch never restarts it.
  if (!proofWindowStartNs_) {
    proofWindowStartNs_ = proof.observedAtNs;
    proofWindowFrames_ = 0;
  }
  proofWindowFrames_ += proof.frames;
  const uint64_t start = *proofWindowStartNs_;
  const uint64_t elapsedMs = proof.observedAtNs > start ? (proof.observedAtNs - start) / 1'000'000 : 0;
  const int64_t rate = pending_->sampleRate;
  const auto minimumFrames = static_cast<int64_t>(static_cast<double>(kSourceRecoveryCadenceWindowMs) *
                                                  static_cast<double>(rate > 1 ? rate : 1) / 1000.0);
  if (elapsedMs < kSourceRecoveryCadenceWindowMs || proofWindowFrames_ < minimumFrames) {
    return SourceRecoveryVerifierOutcome::waiting();
  }
  const double expected = static_cast<double>(elapsedMs) * static_cast<double>(rate) / 1000.0;
  if (expected <= 0 || static_cast<double>(proofWindowFrames_) >= expected * kSourceRecoveryMinCadenceRatio) {
    SourceRecoveryTarget completed = std::move(*pending_);
    reset();
    return SourceRecoveryVerifierOutcome::verified(std::move(completed));
  }
  return SourceRecoveryVerifierOutcome::waiting();
}

SourceRecoveryVerifierOutcome SourceRecoveryVerifier::timeout(std::optional<uint64_t> token,
                                                              const std::string& reason) {
  if (!pending_ || (token && *token != pending_->token)) return SourceRecoveryVerifierOutcome::ignoredStale();
  reset();
  return SourceRecoveryVerifierOutcome::failed(reason);
}

SourceRecoveryVerifierOutcome SourceRecoveryVerifier::cancel(const std::string& reason) {
  if (!pending_) return SourceRecoveryVerifierOutcome::ignoredStale();
  reset();
  return SourceRecoveryVerifierOutcome::cancelled(reason);
}

SourceRecoveryTimeoutAction classifySourceRecoveryTimeoutAction(Source source, const std::string& reason,
                                                                bool observedFrames, int64_t retriesUsed,
                                                                int64_t maxRetries) {
  using Kind = SourceRecoveryTimeoutAction::Kind;
  if (reason != "no_sustained_frames_after_graph_start" || observedFrames || retriesUsed >= maxRetries) {
    return {Kind::fail, {}};
  }
  if (source == Source::system) return {Kind::retrySystemTapRebuild, "system_recovery_timeout_retry"};
  return {Kind::retryMicFreshRebuild, "mic_recovery_timeout_retry"};
}

int64_t sourceRecoveryTimeoutSeconds(Source source, const std::string& routeKind) {
  return source == Source::mic && routeKind == kRouteBluetoothHfp ? 8 : 6;
}

bool shouldSuppressDuplicateSourceRecovered(const std::optional<SourceRecoveryTarget>& previous,
                                            const SourceRecoveryTarget& current) {
  return previous && previous->routeEpochID && current.routeEpochID &&
         *previous->routeEpochID == *current.routeEpochID && previous->source == current.source &&
         previous->uid == current.uid && previous->sampleRate == current.sampleRate &&
         previous->channels == current.channels;
}

}  // namespace helper
