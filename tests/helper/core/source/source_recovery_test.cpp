// The recovery of the rebuilt sources, each built on a fake session: time-
// outs are captured instead of scheduled, so the test fires them itself;
// events and traces go to the test.
#include "helper/core/source/source_recovery.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "helper/core/mic/mic_source.h"
#include "helper/core/system/system_source.h"
#include "platform/audio/sim_testing.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/fake_source_session.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

using json = nlohmann::json;
constexpr uint64_t kSec = 1'000'000'000ULL;
constexpr uint64_t kMs = 1'000'000ULL;
const char* const kNoFrames = "no_sustained_frames_after_graph_start";

struct Scheduled {
  uint64_t delayNs;
  std::function<void()> fire;
};

class SourceRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A retry rebuilds on the simulated world; an empty one gives it no
    // output to start on, so it only warns.
    platform::audio::sim::testing::resetWorld();
    CaptureConfig c;
    c.sessionDir = (dir.path() / "session").string();
    c.includeMic = true;
    c.includeSystem = true;
    session = std::make_unique<testsupport::FakeSourceSession>(c);
    // Every call into the session checks that no recovery lock is held (a
    // held one would deadlock here).
    session->onCall = [this] { checkNoRecoveryLockHeld(); };
    auto writer = [&](const char* source, int64_t channels) {
      return std::make_shared<SegmentWriter>(source, c.sessionDir, 24000.0, channels, 30, 0);
    };
    mic = MicSource::make(*session, writer("mic", 1));
    system = SystemSource::make(*session, writer("system", 2));
    for (SourceRecovery* r : {&mic->recovery(), &system->recovery()}) {
      r->setTimeoutScheduler([this](uint64_t delayNs, std::function<void()> fire) {
        checkNoRecoveryLockHeld();
        std::lock_guard lock(mu);
        scheduled.push_back({delayNs, std::move(fire)});
      });
      r->setOutputs(
          [this](const Event& e) {
            checkNoRecoveryLockHeld();
            std::lock_guard lock(mu);
            events.push_back(e);
            log.push_back(e["type"].get<std::string>());
          },
          [this](const std::string& stage, Source source, const json& fields) {
            checkNoRecoveryLockHeld();
            if (onTrace) onTrace(stage);
            std::lock_guard lock(mu);
            traces.push_back({{"stage", stage}, {"source", sourceName(source)}, {"fields", fields}});
            log.push_back(stage);
          });
    }
  }
  // A retry's rebuild runs on another queue with the source it locked; the
  // fixture's sinks must outlive it.
  void TearDown() override {
    session->stopClaimed = true;
    std::weak_ptr<MicSource> weakMic = mic;
    std::weak_ptr<SystemSource> weakSystem = system;
    mic.reset();
    system.reset();
    for (int i = 0; i < 1000 && !(weakMic.expired() && weakSystem.expired()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(weakMic.expired() && weakSystem.expired()) << "a rebuild still holds a source";
  }

  void checkNoRecoveryLockHeld() const {
    if (mic) (void)mic->recovery().pending();
    if (system) (void)system->recovery().pending();
  }
  SourceRecovery& recovery(Source source) { return source == Source::mic ? mic->recovery() : system->recovery(); }
  void begin(const SourceRecoveryTarget& t) { recovery(t.source).begin(t); }
  std::pair<bool, bool> failedSnapshot() { return {mic->recovery().failed(), system->recovery().failed()}; }
  void cancelBoth(const std::string& reason) {
    cancelSourceRecoveries(*session, &mic->recovery(), &system->recovery(), reason);
  }

  static SourceRecoveryTarget target(Source source, const std::string& uid, int64_t rate, int64_t channels,
                                     const std::string& reason = "device_changed",
                                     std::optional<uint32_t> generation = std::nullopt) {
    return {source, uid, rate, channels, generation, reason, 0, std::nullopt};
  }
  // Proofs of 4,800 frames every 100 ms from `startNs`: verified at the fourth.
  void feed(Source source, const std::string& uid, int64_t channels, uint64_t startNs, int count,
            std::optional<uint32_t> generation = std::nullopt) {
    for (int i = 0; i < count; ++i) {
      recovery(source).verifyFromFrames(
          {uid, 48000, channels, generation, 4800, startNs + static_cast<uint64_t>(i) * 100 * kMs});
    }
  }
  std::vector<json> tracesOf(const std::string& stage) {
    std::lock_guard lock(mu);
    std::vector<json> out;
    for (const auto& t : traces) {
      if (t["stage"] == stage) out.push_back(t);
    }
    return out;
  }
  std::vector<json> eventsOf(const std::string& type) {
    std::lock_guard lock(mu);
    std::vector<json> out;
    for (const auto& e : events) {
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }
  size_t outputCount() {
    std::lock_guard lock(mu);
    return log.size();
  }
  void fire(size_t index) {
    std::function<void()> f;
    {
      std::lock_guard lock(mu);
      f = scheduled.at(index).fire;
    }
    f();
  }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::FakeSourceSession> session;
  std::shared_ptr<MicSource> mic;
  std::shared_ptr<SystemSource> system;
  std::mutex mu;
  std::vector<Scheduled> scheduled;
  std::vector<json> events;
  std::vector<json> traces;
  std::vector<std::string> log;  // event types and trace stages, in order
  std::function<void(const std::string&)> onTrace;
};

TEST_F(SourceRecoveryTest, BeginNumbersRecoveriesAndSchedulesTheTimeOutByRoute) {
  mic->setRouteKind("bluetooth_hfp");
  session->setEpoch(5);
  begin(target(Source::mic, "Headset", 16000, 1, "input_device_changed", 3u));
  mic->setRouteKind("builtin_mic");
  session->setEpoch(std::nullopt);
  begin(target(Source::system, "Speakers", 0, 0));
  begin(target(Source::mic, "Mic", 48000, 1));
  ASSERT_EQ(scheduled.size(), 3u);
  EXPECT_EQ(scheduled[0].delayNs, 8 * kSec);  // Bluetooth mic
  EXPECT_EQ(scheduled[1].delayNs, 6 * kSec);
  EXPECT_EQ(scheduled[2].delayNs, 6 * kSec);
  EXPECT_EQ(recovery(Source::system).pending()->token, 2u);
  const auto pendingMic = recovery(Source::mic).pending();
  EXPECT_EQ(pendingMic->token, 3u);
  EXPECT_FALSE(pendingMic->routeEpochID);

  const auto pending = tracesOf("source_recovery_pending");
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[0]["source"], "mic");
  EXPECT_EQ(pending[0]["fields"], (json{{"reason", "input_device_changed"},
                                        {"target_uid", "Headset"},
                                        {"target_rate", 16000},
                                        {"target_channels", 1},
                                        {"target_generation", 3},
                                        {"route_epoch_id", 5}}));
  EXPECT_EQ(pending[1]["fields"]["target_generation"], -1);
  EXPECT_EQ(pending[1]["fields"]["route_epoch_id"], 0);

  // The Bluetooth recovery was superseded, so its time-out is stale; the
  // mic one that replaced it reports its own length.
  const auto superseded = tracesOf("source_recovery_superseded");
  ASSERT_EQ(superseded.size(), 1u);
  EXPECT_EQ(superseded[0]["fields"]["old_token"], 1);
  EXPECT_EQ(superseded[0]["fields"]["new_token"], 3);
  EXPECT_EQ(superseded[0]["fields"]["old_target_uid"], "Headset");
  EXPECT_EQ(superseded[0]["fields"]["new_target_uid"], "Mic");
  EXPECT_EQ(superseded[0]["fields"]["old_target_generation"], 3);
  EXPECT_EQ(superseded[0]["fields"]["new_target_generation"], -1);
  const size_t before = outputCount();
  fire(0);
  EXPECT_EQ(outputCount(), before);
  EXPECT_EQ(recovery(Source::mic).pending()->token, 3u);

  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  fire(2);
  EXPECT_EQ(tracesOf("source_recovery_retrying").size(), 1u);

  mic->setRouteKind("bluetooth_hfp");
  begin(target(Source::mic, "Headset", 16000, 1));
  recovery(Source::mic).graphStarted("Headset", 16000, 1);
  fire(3);
  const auto timeout = tracesOf("source_recovery_timeout");
  ASSERT_EQ(timeout.size(), 1u);
  EXPECT_EQ(timeout[0]["fields"]["timeout_ms"], 8000);
}

TEST_F(SourceRecoveryTest, SustainedFramesAfterTheGraphStartRecoverTheSource) {
  session->setEpoch(2);
  begin(target(Source::mic, "Mic", 48000, 1, "input_device_changed", 7u));
  feed(Source::mic, "Mic", 1, 0, 10, 7u);  // before the graph start: no proof
  EXPECT_TRUE(eventsOf("source_recovered").empty());
  recovery(Source::mic).graphStarted("Other", 48000, 1);  // another device: stale, silent
  EXPECT_TRUE(tracesOf("source_recovery_graph_started").empty());
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  const auto started = tracesOf("source_recovery_graph_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["fields"],
            (json{{"uid", "Mic"}, {"sample_rate", 48000}, {"channels", 1}, {"route_epoch_id", 2}}));
  feed(Source::mic, "Mic", 1, kSec, 3, 6u);  // another generation
  feed(Source::mic, "Mic", 1, 2 * kSec, 3, 7u);
  EXPECT_TRUE(eventsOf("source_recovered").empty());
  feed(Source::mic, "Mic", 1, 2 * kSec + 300 * kMs, 1, 7u);
  const auto recovered = eventsOf("source_recovered");
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0],
            (json{{"type", "source_recovered"}, {"source", "mic"}, {"sample_rate", 48000}, {"channels", 1}}));
  const auto verified = tracesOf("source_recovery_verified");
  ASSERT_EQ(verified.size(), 1u);
  EXPECT_EQ(verified[0]["fields"], (json{{"reason", "input_device_changed"},
                                         {"uid", "Mic"},
                                         {"sample_rate", 48000},
                                         {"channels", 1},
                                         {"frames", 4800},
                                         {"generation", 7},
                                         {"route_epoch_id", 2}}));
  EXPECT_FALSE(recovery(Source::mic).pending());
  // Frames after the proof and the finished recovery's time-out are silent.
  const size_t before = outputCount();
  feed(Source::mic, "Mic", 1, 3 * kSec, 5, 7u);
  fire(0);
  EXPECT_EQ(outputCount(), before);
}

TEST_F(SourceRecoveryTest, ASecondRecoveryOfTheSameRouteInOneEpochIsNotAnnouncedAgain) {
  session->setEpoch(3);
  for (int i = 0; i < 2; ++i) {
    begin(target(Source::mic, "Mic", 48000, 1, i == 0 ? "a" : "b"));
    recovery(Source::mic).graphStarted("Mic", 48000, 1);
    feed(Source::mic, "Mic", 1, static_cast<uint64_t>(i) * kSec, 4);
  }
  EXPECT_EQ(eventsOf("source_recovered").size(), 1u);
  const auto suppressed = tracesOf("source_recovery_duplicate_suppressed");
  ASSERT_EQ(suppressed.size(), 1u);
  EXPECT_EQ(suppressed[0]["fields"]["reason"], "b");
  // A new epoch announces it again; so does a recovery without an epoch.
  session->setEpoch(4);
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  feed(Source::mic, "Mic", 1, 5 * kSec, 4);
  session->setEpoch(std::nullopt);
  for (int i = 0; i < 2; ++i) {
    begin(target(Source::mic, "Mic", 48000, 1));
    recovery(Source::mic).graphStarted("Mic", 48000, 1);
    feed(Source::mic, "Mic", 1, static_cast<uint64_t>(6 + i) * kSec, 4);
  }
  EXPECT_EQ(eventsOf("source_recovered").size(), 4u);
}

TEST_F(SourceRecoveryTest, AMicWithoutFramesIsRetriedOnceThenFails) {
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  fire(0);
  const auto retrying = tracesOf("source_recovery_retrying");
  ASSERT_EQ(retrying.size(), 1u);
  EXPECT_EQ(retrying[0]["fields"], (json{{"reason", kNoFrames},
                                         {"retry_reason", "mic_recovery_timeout_retry"},
                                         {"retry_attempt", 1},
                                         {"max_retries", 1},
                                         {"route_epoch_id", 0}}));
  EXPECT_EQ(mic->recovery().retriesUsed(), 1);
  EXPECT_TRUE(eventsOf("source_failed").empty());
  EXPECT_FALSE(recovery(Source::mic).pending());

  // The retry runs on the main queue: without an engine it cannot start.
  for (int i = 0; i < 50 && eventsOf("source_failed").empty(); ++i) platform::dispatch::runMainQueueFor(0.02);
  const auto warnings = eventsOf("warning");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0]["code"], "mic_recovery_retry_unavailable");
  EXPECT_EQ(warnings[0]["ctx"], "mic_recovery_timeout_retry: missing_mic_engine_for_recovery_retry");
  const auto unavailable = tracesOf("mic_recovery_retry_unavailable");
  ASSERT_EQ(unavailable.size(), 1u);
  EXPECT_EQ(unavailable[0]["fields"]["detail"], "missing_mic_engine_for_recovery_retry");
  auto failed = eventsOf("source_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0], (json{{"type", "source_failed"},
                             {"source", "mic"},
                             {"reason", "missing_mic_engine_for_recovery_retry"},
                             {"recoverable", true}}));
  EXPECT_EQ(failedSnapshot(), std::make_pair(true, false));
  EXPECT_EQ(session->coordinatorCalls("failed:"),
            (std::vector<std::string>{"mic:missing_mic_engine_for_recovery_retry"}));

  // A new mic begin keeps the spent budget: its time-out fails at once.
  begin(target(Source::mic, "Mic", 48000, 1, "mic_recovery_timeout_retry"));
  EXPECT_EQ(mic->recovery().retriesUsed(), 1);
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  fire(1);
  EXPECT_EQ(tracesOf("source_recovery_retrying").size(), 1u);
  const auto timeout = tracesOf("source_recovery_timeout");
  ASSERT_EQ(timeout.size(), 1u);
  EXPECT_EQ(timeout[0]["fields"], (json{{"reason", kNoFrames}, {"timeout_ms", 6000}, {"route_epoch_id", 0}}));
  failed = eventsOf("source_failed");
  ASSERT_EQ(failed.size(), 2u);  // sent again for a source already failed
  EXPECT_EQ(failed[1]["reason"], kNoFrames);
  EXPECT_EQ(session->coordinatorCalls("failed:").back(), std::string("mic:") + kNoFrames);

  // A verification gives the budget back.
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  feed(Source::mic, "Mic", 1, 0, 4);
  EXPECT_EQ(mic->recovery().retriesUsed(), 0);
}

TEST_F(SourceRecoveryTest, TheSystemRetryBudgetLastsUntilAnotherCauseBegins) {
  begin(target(Source::system, "Speakers", 0, 0));
  recovery(Source::system).graphStarted("Speakers", 48000, 2);
  fire(0);
  ASSERT_EQ(tracesOf("source_recovery_retrying").size(), 1u);
  EXPECT_EQ(tracesOf("source_recovery_retrying")[0]["fields"]["retry_reason"], "system_recovery_timeout_retry");
  EXPECT_EQ(system->recovery().retriesUsed(), 1);
  begin(target(Source::system, "Speakers", 0, 0, "system_recovery_timeout_retry"));
  EXPECT_EQ(system->recovery().retriesUsed(), 1);
  begin(target(Source::system, "Speakers", 0, 0, "output_device_changed"));
  EXPECT_EQ(system->recovery().retriesUsed(), 0);
  EXPECT_TRUE(eventsOf("source_failed").empty());
}

TEST_F(SourceRecoveryTest, ASystemWithTooFewFramesFailsWithoutARetry) {
  begin(target(Source::system, "Speakers", 0, 0));
  recovery(Source::system).graphStarted("Speakers", 48000, 2);
  recovery(Source::system).verifyFromFrames({"Speakers", 48000, 2, std::nullopt, 480, 0});
  recovery(Source::system).verifyFromFrames({"Speakers", 48000, 2, std::nullopt, 480, 2 * kSec});
  fire(0);
  EXPECT_TRUE(tracesOf("source_recovery_retrying").empty());
  EXPECT_EQ(tracesOf("source_recovery_timeout").size(), 1u);
  const auto failed = eventsOf("source_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["source"], "system");
  EXPECT_EQ(failedSnapshot(), std::make_pair(false, true));
}

TEST_F(SourceRecoveryTest, AFailedRebuildEndsItsRecoveryWithoutReportingTheSource) {
  recovery(Source::mic).fail("rebuild_failed");  // nothing pending
  EXPECT_EQ(outputCount(), 0u);
  session->setEpoch(9);
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).fail("rebuild_failed");
  const auto failed = tracesOf("source_recovery_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["fields"], (json{{"reason", "rebuild_failed"}, {"route_epoch_id", 9}}));
  EXPECT_TRUE(eventsOf("source_failed").empty());
  EXPECT_EQ(failedSnapshot(), std::make_pair(false, false));
  EXPECT_EQ(session->coordinatorCalls("failed:"), (std::vector<std::string>{"mic:rebuild_failed"}));
  const size_t before = outputCount();
  fire(0);                                               // the ended recovery's time-out is stale
  recovery(Source::system).timeout(1, kNoFrames, 6000);  // nothing pending there
  EXPECT_EQ(outputCount(), before);
}

TEST_F(SourceRecoveryTest, AStopWithNothingPendingStillCancelsTheRouteCoordinator) {
  cancelBoth("stop");
  EXPECT_TRUE(tracesOf("source_recovery_cancelled").empty());
  EXPECT_EQ(session->coordinatorCalls("cancel:"), (std::vector<std::string>{"stop"}));
}

TEST_F(SourceRecoveryTest, AStopCancelsBothAndNothingOfARecoveryFollows) {
  session->setEpoch(1);
  begin(target(Source::system, "Speakers", 0, 0));
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  cancelBoth("shutdown");
  const auto cancelled = tracesOf("source_recovery_cancelled");
  ASSERT_EQ(cancelled.size(), 2u);
  EXPECT_EQ(cancelled[0]["source"], "mic");
  EXPECT_EQ(cancelled[1]["source"], "system");
  EXPECT_EQ(cancelled[0]["fields"], (json{{"reason", "shutdown"}, {"route_epoch_id", 1}}));

  const size_t before = outputCount();
  fire(0);
  fire(1);
  feed(Source::mic, "Mic", 1, 0, 10);
  begin(target(Source::mic, "Mic", 48000, 1));  // a late rebuild
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  feed(Source::mic, "Mic", 1, kSec, 10);
  recovery(Source::mic).fail("late");
  EXPECT_EQ(outputCount(), before);
  EXPECT_EQ(scheduled.size(), 2u);
  EXPECT_FALSE(recovery(Source::mic).pending());
}

TEST_F(SourceRecoveryTest, AStopWaitsForTheRecoveryEffectsDecidedBeforeIt) {
  std::mutex gateMu;
  std::condition_variable gateCv;
  bool inside = false;
  bool release = false;
  onTrace = [&](const std::string& stage) {
    if (stage != "source_recovery_verified") return;
    std::unique_lock lock(gateMu);
    inside = true;
    gateCv.notify_all();
    gateCv.wait(lock, [&] { return release; });
  };
  begin(target(Source::mic, "Mic", 48000, 1));
  recovery(Source::mic).graphStarted("Mic", 48000, 1);
  std::thread consumer([&] { feed(Source::mic, "Mic", 1, 0, 4); });
  {
    std::unique_lock lock(gateMu);
    gateCv.wait(lock, [&] { return inside; });
  }
  // The proof is decided; the stop begins while its effects are under way.
  auto stop = std::async(std::launch::async, [&] { cancelBoth("stop"); });
  EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  {
    std::lock_guard lock(gateMu);
    release = true;
  }
  gateCv.notify_all();
  consumer.join();
  stop.get();
  std::lock_guard lock(mu);
  const std::vector<std::string> expected = {"source_recovery_pending", "source_recovery_graph_started",
                                             "source_recovery_verified", "source_recovered"};
  EXPECT_EQ(log, expected);  // and nothing of the stop came in between
}

}  // namespace
}  // namespace helper
