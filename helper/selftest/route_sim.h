#pragma once
// A model of how the capture graph should answer a route change, used by
// the control-plane test mode: route notifications are coalesced into one
// target route, an epoch is opened for it, and the epoch settles only when
// the rebuilt mic and system graphs prove sustained capture on that target
// at a plausible frame cadence. Plain values without clocks or locks; the
// caller supplies every time. Events that do not apply change nothing.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace helper {

// The target route of an epoch.
struct TestRouteSnapshot {
  std::string inputUID;
  std::string inputRoute;
  double inputRate = 0;
  std::string outputUID;
  std::string outputTransport;
  double outputRate = 0;

  bool operator==(const TestRouteSnapshot&) const = default;
};

// One default-device notification; atNs is its arrival on a monotonic clock.
struct TestRouteNotification {
  struct Input {
    std::string uid;
    std::string route;
    double rate = 0;
    uint64_t atNs = 0;
  };
  struct Output {
    std::string uid;
    std::string transport;
    double rate = 0;
    uint64_t atNs = 0;
  };

  std::variant<Input, Output> side;

  static TestRouteNotification input(std::string uid, std::string route, double rate, uint64_t atNs);
  static TestRouteNotification output(std::string uid, std::string transport, double rate, uint64_t atNs);
};

struct TestRouteNotificationAccumulator {
  std::optional<uint64_t> firstNotificationNs;
  uint64_t lastNotificationNs = 0;
  std::string inputUID;
  std::string inputRoute = "unknown";
  double inputRate = 0;
  std::string outputUID;
  std::string outputTransport = "unknown";
  double outputRate = 0;
  bool seenInputNotification = false;
  bool seenOutputNotification = false;

  // The last notification of each side wins; a late-stamped one never
  // moves lastNotificationNs back.
  void apply(const TestRouteNotification& notification);
  // After 300 ms of quiet (once both sides are seen, when they must be
  // paired), or at the latest 2.5 s after the first notification.
  bool canSnapshot(uint64_t nowNs, bool requiresPairedInputOutput) const;
  TestRouteSnapshot snapshot() const;
};

struct TestRoutePhase {
  enum class Kind { failedRecoverable, cancelled, active, verifying, settled };

  Kind kind = Kind::active;
  std::string reason;  // failedRecoverable and cancelled only

  static TestRoutePhase failedRecoverable(std::string reason) { return {Kind::failedRecoverable, std::move(reason)}; }
  static TestRoutePhase cancelled(std::string reason) { return {Kind::cancelled, std::move(reason)}; }
  static TestRoutePhase active() { return {Kind::active, {}}; }
  static TestRoutePhase verifying() { return {Kind::verifying, {}}; }
  static TestRoutePhase settled() { return {Kind::settled, {}}; }

  // active, verifying or settled.
  bool isOpen() const;
  // The reason counts only for the two phases that carry one.
  bool operator==(const TestRoutePhase& other) const;
};

// Mirrors MicConfigChangeAction.
enum class TestMicConfigDecision { ignore, restartExistingEngine, reconnect };

enum class TestReconnectTerminalOutcome { engineStarted, sourceFailed, cancelled };

// Every event carries the epoch it belongs to and is ignored unless that
// is the current one. A failed or cancelled epoch takes no graph or frame
// event until startEpoch opens a new one.
struct TestRouteCoordinatorSim {
  uint64_t epoch = 0;
  TestRoutePhase phase = TestRoutePhase::active();
  std::optional<TestRouteSnapshot> target;
  double selectedSystemRate = 0;
  bool micGraphStarted = false;
  bool micVerified = false;
  bool systemGraphStarted = false;
  bool systemVerified = false;
  bool micReconnectInFlight = false;
  std::optional<TestReconnectTerminalOutcome> micReconnectTerminalOutcome;

  // Opens the next epoch for `target`, clearing every proof; returns it.
  uint64_t startEpoch(TestRouteSnapshot newTarget);
  // Whatever the epoch: cancelled, and no later event of it counts.
  void stop(const std::string& reason = "stop");

  TestMicConfigDecision micConfigNotification(uint64_t eventEpoch, const std::string& observedUID,
                                              const std::string& observedRoute, double observedRate,
                                              int64_t observedHardwareChannels, int64_t effectiveCaptureChannels,
                                              int64_t expectedCaptureChannels, bool engineRunning) const;

  void micReconnectBegin(uint64_t eventEpoch);
  // Ends a reconnect in flight; only a failure or a cancel moves the phase.
  void micReconnectTerminal(uint64_t eventEpoch, TestReconnectTerminalOutcome outcome);
  void micReconnectTimedOut(uint64_t eventEpoch);

  // A started graph is no proof of capture.
  void micGraphStartedEvent(uint64_t eventEpoch, const std::string& observedUID, double nativeRate);
  void micFrames(uint64_t eventEpoch, const std::string& observedUID, double nativeRate, uint64_t frames,
                 uint64_t windowMs);
  void systemGraphStartedEvent(uint64_t eventEpoch, const std::string& outputUID, double selectedRate);
  // On one Bluetooth hands-free headset, a wide-band system rate is not
  // accepted before the paired mic has verified.
  void systemFrames(uint64_t eventEpoch, const std::string& outputUID, uint64_t frames, uint64_t windowMs);

 private:
  bool accepts(uint64_t eventEpoch) const;
  bool holdsSystemForPairedMic() const;
  void settleIfComplete();
};

// Whether `frames` in `windowMs` at `rate` is sustained capture: a window of
// at least 250 ms and a count within 8 % of the expectation.
bool testRouteCadenceHolds(double rate, uint64_t frames, uint64_t windowMs);

// Canonical frames a system consumer writes in `wallMs` when the tap
// delivers `producerRate` but the consumer converts as if it were
// `consumerNativeRate`; 0 without wall time or with a rate not above 0.
uint64_t simulateCanonicalFramesForStaleSystemConsumer(double producerRate, double consumerNativeRate,
                                                       double canonicalRate, uint64_t wallMs);

}  // namespace helper
