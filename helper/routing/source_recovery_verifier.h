#pragma once
// Whether a rebuilt source really delivers audio again: its new graph must
// have started and then produced a sustained stream of frames that match
// what the rebuild was meant to bring back. Pure values and decisions: no
// lock, no clock, no output; the capture state owns one verifier per
// source and acts on the outcomes.
#include <cstdint>
#include <optional>
#include <string>

#include "helper/routing/source_recovery_proof.h"
#include "helper/source.h"

namespace helper {

inline constexpr int64_t kMicRecoveryTimeoutMaxRetries = 1;
inline constexpr int64_t kSystemRecoveryTimeoutMaxRetries = 1;
inline constexpr uint64_t kSourceRecoveryCadenceWindowMs = 250;
inline constexpr double kSourceRecoveryMinCadenceRatio = 0.65;

// What one rebuild is meant to produce.
struct SourceRecoveryTarget {
  Source source = Source::mic;
  std::string uid;                     // empty: any device
  int64_t sampleRate = 0;              // below 1: not known yet, taken from the graph start or the first proof
  int64_t channels = 0;                // below 1: not known yet, likewise
  std::optional<uint32_t> generation;  // the mic engine generation frames must carry; absent: any
  std::string reason;
  uint64_t token = 0;  // unique per run; identifies the recovery's time-out
  std::optional<uint64_t> routeEpochID;

  bool operator==(const SourceRecoveryTarget&) const = default;
};

struct SourceRecoveryVerifierOutcome {
  enum class Kind { verified, failed, cancelled, waiting, ignoredStale };

  Kind kind = Kind::waiting;
  std::optional<SourceRecoveryTarget> target;  // verified: the target as the proofs completed it
  std::string reason;                          // failed, cancelled

  static SourceRecoveryVerifierOutcome verified(SourceRecoveryTarget t) { return {Kind::verified, std::move(t), {}}; }
  static SourceRecoveryVerifierOutcome failed(std::string r) { return {Kind::failed, std::nullopt, std::move(r)}; }
  static SourceRecoveryVerifierOutcome cancelled(std::string r) {
    return {Kind::cancelled, std::nullopt, std::move(r)};
  }
  static SourceRecoveryVerifierOutcome waiting() { return {Kind::waiting, std::nullopt, {}}; }
  static SourceRecoveryVerifierOutcome ignoredStale() { return {Kind::ignoredStale, std::nullopt, {}}; }

  bool operator==(const SourceRecoveryVerifierOutcome&) const = default;
};

struct SourceRecoveryTimeoutAction {
  enum class Kind { retrySystemTapRebuild, retryMicFreshRebuild, fail };

  Kind kind = Kind::fail;
  std::string reason;  // the retry's reason

  bool operator==(const SourceRecoveryTimeoutAction&) const = default;
};

// One source's recovery in progress. Every mismatch (a late graph start, a
// proof of another device, rate, channel count or generation, a time-out of
// a superseded recovery) is answered ignoredStale and changes nothing.
class SourceRecoveryVerifier {
 public:
  // Supersedes whatever was pending, without an outcome.
  void begin(SourceRecoveryTarget target);
  SourceRecoveryVerifierOutcome graphStarted(const std::string& uid, int64_t sampleRate, int64_t channels);
  SourceRecoveryVerifierOutcome firstFrames(const SourceRecoveryFrameProof& proof);
  // A missing token fails whatever is pending.
  SourceRecoveryVerifierOutcome timeout(std::optional<uint64_t> token, const std::string& reason);
  SourceRecoveryVerifierOutcome cancel(const std::string& reason);

  const std::optional<SourceRecoveryTarget>& pending() const { return pending_; }
  bool hasGraphStarted() const { return graphStarted_; }
  bool observedFrames() const { return observedFrames_; }
  std::optional<uint64_t> proofWindowStartNs() const { return proofWindowStartNs_; }
  int64_t proofWindowFrames() const { return proofWindowFrames_; }

  bool operator==(const SourceRecoveryVerifier&) const = default;

 private:
  void reset();
  bool matchesFormat(const std::string& uid, int64_t sampleRate, int64_t channels) const;
  void complete(int64_t sampleRate, int64_t channels);

  std::optional<SourceRecoveryTarget> pending_;
  bool graphStarted_ = false;
  bool observedFrames_ = false;
  std::optional<uint64_t> proofWindowStartNs_;
  int64_t proofWindowFrames_ = 0;
};

// Retry once when the graph started but not one matching frame came;
// fail otherwise.
SourceRecoveryTimeoutAction classifySourceRecoveryTimeoutAction(Source source, const std::string& reason,
                                                                bool observedFrames, int64_t retriesUsed,
                                                                int64_t maxRetries);

// A Bluetooth hands-free mic takes longer to come back.
int64_t sourceRecoveryTimeoutSeconds(Source source, const std::string& routeKind);

// A second proof of the same device, rate and channel count within one
// route epoch is not news.
bool shouldSuppressDuplicateSourceRecovered(const std::optional<SourceRecoveryTarget>& previous,
                                            const SourceRecoveryTarget& current);

}  // namespace helper
