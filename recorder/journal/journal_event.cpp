#include "recorder/journal/journal_event.h"

#include <array>

namespace recorder::journal {
namespace {

constexpr std::array<std::string_view, 15> kSessionPhaseNames = {
    "idle",
    "starting",
    "recording",
    "recording_with_warnings",
    "pausing",
    "paused",
    "resuming",
    "stopping",
    "finalizing",
    "upload_ready",
    "uploading",
    "done",
    "recovering",
    "failed_can_finalize",
    "failed_terminal",
};

constexpr std::array<std::string_view, 9> kDeviceClassNames = {
    "built_in_mic", "bluetooth_mic", "usb_mic",        "built_in_speakers", "bluetooth_output",
    "usb_output",   "hdmi_output",   "headphone_jack", "unknown",
};

constexpr std::array<std::string_view, 2> kExportMethodNames = {"live_candidate", "fallback_caf"};

constexpr std::array<std::string_view, kJournalEventKindCount> kEventTags = {
    "session_created",
    "session_abandoned",
    "intent_changed",
    "command_sent",
    "command_rejected",
    "helper_started",
    "helper_ready",
    "helper_exited",
    "helper_unresponsive",
    "source_started",
    "source_recovered",
    "source_failed",
    "source_health",
    "segment_opened",
    "segment_closed",
    "device_changed",
    "device_followback_suppressed",
    "output_device_detected",
    "output_device_changed",
    "fence_requested",
    "fence_acked",
    "fence_timeout",
    "pause_epoch_started",
    "pause_epoch_ended",
    "phase_changed",
    "candidate_validation_started",
    "candidate_rejected",
    "export_started",
    "export_completed",
    "export_failed",
    "final_audio_hashed",
    "upload_started",
    "upload_completed",
    "upload_failed",
    "transcription_job_created",
    "source_cleanup_completed",
    "cleanup_failed",
    "final_audio_deleted",
    "recovery_started",
    "recovery_completed",
    "source_overflow",
    "disk_preflight_passed",
    "disk_preflight_failed",
    "disk_low_warning",
    "disk_hard_stop",
    "protocol_error",
    "unknown",
};

template <class E, std::size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string_view to_string(SessionPhase value) { return kSessionPhaseNames.at(static_cast<std::size_t>(value)); }
std::string_view to_string(DeviceClass value) { return kDeviceClassNames.at(static_cast<std::size_t>(value)); }
std::string_view to_string(ExportMethod value) { return kExportMethodNames.at(static_cast<std::size_t>(value)); }

std::optional<SessionPhase> session_phase_from_string(std::string_view text) {
  return lookup<SessionPhase>(kSessionPhaseNames, text);
}
std::optional<DeviceClass> device_class_from_string(std::string_view text) {
  return lookup<DeviceClass>(kDeviceClassNames, text);
}
std::optional<ExportMethod> export_method_from_string(std::string_view text) {
  return lookup<ExportMethod>(kExportMethodNames, text);
}

std::string_view event_tag(std::size_t position) {
  return position < kEventTags.size() ? kEventTags[position] : kEventTags.back();
}

}  // namespace recorder::journal
