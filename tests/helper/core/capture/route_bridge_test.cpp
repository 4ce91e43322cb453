// The capture state's route coordinator bridge: what it traces for each
// observation and recovery milestone. Traces go to the process's event bus,
// so each case runs in a child process and its standard error is read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"

namespace helper {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::ResultOf;

// The route coordinator traces among the lines, in order.
std::vector<nlohmann::json> coordinatorTraces(const std::string& err) {
  std::vector<nlohmann::json> traces;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object() || event.value("type", "") != "route_trace") continue;
    if (event.value("stage", "").rfind("route_coordinator_", 0) != 0) continue;
    traces.push_back(std::move(event));
  }
  return traces;
}

// "stage source epoch phase route_class" of each trace, for compact checks.
std::vector<std::string> summaries(const std::string& err) {
  std::vector<std::string> out;
  for (const auto& t : coordinatorTraces(err)) {
    const auto& f = t["fields"];
    out.push_back(t["stage"].get<std::string>() + " " + t.value("source", "-") + " " +
                  std::to_string(f.value("route_epoch_id", -1)) + " " + f.value("phase", "?") + " " +
                  f.value("route_class", "?"));
  }
  return out;
}

// The fields of the n-th coordinator trace (null when there is none).
auto fieldsOf(size_t n) {
  return [n](const std::string& err) {
    const auto traces = coordinatorTraces(err);
    return n < traces.size() ? traces[n]["fields"] : nlohmann::json();
  };
}

SourceRecoveryFrameProof proof(const std::string& uid, int64_t rate, int64_t channels) {
  SourceRecoveryFrameProof p;
  p.uid = uid;
  p.sampleRate = rate;
  p.channels = channels;
  p.generation = 3;
  p.frames = 12000;
  return p;
}

class RouteBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Runs `body` on a state with no writers and route tracing on, then exits
// with `body`'s status once every trace is written.
template <typename Body>
[[noreturn]] void runTraced(Body body, bool tracing = true) {
  gRouteTraceEnabled.store(tracing);
  gEventBus.start();
  auto state = std::make_shared<CaptureState>(CaptureConfig{});
  const int status = body(*state);
  gEventBus.flushAndStop();
  std::_Exit(status);
}

TEST_F(RouteBridgeTest, ObservationsOpenThenUpdateOneEpoch) {
  const auto body = [](CaptureState& s) {
    if (s.currentRouteCoordinatorEpochID()) return 3;
    s.observeRouteCoordinatorInput("Headset", "bluetooth_hfp", 16000, "input_device_changed", true);
    if (s.currentRouteCoordinatorEpochID() != 1u) return 4;
    s.observeRouteCoordinatorOutput("Headset", "bluetooth_hfp", 16000, "output_device_changed", "default_output", true,
                                    false);
    return s.currentRouteCoordinatorEpochID() == 1u ? 0 : 5;
  };
  // One run, every check on its output.
  EXPECT_EXIT(runTraced(body), ::testing::ExitedWithCode(0),
              ::testing::AllOf(
                  ResultOf(summaries, ElementsAre("route_coordinator_epoch_started mic 1 verifying input_only",
                                                  "route_coordinator_epoch_updated system 1 verifying paired_bt_hfp")),
                  ResultOf(fieldsOf(0), nlohmann::json({{"route_epoch_id", 1},
                                                        {"phase", "verifying"},
                                                        {"route_class", "input_only"},
                                                        {"requires_mic_verification", true},
                                                        {"requires_system_verification", false},
                                                        {"seen_input", true},
                                                        {"seen_output", false},
                                                        {"reason", "input_device_changed"},
                                                        {"input_uid", "Headset"},
                                                        {"input_route", "bluetooth_hfp"},
                                                        {"input_rate", 16000},
                                                        {"should_reconnect", true}})),
                  ResultOf(fieldsOf(1), nlohmann::json({{"route_epoch_id", 1},
                                                        {"phase", "verifying"},
                                                        {"route_class", "paired_bt_hfp"},
                                                        {"requires_mic_verification", true},
                                                        {"requires_system_verification", true},
                                                        {"seen_input", true},
                                                        {"seen_output", true},
                                                        {"reason", "output_device_changed"},
                                                        {"trigger", "default_output"},
                                                        {"output_uid", "Headset"},
                                                        {"output_transport", "bluetooth_hfp"},
                                                        {"output_rate", 16000},
                                                        {"should_rebuild", true},
                                                        {"force", false}}))));
}

TEST_F(RouteBridgeTest, APairedEpochSettlesOnTheLastVerificationOnly) {
  const auto body = [](CaptureState& s) {
    s.observeRouteCoordinatorInput("Mic", "usb", 48000, "input_device_changed", true);
    s.observeRouteCoordinatorOutput("Spk", "usb", 48000, "output_device_changed", "default_output", true, false);
    const auto epoch = s.currentRouteCoordinatorEpochID();
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, epoch);
    s.markRouteCoordinatorSourceVerified(Source::mic, proof("Mic", 48000, 1), epoch);
    s.markRouteCoordinatorSourceGraphStarted(Source::system, "Spk", 48000, 2, epoch);
    s.markRouteCoordinatorSourceVerified(Source::system, proof("Spk", 48000, 2), epoch);
    s.markRouteCoordinatorSourceVerified(Source::system, proof("Spk", 48000, 2), epoch);  // settles nothing more
    return 0;
  };
  // One run, every check on its output.
  EXPECT_EXIT(runTraced(body), ::testing::ExitedWithCode(0),
              ::testing::AllOf(
                  ResultOf(summaries, ElementsAre("route_coordinator_epoch_started mic 1 verifying input_only",
                                                  "route_coordinator_epoch_updated system 1 verifying paired",
                                                  "route_coordinator_source_graph_started mic 1 verifying paired",
                                                  "route_coordinator_source_verified mic 1 verifying paired",
                                                  "route_coordinator_source_graph_started system 1 verifying paired",
                                                  "route_coordinator_source_verified system 1 settled paired",
                                                  "route_coordinator_epoch_settled system 1 settled paired",
                                                  "route_coordinator_source_verified system 1 settled paired")),
                  ResultOf(fieldsOf(2), nlohmann::json({{"route_epoch_id", 1},
                                                        {"phase", "verifying"},
                                                        {"route_class", "paired"},
                                                        {"requires_mic_verification", true},
                                                        {"requires_system_verification", true},
                                                        {"uid", "Mic"},
                                                        {"sample_rate", 48000},
                                                        {"channels", 1}})),
                  ResultOf(fieldsOf(3), nlohmann::json({{"route_epoch_id", 1},
                                                        {"phase", "verifying"},
                                                        {"route_class", "paired"},
                                                        {"requires_mic_verification", true},
                                                        {"requires_system_verification", true},
                                                        {"uid", "Mic"},
                                                        {"sample_rate", 48000},
                                                        {"channels", 1},
                                                        {"frames", 12000},
                                                        {"generation", 3}})),
                  ResultOf(fieldsOf(6), nlohmann::json({{"route_epoch_id", 1},
                                                        {"phase", "settled"},
                                                        {"route_class", "paired"},
                                                        {"requires_mic_verification", true},
                                                        {"requires_system_verification", true}}))));
}

TEST_F(RouteBridgeTest, APendingSourceIsTracedWithoutTouchingTheShadow) {
  const auto body = [](CaptureState& s) {
    SourceRecoveryTarget target;
    target.source = Source::system;
    target.uid = "Spk";
    target.sampleRate = 48000;
    target.channels = 2;
    target.reason = "output_device_changed";
    s.markRouteCoordinatorSourcePending(target);  // no epoch: 0, no generation: -1
    s.observeRouteCoordinatorInput("Mic", "usb", 48000, "input_device_changed", true);
    target.source = Source::mic;
    target.generation = 7;
    target.routeEpochID = 1;
    s.markRouteCoordinatorSourcePending(target);
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, 1u);
    auto unstampedProof = proof("Mic", 48000, 1);
    unstampedProof.generation.reset();
    s.markRouteCoordinatorSourceVerified(Source::mic, unstampedProof, 1u);
    return s.currentRouteCoordinatorEpochID() == 1u ? 0 : 3;
  };
  // One run, every check on its output.
  EXPECT_EXIT(runTraced(body), ::testing::ExitedWithCode(0),
              ::testing::AllOf(
                  ResultOf(fieldsOf(0), nlohmann::json({{"route_epoch_id", 0},
                                                        {"reason", "output_device_changed"},
                                                        {"target_uid", "Spk"},
                                                        {"target_rate", 48000},
                                                        {"target_channels", 2},
                                                        {"target_generation", -1}})),
                  ResultOf(summaries, ElementsAre("route_coordinator_source_pending system 0 ? ?",
                                                  "route_coordinator_epoch_started mic 1 verifying input_only",
                                                  "route_coordinator_source_pending mic 1 ? ?",
                                                  "route_coordinator_source_graph_started mic 1 verifying input_only",
                                                  "route_coordinator_source_verified mic 1 settled input_only",
                                                  "route_coordinator_epoch_settled mic 1 settled input_only")),
                  ResultOf(fieldsOf(2), nlohmann::json({{"route_epoch_id", 1},
                                                        {"reason", "output_device_changed"},
                                                        {"target_uid", "Spk"},
                                                        {"target_rate", 48000},
                                                        {"target_channels", 2},
                                                        {"target_generation", 7}})),
                  ResultOf([](const std::string& err) { return fieldsOf(4)(err).value("generation", 0); }, -1)));
}

TEST_F(RouteBridgeTest, MilestonesWithoutAnEpochOrOfAnEarlierOneLeaveNoTrace) {
  const auto body = [](CaptureState& s) {
    s.cancelRouteCoordinator("stop");  // nothing observed yet
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, std::nullopt);
    s.observeRouteCoordinatorInput("Mic", "usb", 48000, "input_device_changed", true);
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, std::nullopt);
    s.markRouteCoordinatorSourceVerified(Source::mic, proof("Mic", 48000, 1), std::nullopt);
    s.failRouteCoordinatorSource(Source::mic, "timeout", std::nullopt);
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Other", 48000, 1, 1u);   // another device
    s.markRouteCoordinatorSourceVerified(Source::mic, proof("Mic", 48000, 1), 1u);  // before its graph started
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, 2u);     // an epoch not yet opened
    return 0;
  };
  EXPECT_EXIT(runTraced(body), ::testing::ExitedWithCode(0),
              ResultOf(summaries, ElementsAre("route_coordinator_epoch_started mic 1 verifying input_only")));
}

TEST_F(RouteBridgeTest, FailureThenCancel) {
  const auto body = [](CaptureState& s) {
    s.observeRouteCoordinatorOutput("Spk", "usb", 48000, "output_device_changed", "default_output", true, false);
    s.failRouteCoordinatorSource(Source::system, "timeout", 1u);
    s.failRouteCoordinatorSource(Source::system, "timeout", 1u);  // already failed
    s.cancelRouteCoordinator("session_stop");
    s.markRouteCoordinatorSourceGraphStarted(Source::system, "Spk", 48000, 2, 1u);  // after the cancel
    return 0;
  };
  // One run, every check on its output.
  EXPECT_EXIT(
      runTraced(body), ::testing::ExitedWithCode(0),
      ::testing::AllOf(
          ResultOf(summaries, ElementsAre("route_coordinator_epoch_started system 1 verifying output_only",
                                          "route_coordinator_source_failed system 1 failed_recoverable output_only",
                                          "route_coordinator_epoch_cancelled - 1 cancelled output_only")),
          ResultOf(fieldsOf(1), nlohmann::json({{"route_epoch_id", 1},
                                                {"phase", "failed_recoverable"},
                                                {"route_class", "output_only"},
                                                {"requires_mic_verification", false},
                                                {"requires_system_verification", true},
                                                {"reason", "timeout"}})),
          ResultOf(fieldsOf(2), nlohmann::json({{"route_epoch_id", 1},
                                                {"phase", "cancelled"},
                                                {"route_class", "output_only"},
                                                {"requires_mic_verification", false},
                                                {"requires_system_verification", true},
                                                {"reason", "session_stop"}}))));
}

TEST_F(RouteBridgeTest, WithTracingOffTheShadowStillFollows) {
  const auto body = [](CaptureState& s) {
    s.observeRouteCoordinatorInput("Mic", "usb", 48000, "input_device_changed", true);
    s.markRouteCoordinatorSourceGraphStarted(Source::mic, "Mic", 48000, 1, 1u);
    s.markRouteCoordinatorSourceVerified(Source::mic, proof("Mic", 48000, 1), 1u);
    s.cancelRouteCoordinator("session_stop");
    return s.currentRouteCoordinatorEpochID() == 1u ? 0 : 3;
  };
  EXPECT_EXIT(runTraced(body, false), ::testing::ExitedWithCode(0), ResultOf(summaries, IsEmpty()));
}

// Observations and milestones from several threads at once: epochs are
// opened one after the other, each traced once, and no trace names an
// epoch that was not opened before it.
// Traces leave after the coordinator's lock is released, so concurrent
// callers' traces may interleave out of order; what must hold is that the
// epochs opened are 1..N, each once, and every trace names one of them.
bool epochsAreConsistent(const std::string& err) {
  std::set<int64_t> started;
  std::vector<int64_t> named;
  for (const auto& t : coordinatorTraces(err)) {
    const int64_t epoch = t["fields"]["route_epoch_id"];
    if (t["stage"] == "route_coordinator_epoch_started" && !started.insert(epoch).second) return false;
    named.push_back(epoch);
  }
  if (started.empty() || *started.begin() != 1 || *started.rbegin() != static_cast<int64_t>(started.size())) {
    return false;
  }
  for (const auto epoch : named) {
    if (!started.count(epoch)) return false;
  }
  return true;
}

TEST_F(RouteBridgeTest, ConcurrentCallersSeeOneConsistentShadow) {
  const auto body = [](CaptureState& s) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&s, t] {
        const bool mic = t % 2 == 0;
        for (int i = 0; i < 20; ++i) {
          if (mic) {
            s.observeRouteCoordinatorInput("Mic", "usb", 48000, "input_device_changed", true);
          } else {
            s.observeRouteCoordinatorOutput("Spk", "usb", 48000, "output_device_changed", "default_output", true,
                                            false);
          }
          const auto epoch = s.currentRouteCoordinatorEpochID();
          s.markRouteCoordinatorSourceGraphStarted(mic ? Source::mic : Source::system, mic ? "Mic" : "Spk", 48000, 1,
                                                   epoch);
        }
      });
    }
    for (auto& th : threads) th.join();
    return 0;
  };
  // 160 traces at most: within the bus's capacity, none is dropped.
  EXPECT_EXIT(runTraced(body), ::testing::ExitedWithCode(0), ::testing::Truly(epochsAreConsistent));
}

}  // namespace
}  // namespace helper
