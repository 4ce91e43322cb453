// Which host commands the standard-input reader handles itself, and which
// event types survive back-pressure on the event bus.
#include <optional>
#include <string>

#include "helper/core/bus/event_bus.h"
#include "helper/selftest/control_plane_checks.h"

namespace helper {

void runCommandRoutingChecks(TestReport& report) {
  for (const char* type : {"heartbeat", "stop", "shutdown"}) {
    report.check(std::string("command_bypasses_main_queue_") + type, commandBypassesMainQueue(std::string(type)),
                 std::string(type) + " should be handled on the stdin reader thread");
  }
  for (const char* type : {"pause", "resume", "unknown"}) {
    report.check(std::string("command_uses_main_queue_") + type, !commandBypassesMainQueue(std::string(type)),
                 std::string(type) + " should stay on the existing main-queue path");
  }
  report.check("missing_command_uses_main_queue", !commandBypassesMainQueue(std::nullopt),
               "missing type should follow normal protocol-error path");
}

void runEventPriorityChecks(TestReport& report) {
  report.check("heartbeat_event_is_critical", EventBus::isCriticalEventType("heartbeat"),
               "heartbeat ACKs must not be dropped behind level events");
  report.check("level_event_is_droppable", !EventBus::isCriticalEventType("level"),
               "level telemetry should remain droppable under backpressure");
  for (const char* type :
       {"session_end", "fatal_error", "stop_fence_complete", "pause_fence_complete", "resume_fence_complete",
        "segment_closed", "capture_started", "segment_opened", "session_start", "helper_ready", "protocol_error",
        "device_change", "device_changed", "output_device_detected", "output_device_changed", "source_reconnecting",
        "source_recovered", "source_failed", "warning"}) {
    report.check(std::string("critical_event_") + type, EventBus::isCriticalEventType(type),
                 std::string(type) + " must survive event bus backpressure");
  }
  for (const char* type : {"level", "ioproc_stats", "progress", "source_overflow", "route_variance",
                           "tap_format_change", "first_frame_format", "device_followback_suppressed",
                           "device_followback_revert_failed", "route_trace", "test_segment_written"}) {
    report.check(std::string("droppable_event_") + type, !EventBus::isCriticalEventType(type),
                 std::string(type) + " should not bypass event bus backpressure");
  }
}

}  // namespace helper
