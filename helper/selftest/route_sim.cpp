#include "helper/selftest/route_sim.h"

#include <algorithm>
#include <cmath>

#include "helper/routing/device_properties.h"
#include "helper/routing/route_coordinator.h"
#include "helper/routing/system_rate_resolution.h"

namespace helper {

namespace {

// Below it a hands-free route runs narrow-band; a system rate at or above it
// on one headset means its wide-band profile.
constexpr double kWideBandSystemRate = 40000;

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

TestRouteNotification TestRouteNotification::input(std::string uid, std::string route, double rate, uint64_t atNs) {
  return {Input{std::move(uid), std::move(route), rate, atNs}};
}

TestRouteNotification TestRouteNotification::output(std::string uid, std::string transport, double rate,
                                                    uint64_t atNs) {
  return {Output{std::move(uid), std::move(transport), rate, atNs}};
}

void TestRouteNotificationAccumulator::apply(const TestRouteNotification& notification) {
  const uint64_t atNs = std::visit([](const auto& n) { return n.atNs; }, notification.side);
  if (!firstNotificationNs) firstNotificationNs = atNs;
  lastNotificationNs = std::max(lastNotificationNs, atNs);
  std::visit(Overloaded{[this](const TestRouteNotification::Input& n) {
                          seenInputNotification = true;
                          inputUID = n.uid;
                          inputRoute = n.route;
                          inputRate = n.rate;
                        },
                        [this](const TestRouteNotification::Output& n) {
                          seenOutputNotification = true;
                          outputUID = n.uid;
                          outputTransport = n.transport;
                          outputRate = n.rate;
                        }},
             notification.side);
}

bool TestRouteNotificationAccumulator::canSnapshot(uint64_t nowNs, bool requiresPairedInputOutput) const {
  if (!firstNotificationNs) return false;
  const bool paired = seenInputNotification && seenOutputNotification;
  if ((!requiresPairedInputOutput || paired) && lastNotificationNs + kRouteCoordinatorSettleWindowNs <= nowNs) {
    return true;
  }
  return *firstNotificationNs + kRouteCoordinatorMaxCoalesceWindowNs <= nowNs;
}

TestRouteSnapshot TestRouteNotificationAccumulator::snapshot() const {
  return {inputUID, inputRoute, inputRate, outputUID, outputTransport, outputRate};
}

bool TestRoutePhase::isOpen() const { return kind == Kind::active || kind == Kind::verifying || kind == Kind::settled; }

bool TestRoutePhase::operator==(const TestRoutePhase& other) const {
  if (kind != other.kind) return false;
  return (kind != Kind::failedRecoverable && kind != Kind::cancelled) || reason == other.reason;
}

bool testRouteCadenceHolds(double rate, uint64_t frames, uint64_t windowMs) {
  if (!(rate > 0) || windowMs < kRouteCoordinatorCadenceWindowMs) return false;
  const double expected = static_cast<double>(windowMs) * rate / 1000.0;
  return std::fabs(static_cast<double>(frames) - expected) <= expected * kRouteCoordinatorCadenceTolerance;
}

uint64_t TestRouteCoordinatorSim::startEpoch(TestRouteSnapshot newTarget) {
  const uint64_t next = epoch + 1;
  *this = TestRouteCoordinatorSim{};
  epoch = next;
  phase = TestRoutePhase::verifying();
  target = std::move(newTarget);
  return epoch;
}

void TestRouteCoordinatorSim::stop(const std::string& reason) {
  phase = TestRoutePhase::cancelled(reason);
  micReconnectInFlight = false;
  micReconnectTerminalOutcome = TestReconnectTerminalOutcome::cancelled;
}

bool TestRouteCoordinatorSim::accepts(uint64_t eventEpoch) const {
  return eventEpoch == epoch && phase.isOpen() && target.has_value();
}

TestMicConfigDecision TestRouteCoordinatorSim::micConfigNotification(
    uint64_t eventEpoch, const std::string& observedUID, const std::string& observedRoute, double observedRate,
    int64_t observedHardwareChannels, int64_t effectiveCaptureChannels, int64_t expectedCaptureChannels,
    bool engineRunning) const {
  if (!accepts(eventEpoch)) return TestMicConfigDecision::ignore;
  // A rate that is not a number is no more usable than one of 0.
  if (observedUID.empty() || !(observedRate > 0) || observedHardwareChannels < 1 || effectiveCaptureChannels < 1 ||
      expectedCaptureChannels < 1) {
    return TestMicConfigDecision::reconnect;
  }
  if (observedUID != target->inputUID || observedRoute != target->inputRoute) return TestMicConfigDecision::reconnect;
  // Compared as truncated doubles, so no rate can overflow a conversion.
  if (std::trunc(observedRate) != std::trunc(target->inputRate) ||
      effectiveCaptureChannels != expectedCaptureChannels) {
    return TestMicConfigDecision::reconnect;
  }
  return engineRunning ? TestMicConfigDecision::ignore : TestMicConfigDecision::restartExistingEngine;
}

void TestRouteCoordinatorSim::micReconnectBegin(uint64_t eventEpoch) {
  if (eventEpoch != epoch || !phase.isOpen()) return;
  micReconnectInFlight = true;
  micReconnectTerminalOutcome.reset();
}

void TestRouteCoordinatorSim::micReconnectTerminal(uint64_t eventEpoch, TestReconnectTerminalOutcome outcome) {
  if (eventEpoch != epoch || !micReconnectInFlight) return;
  micReconnectInFlight = false;
  micReconnectTerminalOutcome = outcome;
  if (outcome == TestReconnectTerminalOutcome::sourceFailed) {
    phase = TestRoutePhase::failedRecoverable("mic_reconnect_failed");
  } else if (outcome == TestReconnectTerminalOutcome::cancelled) {
    phase = TestRoutePhase::cancelled("mic_reconnect_cancelled");
  }
}

void TestRouteCoordinatorSim::micReconnectTimedOut(uint64_t eventEpoch) {
  if (eventEpoch != epoch || !micReconnectInFlight) return;
  micReconnectInFlight = false;
  micReconnectTerminalOutcome = TestReconnectTerminalOutcome::sourceFailed;
  phase = TestRoutePhase::failedRecoverable("mic_reconnect_timeout");
}

void TestRouteCoordinatorSim::micGraphStartedEvent(uint64_t eventEpoch, const std::string& observedUID,
                                                   double nativeRate) {
  if (!accepts(eventEpoch) || observedUID != target->inputUID || !(nativeRate > 0)) return;
  micGraphStarted = true;
}

void TestRouteCoordinatorSim::micFrames(uint64_t eventEpoch, const std::string& observedUID, double nativeRate,
                                        uint64_t frames, uint64_t windowMs) {
  if (!accepts(eventEpoch) || !micGraphStarted || observedUID != target->inputUID) return;
  if (!testRouteCadenceHolds(nativeRate, frames, windowMs)) return;
  micVerified = true;
  settleIfComplete();
}

void TestRouteCoordinatorSim::systemGraphStartedEvent(uint64_t eventEpoch, const std::string& outputUID,
                                                      double selectedRate) {
  if (!accepts(eventEpoch) || outputUID != target->outputUID || !(selectedRate > 0)) return;
  selectedSystemRate = selectedRate;
  systemGraphStarted = true;
}

void TestRouteCoordinatorSim::systemFrames(uint64_t eventEpoch, const std::string& outputUID, uint64_t frames,
                                           uint64_t windowMs) {
  if (!accepts(eventEpoch) || !systemGraphStarted || outputUID != target->outputUID) return;
  if (!testRouteCadenceHolds(selectedSystemRate, frames, windowMs)) return;
  if (holdsSystemForPairedMic()) return;
  systemVerified = true;
  settleIfComplete();
}

bool TestRouteCoordinatorSim::holdsSystemForPairedMic() const {
  return target->inputRoute == kRouteBluetoothHfp && target->outputTransport == kRouteBluetoothHfp &&
         isLikelySameBluetoothDevice(target->inputUID, target->inputUID, target->outputUID, target->outputUID) &&
         selectedSystemRate >= kWideBandSystemRate && !micVerified;
}

void TestRouteCoordinatorSim::settleIfComplete() {
  if (micVerified && systemVerified) phase = TestRoutePhase::settled();
}

uint64_t simulateCanonicalFramesForStaleSystemConsumer(double producerRate, double consumerNativeRate,
                                                       double canonicalRate, uint64_t wallMs) {
  if (wallMs == 0 || !(producerRate > 0) || !(consumerNativeRate > 0) || !(canonicalRate > 0)) return 0;
  const double frames = static_cast<double>(wallMs) * producerRate / 1000.0 * canonicalRate / consumerNativeRate;
  if (std::isnan(frames)) return 0;  // infinite rates on both sides
  // std::round rounds halves away from zero.
  const double rounded = std::round(frames);
  return rounded < 18446744073709551616.0 ? static_cast<uint64_t>(rounded) : UINT64_MAX;
}

}  // namespace helper
