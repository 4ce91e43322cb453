#pragma once
// The finalisation of one session directory: reuse a valid final/upload.m4a,
// promote a validated live candidate, or rebuild the audio from the
// segments (timelines, echo cancellation, mix, AAC encode); then validate,
// hash, derive the idempotency key, write the report and the digest file,
// and journal each step.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "recorder/export/report.h"
#include "recorder/export/validation.h"
#include "recorder/journal/journal.h"
#include "recorder/recovery/io_error.h"
#include "recorder/recovery/plan.h"

namespace recorder::exporter {

inline constexpr const char* kFinalDirName = "final";
inline constexpr const char* kUploadFileName = "upload.m4a";
inline constexpr const char* kCandidateFileName = "candidate.m4a";
inline constexpr const char* kMixedFileName = "mixed.caf";
inline constexpr const char* kReportFileName = "export-report.json";
inline constexpr const char* kDigestFileName = "final-audio.sha256";
inline constexpr const char* kMicTimelineFileName = "mic_timeline.caf";
inline constexpr const char* kSystemTimelineFileName = "system_timeline.caf";
inline constexpr const char* kMicCleanedFileName = "mic_cleaned.caf";
// The final file as journalled and reported, relative to the session directory.
inline constexpr const char* kUploadRelativePath = "final/upload.m4a";

struct FinalizeRequest {
  std::string session_id;
  std::string session_dir;
  // Expected length of the recording in milliseconds; 0 when there is none.
  std::uint64_t expected_ms = 0;
  // False when expected_ms was not given by the host but estimated from the
  // segments: the rebuild then keeps all the material instead of trimming
  // to the estimate.
  bool expected_from_host = true;
  bool invalidate_candidate = true;
  bool has_mic = false;
  bool has_system = false;
  // Warnings found before the finalisation (a journal left out), reported first.
  std::vector<std::string> warnings;
};

struct FinalizeResult {
  ExportReport report;
  std::filesystem::path output_path;
  std::string sha256;
  std::string idempotency_key;
};

// A FinalizeResult or a FinalizationError.
class FinalizeOutcome {
 public:
  FinalizeOutcome(FinalizeResult result) : v_(std::move(result)) {}
  FinalizeOutcome(FinalizationError error) : v_(std::move(error)) {}
  FinalizeOutcome(IoError error) : v_(FinalizationError(std::move(error))) {}

  bool ok() const { return v_.index() == 0; }
  const FinalizeResult& value() const { return std::get<0>(v_); }
  const FinalizationError& error() const { return std::get<1>(v_); }
  // Of a failure: the warnings gathered before it (what was left out), which explain it.
  const std::vector<std::string>& warnings() const { return warnings_; }
  void set_warnings(std::vector<std::string> warnings) { warnings_ = std::move(warnings); }

 private:
  std::variant<FinalizeResult, FinalizationError> v_;
  std::vector<std::string> warnings_;
};

// The system services the finalisation uses, replaceable for tests.
struct FinalizeServices {
  // Forces a file's content to stable storage.
  std::function<IoResult<void>(const std::filesystem::path&)> sync_file;
  static FinalizeServices defaults();
};

// Runs the finalisation over the segments of `plan`, the recovery plan of
// the session directory (a source counts only when the request has it): the
// directory is not listed again, so the audio is rebuilt from exactly the
// segments the plan counted. The manifest is read once, when first needed.
// An exclusive lock on the session's "final" directory is held throughout;
// a second finalisation of the same session fails at once. Journal append
// failures never change the course.
FinalizeOutcome finalize_session(const FinalizeRequest& request, const recovery::RecoveryPlan& plan,
                                 const AudioValidator& validator, journal::JournalWriter& journal,
                                 const FinalizeServices& services = FinalizeServices::defaults());

// The same for a caller without a plan: the requested sources' segments are
// listed once first. A listing error fails the rebuild, not the reuse of a
// valid final file or the promotion of a candidate.
FinalizeOutcome finalize_session(const FinalizeRequest& request, const AudioValidator& validator,
                                 journal::JournalWriter& journal,
                                 const FinalizeServices& services = FinalizeServices::defaults());

// Writes `bytes` to `path` through a temporary file beside it and a rename,
// so that readers see the old content or the new, never a part.
IoResult<void> write_file_replacing(const std::filesystem::path& path, std::string_view bytes);

}  // namespace recorder::exporter
