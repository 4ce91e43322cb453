#pragma once
// The session journal's record model: one JournalEntry per line of
// journal.jsonl, an envelope of times around one of 47 tagged event kinds.
// The kinds' order in JournalEvent is their position (a numeric tag on a
// line selects by it, and the durable kinds are named by it).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace recorder::journal {

enum class SessionPhase {
  Idle,
  Starting,
  Recording,
  RecordingWithWarnings,
  Pausing,
  Paused,
  Resuming,
  Stopping,
  Finalizing,
  UploadReady,
  Uploading,
  Done,
  Recovering,
  FailedCanFinalize,
  FailedTerminal,
};

enum class DeviceClass {
  BuiltInMic,
  BluetoothMic,
  UsbMic,
  BuiltInSpeakers,
  BluetoothOutput,
  UsbOutput,
  HdmiOutput,
  HeadphoneJack,
  Unknown,
};

enum class ExportMethod { LiveCandidate, FallbackCaf };

// Five named reasons, or `Unknown` with a text of its own.
struct FailureReason {
  enum class Kind { PermissionDenied, DeviceNotFound, DeviceLost, HelperCrashed, ProtocolError, Unknown };
  Kind kind = Kind::Unknown;
  std::string unknown_text;  // only for Kind::Unknown

  static FailureReason named(Kind kind) { return FailureReason{kind, {}}; }
  static FailureReason unknown(std::string text) { return FailureReason{Kind::Unknown, std::move(text)}; }
  bool operator==(const FailureReason&) const = default;
};

// The value strings of the enumerations ("recording_with_warnings", ...).
std::string_view to_string(SessionPhase value);
std::string_view to_string(DeviceClass value);
std::string_view to_string(ExportMethod value);
std::optional<SessionPhase> session_phase_from_string(std::string_view text);
std::optional<DeviceClass> device_class_from_string(std::string_view text);
std::optional<ExportMethod> export_method_from_string(std::string_view text);

// The event kinds, fields in line order.
struct SessionCreated {
  std::string session_id;
  bool mic_requested = false;
  bool system_requested = false;
  bool operator==(const SessionCreated&) const = default;
};
struct SessionAbandoned {
  std::string reason;
  bool operator==(const SessionAbandoned&) const = default;
};
struct IntentChanged {
  std::string from;
  std::string to;
  bool operator==(const IntentChanged&) const = default;
};
struct CommandSent {
  std::string command;
  std::string request_id;
  bool operator==(const CommandSent&) const = default;
};
struct CommandRejected {
  std::string command;
  std::string reason;
  SessionPhase current_phase = SessionPhase::Idle;
  bool operator==(const CommandRejected&) const = default;
};
struct HelperStarted {
  std::uint32_t pid = 0;
  bool operator==(const HelperStarted&) const = default;
};
struct HelperReady {
  std::string protocol_version;
  bool operator==(const HelperReady&) const = default;
};
struct HelperExited {
  std::optional<std::int32_t> code;
  bool operator==(const HelperExited&) const = default;
};
struct HelperUnresponsive {
  bool operator==(const HelperUnresponsive&) const = default;
};
struct SourceStarted {
  std::string source;
  std::optional<DeviceClass> device_class;
  std::optional<std::uint32_t> sample_rate;
  bool operator==(const SourceStarted&) const = default;
};
struct SourceRecovered {
  std::string source;
  bool operator==(const SourceRecovered&) const = default;
};
struct SourceFailed {
  std::string source;
  FailureReason reason;
  bool recoverable = false;
  bool operator==(const SourceFailed&) const = default;
};
struct SourceHealth {
  std::string source;
  std::string status;
  std::optional<std::uint64_t> duration_ms;  // the key is left off the line when absent
  bool operator==(const SourceHealth&) const = default;
};
struct SegmentOpened {
  std::string source;
  std::uint64_t index = 0;
  std::string path;
  bool operator==(const SegmentOpened&) const = default;
};
struct SegmentClosed {
  std::string source;
  std::uint64_t index = 0;
  std::uint64_t frames = 0;
  std::uint64_t duration_ms = 0;
  std::uint64_t bytes = 0;
  bool operator==(const SegmentClosed&) const = default;
};
struct DeviceChanged {
  std::string source;
  std::optional<DeviceClass> from_class;
  DeviceClass to_class = DeviceClass::Unknown;
  bool operator==(const DeviceChanged&) const = default;
};
struct DeviceFollowbackSuppressed {
  std::string source;
  DeviceClass device_class = DeviceClass::Unknown;
  std::string reason;
  bool operator==(const DeviceFollowbackSuppressed&) const = default;
};
struct OutputDeviceDetected {
  DeviceClass device_class = DeviceClass::Unknown;
  bool echo_risk = false;
  bool operator==(const OutputDeviceDetected&) const = default;
};
struct OutputDeviceChanged {
  DeviceClass device_class = DeviceClass::Unknown;
  bool echo_risk_after = false;
  bool operator==(const OutputDeviceChanged&) const = default;
};
struct FenceRequested {
  std::string fence_type;
  std::string request_id;
  bool operator==(const FenceRequested&) const = default;
};
struct FenceAcked {
  std::string fence_type;
  std::string request_id;
  bool operator==(const FenceAcked&) const = default;
};
struct FenceTimeout {
  std::string fence_type;
  std::string request_id;
  bool operator==(const FenceTimeout&) const = default;
};
struct PauseEpochStarted {
  std::uint64_t epoch = 0;
  std::uint64_t logical_time_ms = 0;
  bool operator==(const PauseEpochStarted&) const = default;
};
struct PauseEpochEnded {
  std::uint64_t epoch = 0;
  bool operator==(const PauseEpochEnded&) const = default;
};
struct PhaseChanged {
  SessionPhase from = SessionPhase::Idle;
  SessionPhase to = SessionPhase::Idle;
  bool operator==(const PhaseChanged&) const = default;
};
struct CandidateValidationStarted {
  bool operator==(const CandidateValidationStarted&) const = default;
};
struct CandidateRejected {
  std::string reason;
  bool operator==(const CandidateRejected&) const = default;
};
struct ExportStarted {
  ExportMethod method = ExportMethod::FallbackCaf;
  bool operator==(const ExportStarted&) const = default;
};
struct ExportCompleted {
  ExportMethod method = ExportMethod::FallbackCaf;
  std::uint64_t duration_ms = 0;
  std::string output_path;
  std::uint64_t output_bytes = 0;
  bool operator==(const ExportCompleted&) const = default;
};
struct ExportFailed {
  ExportMethod method = ExportMethod::FallbackCaf;
  std::string reason;
  bool operator==(const ExportFailed&) const = default;
};
struct FinalAudioHashed {
  std::string sha256;
  std::uint64_t bytes = 0;
  std::string path;
  bool operator==(const FinalAudioHashed&) const = default;
};
struct UploadStarted {
  std::string idempotency_key;
  std::uint32_t attempt = 0;
  bool operator==(const UploadStarted&) const = default;
};
struct UploadCompleted {
  bool operator==(const UploadCompleted&) const = default;
};
struct UploadFailed {
  std::string reason;
  std::uint32_t attempt = 0;
  bool recoverable = false;
  bool operator==(const UploadFailed&) const = default;
};
struct TranscriptionJobCreated {
  std::string job_id;
  std::string idempotency_key;
  bool operator==(const TranscriptionJobCreated&) const = default;
};
struct SourceCleanupCompleted {
  bool operator==(const SourceCleanupCompleted&) const = default;
};
struct CleanupFailed {
  std::string reason;
  bool operator==(const CleanupFailed&) const = default;
};
struct FinalAudioDeleted {
  bool operator==(const FinalAudioDeleted&) const = default;
};
struct RecoveryStarted {
  bool operator==(const RecoveryStarted&) const = default;
};
struct RecoveryCompleted {
  std::uint64_t segments_recovered = 0;
  bool operator==(const RecoveryCompleted&) const = default;
};
struct SourceOverflow {
  std::string source;
  std::uint64_t dropped_bytes = 0;
  std::uint64_t dropped_frames_estimate = 0;
  bool operator==(const SourceOverflow&) const = default;
};
struct DiskPreflightPassed {
  std::uint64_t free_bytes = 0;
  std::uint64_t estimated_bytes = 0;
  bool operator==(const DiskPreflightPassed&) const = default;
};
struct DiskPreflightFailed {
  std::uint64_t free_bytes = 0;
  std::uint64_t estimated_bytes = 0;
  bool operator==(const DiskPreflightFailed&) const = default;
};
struct DiskLowWarning {
  std::uint64_t free_bytes = 0;
  bool operator==(const DiskLowWarning&) const = default;
};
struct DiskHardStop {
  std::uint64_t free_bytes = 0;
  bool operator==(const DiskHardStop&) const = default;
};
struct ProtocolError {
  std::string detail;
  bool operator==(const ProtocolError&) const = default;
};
// Any line whose tag names none of the kinds above.
struct Unknown {
  bool operator==(const Unknown&) const = default;
};

using JournalEvent =
    std::variant<SessionCreated, SessionAbandoned, IntentChanged, CommandSent, CommandRejected, HelperStarted,
                 HelperReady, HelperExited, HelperUnresponsive, SourceStarted, SourceRecovered, SourceFailed,
                 SourceHealth, SegmentOpened, SegmentClosed, DeviceChanged, DeviceFollowbackSuppressed,
                 OutputDeviceDetected, OutputDeviceChanged, FenceRequested, FenceAcked, FenceTimeout, PauseEpochStarted,
                 PauseEpochEnded, PhaseChanged, CandidateValidationStarted, CandidateRejected, ExportStarted,
                 ExportCompleted, ExportFailed, FinalAudioHashed, UploadStarted, UploadCompleted, UploadFailed,
                 TranscriptionJobCreated, SourceCleanupCompleted, CleanupFailed, FinalAudioDeleted, RecoveryStarted,
                 RecoveryCompleted, SourceOverflow, DiskPreflightPassed, DiskPreflightFailed, DiskLowWarning,
                 DiskHardStop, ProtocolError, Unknown>;

inline constexpr std::size_t kJournalEventKindCount = std::variant_size_v<JournalEvent>;
static_assert(kJournalEventKindCount == 47);

// The tag written under "type" for the kind at a position ("unknown" for 46).
std::string_view event_tag(std::size_t position);
inline std::string_view event_tag(const JournalEvent& event) { return event_tag(event.index()); }

// The kinds whose appends are forced to stable storage, as a set of positions.
inline constexpr std::uint64_t kDurableKindMask = 0x1D2F75F6C883ULL;
inline bool is_durable(const JournalEvent& event) {
  return event.index() < 64 && ((kDurableKindMask >> event.index()) & 1U) != 0;
}

struct JournalEntry {
  std::uint32_t schema_version = 1;
  std::uint64_t monotonic_ms = 0;
  std::int64_t wall_utc_ms = 0;
  JournalEvent event;
  bool operator==(const JournalEntry&) const = default;
};

}  // namespace recorder::journal
