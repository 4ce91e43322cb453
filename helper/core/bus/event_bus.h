#pragma once
// The helper's one channel to its host: event lines (one compact JSON
// object each) on standard error. Producers serialise on their own thread
// and append to a bounded buffer; one writer thread drains it, so no
// producer ever blocks on the pipe. Only droppable types are ever dropped.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "helper/source.h"
#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

using Event = nlohmann::json;

class EventBus {
 public:
  static constexpr size_t kCapacity = 256;
  static constexpr uint64_t kFlushWaitNs = 2'000'000'000ULL;

  // `fd` is where lines go (standard error outside tests).
  explicit EventBus(int fd = 2);
  ~EventBus();
  EventBus(const EventBus&) = delete;
  EventBus& operator=(const EventBus&) = delete;

  void start();
  void enqueue(const Event& event);
  // Stops the bus and waits at most 2 s for the writer to drain and end.
  // Not checked: it waits on a condition variable, with a std::unique_lock the analysis cannot follow.
  void flushAndStop() VR_NO_THREAD_SAFETY_ANALYSIS;
  // Writes one line at once on the calling thread, bypassing the buffer.
  void writeDirectly(const Event& event);

  static bool isCriticalEventType(const std::string& type);
  // One line of the wire format: compact JSON and "\n". Non-finite numbers
  // become null and invalid UTF-8 becomes U+FFFD, so no event is lost to
  // serialisation.
  static std::string serializeLine(const Event& event);

 private:
  void writerLoop();

  const int fd_;
  std::mutex mu_;  // guards buffer_, droppedCount_, stopped_
  std::vector<std::string> buffer_ VR_GUARDED_BY(mu_);
  uint64_t droppedCount_ VR_GUARDED_BY(mu_) = 0;
  bool stopped_ VR_GUARDED_BY(mu_) = false;
  platform::dispatch::Semaphore semaphore_{0};

  std::mutex writerMu_;  // guards writer_ and writerEnded_
  std::condition_variable writerEndedCv_;
  std::thread writer_ VR_GUARDED_BY(writerMu_);
  bool writerEnded_ VR_GUARDED_BY(writerMu_) = false;
};

// The process's bus. Never destroyed: threads may still enqueue while the
// process exits.
extern EventBus& gEventBus;
// Whether route traces go out; set once at start-up.
extern std::atomic<bool> gRouteTraceEnabled;
// Reads VORLANTHEA_ROUTE_TRACE: on exactly for "1", "true" or "yes" in any case.
bool routeTraceEnabledFromEnvironment();

void emitEvent(const Event& event);
// Where a component sends its own events: emitEvent unless a test
// supplies its own.
using EventSink = std::function<void(const Event&)>;
// Enqueues each event in order.
void emitAll(const std::vector<Event>& events);
void emitWarning(const std::string& code, const std::string& ctx);
// Enqueues a "route_trace" event when route tracing is on; nothing otherwise.
void emitRouteTrace(const std::string& stage, const std::optional<std::string>& source = std::nullopt,
                    const nlohmann::json& fields = nlohmann::json::object());
inline void emitRouteTrace(const std::string& stage, Source source,
                           const nlohmann::json& fields = nlohmann::json::object()) {
  emitRouteTrace(stage, std::optional<std::string>(sourceName(source)), fields);
}
// Commands the standard-input reader handles on its own thread.
bool commandBypassesMainQueue(const std::optional<std::string>& type);
// "pause", "resume", "stop" and "shutdown": refused without a request_id.
bool commandRequiresRequestId(const std::string& type);
// A command's "request_id" when it is a string, else "" (which counts as missing).
std::string commandRequestId(const nlohmann::json& message);

}  // namespace helper
