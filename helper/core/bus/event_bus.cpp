#include "helper/core/bus/event_bus.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "helper/core/bus/fd_write.h"
#include "platform/clock/clock.h"

namespace helper {
namespace {

constexpr std::array<std::string_view, 20> kCriticalTypes = {"session_end",
                                                             "fatal_error",
                                                             "stop_fence_complete",
                                                             "pause_fence_complete",
                                                             "resume_fence_complete",
                                                             "segment_closed",
                                                             "capture_started",
                                                             "segment_opened",
                                                             "session_start",
                                                             "helper_ready",
                                                             "protocol_error",
                                                             "device_change",
                                                             "device_changed",
                                                             "output_device_detected",
                                                             "output_device_changed",
                                                             "source_reconnecting",
                                                             "source_recovered",
                                                             "source_failed",
                                                             "warning",
                                                             "heartbeat"};

std::string eventType(const Event& event) {
  if (!event.is_object()) return "";
  auto it = event.find("type");
  if (it == event.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

}  // namespace

EventBus::EventBus(int fd) : fd_(fd) {}

EventBus::~EventBus() {
  flushAndStop();
  // The writer uses this object until it ends, so destruction waits for it.
  // The process-wide bus is never destroyed, so this never delays an exit.
  std::thread writer;
  {
    std::lock_guard lock(writerMu_);
    writer.swap(writer_);
  }
  if (writer.joinable()) writer.join();
}

bool EventBus::isCriticalEventType(const std::string& type) {
  for (auto t : kCriticalTypes) {
    if (t == type) return true;
  }
  return false;
}

std::string EventBus::serializeLine(const Event& event) {
  std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line.push_back('\n');
  return line;
}

void EventBus::start() {
  std::lock_guard lock(writerMu_);
  if (writer_.joinable()) return;
  writer_ = platform::dispatch::startNamedThread("eventbus-writer", [this] { writerLoop(); });
}

void EventBus::enqueue(const Event& event) {
  std::string line = serializeLine(event);
  const bool critical = isCriticalEventType(eventType(event));
  {
    std::lock_guard lock(mu_);
    if (stopped_) {
      // discarded, not counted
    } else if (!critical && buffer_.size() >= kCapacity) {
      ++droppedCount_;
    } else {
      buffer_.push_back(std::move(line));
    }
  }
  semaphore_.signal();
}

void EventBus::writerLoop() {
  std::vector<std::string> batch;
  for (;;) {
    semaphore_.wait();
    uint64_t dropped;
    bool stopped;
    {
      std::lock_guard lock(mu_);
      batch.swap(buffer_);
      dropped = droppedCount_;
      droppedCount_ = 0;
      stopped = stopped_;
    }
    if (dropped > 0) {
      writeAll(fd_, serializeLine(
                        Event{{"type", "warning"},
                              {"code", "events_dropped"},
                              {"ctx", std::to_string(dropped) + " droppable events dropped due to backpressure"}}));
    }
    for (const auto& line : batch) writeAll(fd_, line);
    batch.clear();
    if (stopped) {
      {
        std::lock_guard lock(mu_);
        batch.swap(buffer_);
      }
      for (const auto& line : batch) writeAll(fd_, line);
      break;
    }
  }
  std::lock_guard lock(writerMu_);
  writerEnded_ = true;
  writerEndedCv_.notify_all();
}

void EventBus::flushAndStop() {
  {
    std::lock_guard lock(mu_);
    stopped_ = true;
  }
  semaphore_.signal();
  std::unique_lock lock(writerMu_);
  if (!writer_.joinable()) return;
  writerEndedCv_.wait_for(lock, std::chrono::nanoseconds(kFlushWaitNs),
                          [this]() VR_REQUIRES(writerMu_) { return writerEnded_; });
}

void EventBus::writeDirectly(const Event& event) { writeAll(fd_, serializeLine(event)); }

EventBus& gEventBus = *new EventBus();
std::atomic<bool> gRouteTraceEnabled{false};

bool routeTraceEnabledFromEnvironment() {
  const char* raw = std::getenv("VORLANTHEA_ROUTE_TRACE");
  if (raw == nullptr) return false;
  std::string v(raw);
  std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return v == "1" || v == "true" || v == "yes";
}

void emitEvent(const Event& event) { gEventBus.enqueue(event); }

void emitAll(const std::vector<Event>& events) {
  for (const auto& e : events) gEventBus.enqueue(e);
}

void emitWarning(const std::string& code, const std::string& ctx) {
  gEventBus.enqueue(Event{{"type", "warning"}, {"code", code}, {"ctx", ctx}});
}

void emitRouteTrace(const std::string& stage, const std::optional<std::string>& source, const nlohmann::json& fields) {
  if (!gRouteTraceEnabled.load(std::memory_order_relaxed)) return;
  Event e{{"type", "route_trace"},
          {"stage", stage},
          {"ts", static_cast<int64_t>(platform::clock::hostTimeNs())},
          {"fields", fields.is_object() ? fields : nlohmann::json::object()}};
  if (source) e["source"] = *source;
  gEventBus.enqueue(e);
}

bool commandBypassesMainQueue(const std::optional<std::string>& type) {
  return type && (*type == "heartbeat" || *type == "stop" || *type == "shutdown");
}

bool commandRequiresRequestId(const std::string& type) {
  return type == "pause" || type == "resume" || type == "stop" || type == "shutdown";
}

std::string commandRequestId(const nlohmann::json& message) {
  if (!message.is_object()) return "";
  const auto it = message.find("request_id");
  return it != message.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace helper
