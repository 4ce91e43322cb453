// The system tap graph on a simulated world whose clock the test moves: the
// IO proc then runs on the test's thread, the consumer on its own.
#include "helper/core/system/system_pipeline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "helper/core/await/drain_request.h"
#include "helper/core/entry/globals.h"
#include "helper/core/system/system_source.h"
#include "helper/routing/device_following.h"
#include "platform/audio/hal/hal.h"
#include "platform/audio/sim_testing.h"
#include "platform/dispatch/dispatch.h"
#include "tests/support/fake_source_session.h"
#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace hal = platform::audio::hal;
namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;
using json = nlohmann::json;

constexpr uint64_t kMs = 1'000'000ULL;
constexpr uint64_t kSec = 1'000'000'000ULL;

json speakers(json extra = json::object()) {
  json d = {{"uid", "Speakers"},
            {"name", "Desk Speakers"},
            {"transport", "bltn"},
            {"nominal_rate", 48000},
            {"output_channels", 2},
            {"data_source", "ispk"},
            {"signal", {{"type", "tone"}, {"frequency", 1000}, {"amplitude", 0.5}}}};
  d.update(extra);
  return d;
}

std::vector<hal::AudioObjectID> worldDevices() {
  std::vector<hal::AudioObjectID> ids;
  hal::getPropertyObjectIDs(hal::kAudioObjectSystemObject,
                            {hal::kAudioHardwarePropertyDevices, hal::kAudioObjectPropertyScopeGlobal, 0}, ids);
  return ids;
}

class SystemPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { load({speakers()}); }
  void TearDown() override {
    system.reset();
    simt::resetWorld(sim::ClockMode::manual);
  }

  void load(json devices) {
    system.reset();
    simt::loadWorld(json{{"devices", std::move(devices)}}, sim::ClockMode::manual);
    system = makeSystem(session);
  }
  std::shared_ptr<SystemSource> makeSystem(testsupport::FakeSourceSession& on) {
    return SystemSource::make(on, std::make_shared<SegmentWriter>("system", (dir.path() / "session").string(),
                                                                  on.config().canonicalRate, 2, 30, 0));
  }
  SystemPipeline& pipeline() { return system->pipeline(); }

  // Starts with the IO proc's counters on, so a test knows how many native
  // frames the IO proc delivered.
  SystemTapStartResult startCounting(SystemPipeline& p, bool openSegment = true) {
    gDebugIOProc.store(true);
    SystemTapStartResult r = p.start(*system, std::nullopt, openSegment);
    gDebugIOProc.store(false);
    return r;
  }
  static int64_t deliveredFrames(const SystemPipeline& p) {
    return static_cast<int64_t>(p.ioProcStats().totalBytes / 8);  // stereo float
  }

  testsupport::TempDir dir;
  testsupport::FakeSourceSession session;
  std::shared_ptr<SystemSource> system;
};

TEST_F(SystemPipelineTest, RecordsTheTapIntoSystemSegments) {
  const size_t devicesBefore = worldDevices().size();
  const SystemTapStartResult r = startCounting(pipeline());
  EXPECT_EQ(r.outputUID, "Speakers");
  EXPECT_EQ(r.outputName, "Desk Speakers");
  EXPECT_EQ(r.outputClassification, (OutputDeviceClassification{"built_in_speakers", true}));
  EXPECT_EQ(r.nativeRate, 48000);
  EXPECT_EQ(r.nativeChannels, 2);
  EXPECT_TRUE(r.nativeInterleaved);
  EXPECT_EQ(r.tapChannels, 2);
  EXPECT_EQ(r.rateResolution.source, "tap_asbd");
  EXPECT_EQ(r.outputNominalRate, 48000);
  EXPECT_EQ(r.aggregateNominalRate, 48000);
  EXPECT_EQ(r.outputTransport, "builtin_mic");
  EXPECT_EQ(system->outputUID(), "Speakers");
  EXPECT_EQ(system->outputClassification(), r.outputClassification);
  EXPECT_EQ(system->writer()->seq(), 1);
  EXPECT_FALSE(system->writer()->openFailure());
  EXPECT_EQ(system->writer()->nativeRateNow(), 48000);
  EXPECT_EQ(pipeline().tapAsbdRate(), 48000);
  EXPECT_NE(pipeline().aggregateDeviceID(), 0u);
  EXPECT_EQ(worldDevices().size(), devicesBefore + 1);
  EXPECT_TRUE(pipeline().hasConsumer());

  simt::advance(1 * kSec);
  const int64_t delivered = deliveredFrames(pipeline());
  EXPECT_GE(delivered, 46000);
  // Stopped with the second still in the ring: the consumer writes it first.
  EXPECT_TRUE(pipeline().stop(3 * kSec, "ctx"));
  EXPECT_FALSE(pipeline().hasConsumer());
  EXPECT_EQ(pipeline().tapID(), 0u);
  EXPECT_EQ(pipeline().aggregateDeviceID(), 0u);
  EXPECT_EQ(pipeline().ioProcID(), 0u);
  EXPECT_EQ(worldDevices().size(), devicesBefore);

  auto sealed = system->writer()->sealFinal();
  ASSERT_TRUE(sealed);
  // Everything delivered, at 24 kHz, less the resampler's few frames of delay.
  EXPECT_LE(sealed->frames, delivered / 2);
  EXPECT_GE(sealed->frames, delivered / 2 - 64);
  EXPECT_NEAR(sealed->peak, 0.5, 0.02);

  // The next graph starts afresh after a stop.
  pipeline().start(*system, std::nullopt, true);
  EXPECT_EQ(system->writer()->seq(), 2);
  EXPECT_TRUE(pipeline().stop(3 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, TheGateAndThePausedWriterDropTheTap) {
  pipeline().start(*system, std::nullopt, true);
  pipeline().closeTap();
  simt::advance(200 * kMs);
  pipeline().openTap();
  system->writer()->setPaused(true);
  simt::advance(200 * kMs);
  EXPECT_TRUE(pipeline().stop(3 * kSec, "ctx"));
  system->writer()->setPaused(false);
  EXPECT_FALSE(system->writer()->sealFinal());  // nothing reached the segment
}

TEST_F(SystemPipelineTest, ADrainIsAnsweredOnceTheRingIsEmpty) {
  startCounting(pipeline());
  simt::advance(500 * kMs);
  pipeline().closeTap();
  EXPECT_TRUE(requestDrain(pipeline().drainRequested(), pipeline().drainDone(), 3 * kSec));
  // Everything the ring held is in the segment by the answer.
  auto sealed = system->writer()->sealFinal();
  ASSERT_TRUE(sealed);
  EXPECT_GE(sealed->frames, deliveredFrames(pipeline()) / 2 - 64);
  EXPECT_TRUE(pipeline().stop(3 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, FrameProofsNameTheOutputTheGraphStartedWith) {
  std::mutex mu;
  std::vector<SourceRecoveryFrameProof> proofs;
  SystemPipeline own(
      system->writer(), [](const Event&) {},
      [&](const SourceRecoveryFrameProof& p) {
        std::lock_guard lock(mu);
        proofs.push_back(p);
      });
  startCounting(own);
  // Another thread moves the source's output meanwhile (as a rebuild does).
  system->setOutputDevice("ElsewhereUID", "Elsewhere", {"unknown", true});
  simt::advance(500 * kMs);
  EXPECT_TRUE(own.stop(3 * kSec, "ctx"));
  std::lock_guard lock(mu);
  ASSERT_FALSE(proofs.empty());
  int64_t frames = 0;
  for (const auto& p : proofs) {
    EXPECT_EQ(p.uid, "Speakers");
    EXPECT_EQ(p.sampleRate, 48000);
    EXPECT_EQ(p.channels, 2);
    frames += p.frames;
  }
  EXPECT_EQ(frames, deliveredFrames(own));  // native frames, all of them
}

TEST_F(SystemPipelineTest, OnlyFramesThatReachASegmentProveTheSource) {
  std::mutex mu;
  int64_t proved = 0;
  SystemPipeline own(
      system->writer(), [](const Event&) {},
      [&](const SourceRecoveryFrameProof& p) {
        std::lock_guard lock(mu);
        proved += p.frames;
      });
  auto provedNow = [&] {
    EXPECT_TRUE(requestDrain(own.drainRequested(), own.drainDone(), 3 * kSec));
    std::lock_guard lock(mu);
    return proved;
  };
  const auto& writer = system->writer();
  startCounting(own, false);  // the writer has no segment yet
  simt::advance(300 * kMs);
  EXPECT_EQ(provedNow(), 0);
  writer->open();
  simt::advance(300 * kMs);
  const int64_t recorded = provedNow();
  EXPECT_GT(recorded, 0);
  writer->setPaused(true);
  simt::advance(300 * kMs);
  EXPECT_EQ(provedNow(), recorded);
  writer->setPaused(false);
  writer->sealFinal();  // sealed: nothing open until the next open
  simt::advance(300 * kMs);
  EXPECT_EQ(provedNow(), recorded);
  EXPECT_TRUE(own.stop(3 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, EachFailingCallEndsTheStartWithItsReason) {
  struct Case {
    const char* call;
    const char* reason;
    const char* ctxPrefix;
  };
  const Case cases[] = {
      {sim::kFaultProcessTap, "tap_creation_failed", "AudioHardwareCreateProcessTap: "},
      {sim::kFaultAggregateDevice, "aggregate_creation_failed", "AudioHardwareCreateAggregateDevice: "},
      {sim::kFaultIOProc, "aggregate_creation_failed", "AudioDeviceCreateIOProcID: "},
      {sim::kFaultDeviceStart, "aggregate_creation_failed", "AudioDeviceStart: "}};
  const size_t devicesBefore = worldDevices().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    simt::injectFault(sim::FaultConfig{c.call, -1234, 1, 0});
    try {
      pipeline().start(*system, std::nullopt, false);
      ADD_FAILURE() << "the start succeeded";
    } catch (const SystemTapGraphError& e) {
      EXPECT_EQ(e.reason, c.reason);
      EXPECT_EQ(e.ctx, std::string(c.ctxPrefix) + "-1234");
    }
    // The clean-up releases what the start created (a consumer that was
    // already running ends by itself).
    EXPECT_TRUE(pipeline().stop(1 * kSec, "cleanup"));
    EXPECT_FALSE(pipeline().hasConsumer());
    EXPECT_EQ(pipeline().tapID(), 0u);
    EXPECT_EQ(worldDevices().size(), devicesBefore);
  }
  pipeline().start(*system, std::nullopt, false);
  EXPECT_TRUE(pipeline().stop(1 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, ASecondStartWithoutAStopCreatesNothing) {
  pipeline().start(*system, std::nullopt, true);
  const size_t devices = worldDevices().size();
  const uint32_t aggregate = pipeline().aggregateDeviceID();
  try {
    pipeline().start(*system, std::nullopt, true);
    ADD_FAILURE() << "the second start succeeded";
  } catch (const SystemTapGraphError& e) {
    EXPECT_EQ(e.reason, "aggregate_creation_failed");
    EXPECT_EQ(e.ctx, "system ring already exists before graph start");
  }
  EXPECT_EQ(worldDevices().size(), devices);
  EXPECT_EQ(pipeline().aggregateDeviceID(), aggregate);
  EXPECT_TRUE(pipeline().stop(3 * kSec, "ctx"));
  EXPECT_EQ(worldDevices().size(), devices - 1);
}

TEST_F(SystemPipelineTest, OutputDeviceChoice) {
  // No output device at all.
  load(json::array());
  try {
    pipeline().start(*system, std::nullopt, true);
    ADD_FAILURE();
  } catch (const SystemTapGraphError& e) {
    EXPECT_EQ(e.reason, "no_output_device");
    EXPECT_EQ(e.ctx, "No default system output device");
  }
  EXPECT_NE(pipeline().tapID(), 0u);  // left for the clean-up
  EXPECT_TRUE(pipeline().stop(1 * kSec, "ctx"));
  EXPECT_EQ(pipeline().tapID(), 0u);

  // A preferred device without a UID: the default one is not consulted.
  load({speakers(), speakers({{"uid", nullptr}, {"id", 77}})});
  try {
    pipeline().start(*system, 77u, true);
    ADD_FAILURE();
  } catch (const SystemTapGraphError& e) {
    EXPECT_EQ(e.reason, "no_output_device");
  }
  EXPECT_TRUE(pipeline().stop(1 * kSec, "ctx"));

  // An output whose name cannot be read.
  load({speakers({{"name", nullptr}})});
  EXPECT_EQ(pipeline().start(*system, std::nullopt, true).outputName, "Unknown Speakers");
  EXPECT_EQ(system->outputName(), "Unknown Speakers");
  EXPECT_TRUE(pipeline().stop(1 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, ProcessesAreFoundByPid) {
  EXPECT_TRUE(translatePIDToProcessObjectID(static_cast<int32_t>(::getpid())));
  EXPECT_FALSE(translatePIDToProcessObjectID(0));
  EXPECT_FALSE(translatePIDToProcessObjectID(-5));
  // A pid without a process object: the tap excludes nothing and starts.
  CaptureConfig c = session.config();
  c.excludePID = -5;
  testsupport::FakeSourceSession otherSession(c);
  auto other = makeSystem(otherSession);
  EXPECT_EQ(other->pipeline().start(*other, std::nullopt, false).outputUID, "Speakers");
  EXPECT_TRUE(other->pipeline().stop(1 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, ATapRateBesideTheNominalRateIsResolved) {
  load({speakers({{"tap_rate", 44100}})});
  const SystemTapStartResult r = pipeline().start(*system, std::nullopt, true);
  EXPECT_EQ(r.rateResolution.tapAsbdRate, 44100);
  EXPECT_EQ(r.rateResolution.effectiveRate, 48000);
  EXPECT_EQ(r.rateResolution.source, "output_device_nominal");
  EXPECT_EQ(r.nativeRate, 48000);
  EXPECT_EQ(pipeline().tapAsbdRate(), 44100);
  EXPECT_TRUE(pipeline().stop(1 * kSec, "ctx"));
}

TEST_F(SystemPipelineTest, IOProcCountersWithDebugging) {
  gDebugIOProc.store(true);
  std::vector<Event> events;
  std::mutex mu;
  SystemPipeline own(system->writer(), [&](const Event& e) {
    std::lock_guard lock(mu);
    events.push_back(e);
  });
  own.start(*system, std::nullopt, false);
  gDebugIOProc.store(false);
  simt::advance(100 * kMs);
  const IOProcStats s = own.ioProcStats();
  EXPECT_GT(s.callCount, 0u);
  EXPECT_EQ(s.lastMNumberBuffers, 1u);
  EXPECT_EQ(s.lastMNumberChannels, 2u);
  EXPECT_EQ(s.lastMDataByteSize, 512u * 8);
  EXPECT_EQ(s.totalBytes, s.callCount * 512 * 8);
  EXPECT_TRUE(own.stop(1 * kSec, "ctx"));
}

// A graph stop happens at every rebuild: a mic switch waiting for its
// debounce must survive it.
TEST_F(SystemPipelineTest, AGraphStopKeepsAPendingMicSwitch) {
  std::vector<platform::dispatch::WorkItemPtr> armed;
  auto following = std::make_shared<DeviceFollowingState>(
      [] { return uint64_t{0}; }, DeviceFollowingState::kDefaultDebounceWindowNs,
      DeviceFollowingState::kDefaultRecentlyDisconnectedWindowNs, DeviceFollowingState::kDefaultMaxDisconnectedEntries,
      [&](const platform::dispatch::QueuePtr&, uint64_t, const platform::dispatch::WorkItemPtr& item) {
        armed.push_back(item);
      });
  int switched = 0;
  following->scheduleDebounce(9, nullptr, [&](uint32_t) { ++switched; });
  startSystemTapGraph(*system, std::nullopt, true);
  EXPECT_TRUE(stopActiveSystemTapGraph(*system, 3.0, "ctx"));
  EXPECT_EQ(following->pendingDeviceID(), 9u);
  ASSERT_EQ(armed.size(), 1u);
  armed[0]->perform();
  EXPECT_EQ(switched, 1);
}

}  // namespace
}  // namespace helper
