#pragma once
// The system path, from the platform's IO thread to the system writer,
// under one owner: the process tap that hears every process but ours, the
// private aggregate device that carries it, the IO proc registered on it,
// the tap gate, the drain handshake, the IO proc's counters and, per
// started graph, the ring with its consumer thread "tasmerig-sys-consumer".
// At most one graph runs at a time.
//
// Threads, per method:
//   IO thread      the IO proc (nothing else); it allocates nothing, takes
//                  no lock and makes no system call;
//   graph owner    start, stop, tearDownAndClose, awaitConsumer: the
//                  start-up's main thread, later the rebuild path, and the
//                  stop path, all serialised by the system source's
//                  graph lock;
//   any thread     the gate, the drain handshake, hasConsumer and the
//                  read-only accessors, which are atomics or semaphores.
// The destructor tears the graph down and joins every consumer.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "helper/core/await/drain_request.h"
#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/command_line.h"
#include "helper/ring/callback_gate.h"
#include "helper/routing/device_properties.h"
#include "helper/routing/source_recovery_proof.h"
#include "helper/routing/system_rate_resolution.h"
#include "platform/audio/hal/hal.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

class SegmentWriter;
class SystemSource;
struct SystemConsumerRun;

// A start that could not complete: "reason" and "ctx" as the host sees them.
struct SystemTapGraphError : std::runtime_error {
  SystemTapGraphError(std::string reason, std::string ctx)
      : std::runtime_error(reason + ": " + ctx), reason(std::move(reason)), ctx(std::move(ctx)) {}
  std::string reason;
  std::string ctx;
};

struct SystemTapStartResult {
  std::string outputUID;
  std::string outputName;  // "Unknown Speakers" when unreadable
  OutputDeviceClassification outputClassification;
  double nativeRate = 0;  // the effective rate
  int64_t nativeChannels = 0;
  bool nativeInterleaved = true;
  int64_t tapChannels = 0;
  ResolvedRate rateResolution;
  std::optional<double> outputNominalRate;
  std::optional<double> aggregateNominalRate;
  std::string outputTransport;
};

// The IO proc's counters (with --debug-ioproc only).
struct IOProcStats {
  uint64_t callCount = 0;
  uint32_t lastMNumberBuffers = 0;
  uint32_t lastMNumberChannels = 0;
  uint32_t lastMDataByteSize = 0;
  uint64_t totalBytes = 0;  // pushed or dropped alike
};

inline constexpr const char* kAggregateDeviceName = "Vorlanthea Tap Device";
inline constexpr const char* kUnknownSpeakersName = "Unknown Speakers";
inline constexpr uint64_t kIOProcStatsIntervalNs = 1'000'000'000ULL;

class SystemPipeline {
 public:
  using FrameProofSink = std::function<void(const SourceRecoveryFrameProof&)>;

  // `proofSink` receives the frame proofs; the system source's recovery
  // unless a test supplies its own.
  explicit SystemPipeline(std::shared_ptr<SegmentWriter> writer, EventSink sink = emitEvent,
                          FrameProofSink proofSink = {});
  ~SystemPipeline();
  SystemPipeline(const SystemPipeline&) = delete;
  SystemPipeline& operator=(const SystemPipeline&) = delete;

  // Graph owner: builds and starts the graph for the preferred output
  // device, else the default output, else the default system output; with
  // `openSegment` the writer's next segment is open before the consumer
  // starts. Throws SystemTapGraphError; what was created by then stays
  // registered until stop(). `source` (which owns this object) gives the
  // configuration and, through its session, the mic's device, and
  // receives the output device's fields.
  SystemTapStartResult start(SystemSource& source, std::optional<uint32_t> preferredOutputDeviceID, bool openSegment);

  // Graph owner: tears the graph down and waits up to joinTimeoutNs for its
  // consumer to drain the ring and end. False after a time-out, with the
  // warning "consumer_join_timeout" (`timeoutContext` + "; leaving old
  // system ring allocated"); that ring is then never freed while the
  // process lives. True when there was no consumer.
  bool stop(uint64_t joinTimeoutNs, const std::string& timeoutContext);

  // Graph owner, the stop path's two halves: closes the gate, stops and
  // destroys the IO proc, the aggregate device and the tap, and closes the
  // ring; then waits for the consumer (false on a time-out, which the
  // caller reports).
  void tearDownAndClose();
  bool awaitConsumer(uint64_t timeoutNs);

  // A consumer thread exists for the current graph (so a drain can be answered).
  bool hasConsumer() const { return hasConsumer_.load(std::memory_order_acquire); }

  // The gate of the IO proc (gSystemTapEnabled where the path was
  // process-wide), opened and closed on any thread but the IO thread.
  // Closing waits (bounded) for IO proc calls already past the gate.
  void openTap() { tapGate_.enabled().store(1); }
  bool closeTap() { return tapGate_.closeAndWait(kCallbackGateWaitNs); }
  bool tapOpen() const { return tapGate_.isOpen(); }
  // Closes the gate, then has the consumer (when one runs) write what the
  // ring still holds; false when that drain timed out. Any thread.
  bool closeTapAndDrain(uint64_t timeoutNs) {
    // IO proc calls already past the gate may still push: the drain must
    // come after them, so closing waits for them.
    closeTap();
    return !hasConsumer() || requestDrain(drainRequested_, drainDone_, timeoutNs);
  }
  // The drain handshake (gSystemDrainRequested and gSystemDrainDone). Any thread.
  std::atomic<uint32_t>& drainRequested() { return drainRequested_; }
  platform::dispatch::Semaphore& drainDone() { return drainDone_; }
  // The consumer's cadence window starts afresh with its next chunk: the
  // time a pause left out is no drift. Set by any thread, taken by the consumer.
  void restartCadenceWindow() { cadenceRestart_.store(true, std::memory_order_release); }
  bool takeCadenceRestart() { return cadenceRestart_.exchange(false, std::memory_order_acq_rel); }

  const std::shared_ptr<SegmentWriter>& writer() const { return writer_; }
  const EventSink& sink() const { return sink_; }
  // Null when the system source's recovery is to be used.
  const FrameProofSink& proofSink() const { return proofSink_; }

  // What the current (or last) graph holds; 0 for none. Any thread.
  uint32_t tapID() const { return tapID_.load(); }
  uint32_t aggregateDeviceID() const { return aggregateDeviceID_.load(); }
  uint32_t ioProcID() const { return ioProcID_.load(); }
  double tapAsbdRate() const;
  IOProcStats ioProcStats() const;

  // The IO proc context, shared with the statistics timer.
  struct IOShared;

 private:
  void startStatsTimer();
  std::shared_ptr<SystemConsumerRun> prepareRun(const CaptureConfig& config, const ResolvedRate& rate,
                                                uint32_t tapChannels, bool interleaved, const std::string& outputUID);

  const std::shared_ptr<SegmentWriter> writer_;
  const EventSink sink_;
  const FrameProofSink proofSink_;
  const std::shared_ptr<IOShared> io_;

  CallbackGate tapGate_;
  std::atomic<uint32_t> drainRequested_{0};
  platform::dispatch::Semaphore drainDone_{0};
  std::atomic<bool> hasConsumer_{false};
  std::atomic<bool> cadenceRestart_{false};

  // Graph owner only.
  platform::audio::hal::TapDescription tapDescription_;
  std::atomic<uint32_t> tapID_{0};
  std::atomic<uint32_t> aggregateDeviceID_{0};
  std::atomic<uint32_t> ioProcID_{0};
  std::unique_ptr<platform::dispatch::Timer> statsTimer_;
  std::shared_ptr<SystemConsumerRun> run_;
  // Runs whose consumer a stop gave up waiting for: kept, never freed
  // while their thread may still read them.
  std::vector<std::shared_ptr<SystemConsumerRun>> retiredRuns_;
};

// The object id of the process with `pid`; nothing when it has none.
std::optional<uint32_t> translatePIDToProcessObjectID(int32_t pid);

// The graph operations under the names the rest of the helper uses; both
// act on the system source's pipeline.
SystemTapStartResult startSystemTapGraph(SystemSource& source, std::optional<uint32_t> preferredOutputDeviceID,
                                         bool openSegment);
bool stopActiveSystemTapGraph(SystemSource& source, double joinTimeoutSeconds, const std::string& timeoutContext);

}  // namespace helper
