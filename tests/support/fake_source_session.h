#pragma once
// A capture session for one source under test: it answers what a source
// may ask (configuration, stop claim, lifecycle lock, recovery tokens, the
// mic's facts), and records what the source tells the route coordinator.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/source/source_session.h"

namespace testsupport {

class FakeSourceSession : public helper::SourceSession {
 public:
  explicit FakeSourceSession(helper::CaptureConfig config = {}) : config_(std::move(config)) {}

  const helper::CaptureConfig& config() const override { return config_; }
  bool isStopClaimed() const override { return stopClaimed.load(); }
  std::mutex& lifecycleLock() override { return lifecycle_; }
  std::unique_lock<std::mutex> lockLifecycleUnlessStopping() override {
    if (isStopClaimed()) return {};
    return std::unique_lock<std::mutex>(lifecycle_);
  }
  uint64_t nextRecoveryToken() override { return ++tokens_; }
  helper::MicRouteFacts micRouteFacts() const override {
    std::lock_guard lock(mu_);
    return mic;
  }

  std::optional<uint64_t> currentRouteCoordinatorEpochID() const override {
    if (onCall) onCall();
    std::lock_guard lock(mu_);
    return epoch;
  }
  void observeRouteCoordinatorInput(const std::string& uid, const std::string&, int64_t, const std::string&,
                                    bool) override {
    record("input:" + uid);
  }
  void observeRouteCoordinatorOutput(const std::string& uid, const std::string&, int64_t, const std::string&,
                                     const std::string&, bool, bool) override {
    record("output:" + uid);
  }
  void markRouteCoordinatorSourcePending(const helper::SourceRecoveryTarget& target) override {
    record(std::string("pending:") + helper::sourceName(target.source));
  }
  void markRouteCoordinatorSourceGraphStarted(helper::Source source, const std::string&, int64_t, int64_t,
                                              std::optional<uint64_t>) override {
    record(std::string("graph_started:") + helper::sourceName(source));
  }
  void markRouteCoordinatorSourceVerified(helper::Source source, const helper::SourceRecoveryFrameProof&,
                                          std::optional<uint64_t>) override {
    record(std::string("verified:") + helper::sourceName(source));
  }
  void failRouteCoordinatorSource(helper::Source source, const std::string& reason, std::optional<uint64_t>) override {
    record(std::string("failed:") + helper::sourceName(source) + ":" + reason);
  }
  void cancelRouteCoordinator(const std::string& reason) override { record("cancel:" + reason); }

  // What the source told the route coordinator, in order.
  std::vector<std::string> coordinatorCalls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  // The calls starting with `prefix`, without it.
  std::vector<std::string> coordinatorCalls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : coordinatorCalls()) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c.substr(prefix.size()));
    }
    return out;
  }

  void setEpoch(std::optional<uint64_t> e) {
    std::lock_guard lock(mu_);
    epoch = e;
  }

  std::atomic<bool> stopClaimed{false};
  // Runs at every call into the route coordinator (set before the source runs).
  std::function<void()> onCall;

 private:
  void record(std::string call) {
    if (onCall) onCall();
    std::lock_guard lock(mu_);
    calls_.push_back(std::move(call));
  }

  const helper::CaptureConfig config_;
  std::mutex lifecycle_;
  std::atomic<uint64_t> tokens_{0};
  mutable std::mutex mu_;
  std::optional<uint64_t> epoch;
  helper::MicRouteFacts mic;
  std::vector<std::string> calls_;
};

}  // namespace testsupport
