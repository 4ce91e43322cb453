#include "recorder/export/finalize.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "recorder/aec/echo_canceller.h"
#include "recorder/export/encode.h"
#include "recorder/export/export_constants.h"
#include "recorder/export/hashing.h"
#include "recorder/export/manifest.h"
#include "recorder/export/timeline.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/plan.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;
using journal::JournalEvent;
using journal::JournalWriter;
using recovery::SegmentSource;

// A report read back is no larger than this.
constexpr std::uint64_t kMaxReportBytes = 1024 * 1024;

// A failed append never changes the course of the finalisation.
void journal_append(JournalWriter& journal, const JournalEvent& event) { (void)journal.append(event); }

// Deletes a file (never a directory); a failure is of no consequence.
void remove_ignoring_errors(const fs::path& path) { (void)::unlink(path.c_str()); }

// An exclusive advisory lock on a directory, released when the object goes.
class DirectoryLock {
 public:
  static IoResult<DirectoryLock> acquire(const fs::path& dir) {
    int fd;
    do {
      fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::last_os_error();
    DirectoryLock lock(fd);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) {
        return IoError::other("another finalisation of this session is running (" + dir.string() + " is locked)");
      }
      return IoError::last_os_error();
    }
    return lock;
  }
  DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
  }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_;
};

using Segments = std::vector<recovery::SegmentRecovery>;

// The segments the finalisation works from, listed once, of the sources the
// request has; when a listing failed, its error, and the lists are empty.
struct SessionSegments {
  const Segments& mic;
  const Segments& system;
  const std::optional<IoError>& listing_error;
  // The listings' directory-level warnings, of both sources.
  const std::vector<recovery::RecoveryWarning>& warnings;
};

// More missing indices in a row than this, none of them in the manifest,
// are no gap a recording leaves: files are lost one by one, not by the
// hundred. What lies beyond such a run is a stray file.
constexpr std::uint64_t kMaxUnrecordedMissingRun = 10;

// The segments without the strays: those beyond a run of unrecorded missing
// indices longer than kMaxUnrecordedMissingRun, when they are no more than
// the segments before it (else the run is the recording's own loss). Each
// stray left out adds a warning.
Segments without_strays(const Segments& segments, const SlotMap& slots, const char* source,
                        std::vector<std::string>& warnings) {
  for (std::size_t i = 1; i < segments.size(); ++i) {
    const std::uint64_t a = segments[i - 1].index, b = segments[i].index;
    std::uint64_t unrecorded = b - a - 1;
    for (auto it = slots.upper_bound(a); it != slots.end() && it->first < b; ++it) --unrecorded;
    if (unrecorded <= kMaxUnrecordedMissingRun || segments.size() - i > i) continue;
    for (std::size_t j = i; j < segments.size(); ++j) {
      warnings.push_back(std::string("stray_segment_left_out: ") + source + " segment " +
                         std::to_string(segments[j].index) + " (" + segments[j].path.string() + ") lies " +
                         std::to_string(unrecorded) + " unrecorded segments beyond segment " + std::to_string(a));
    }
    return Segments(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return segments;
}

// The warning for a segment the listing left out as unusable.
std::optional<std::string> unusable_warning(const recovery::RecoveryWarning& warning) {
  const auto* unusable = std::get_if<recovery::UnusableSegment>(&warning);
  if (unusable == nullptr) return std::nullopt;
  return "unusable_segment_left_out: " + std::string(recovery::source_dir_name(unusable->source)) + " segment " +
         std::to_string(unusable->index) + " (" + unusable->path.string() + "): " + unusable->reason;
}

bool holds_audio(const Segments& segments) {
  return std::any_of(segments.begin(), segments.end(), [](const auto& s) { return s.frames != 0; });
}

std::string rate_list(const std::vector<std::uint32_t>& rates) {
  std::string text = "[";
  for (std::size_t i = 0; i < rates.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(rates[i]);
  }
  return text + "]";
}

// A fraction or level with a fixed number of decimals ("NaN" and "inf" as such).
std::string fixed(double value, int decimals) {
  if (std::isnan(value)) return "NaN";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

class Finalizer {
 public:
  Finalizer(const FinalizeRequest& request, const SessionSegments& segments, const AudioValidator& validator,
            JournalWriter& journal, const FinalizeServices& services)
      : request_(request),
        segments_(segments),
        validator_(validator),
        journal_(journal),
        services_(services),
        dir_(request.session_dir),
        final_dir_(dir_ / kFinalDirName),
        upload_(final_dir_ / kUploadFileName),
        host_duration_(request.expected_from_host && request.expected_ms != 0) {}

  FinalizeOutcome run() {
    if (auto r = create_dir_all(final_dir_); !r) return r.error();
    auto lock = DirectoryLock::acquire(final_dir_);
    if (!lock) return lock.error();
    prepare_segments();

    if (path_exists(upload_)) {
      if (auto reused = try_reuse()) return std::move(*reused);
    }

    echo_requested_ = journal::session_echo_risk_from_journal(dir_) && request_.has_mic && request_.has_system;

    auto promoted = settle_candidate();
    if (!promoted) return promoted.error();
    if (*promoted) return export_candidate();
    return rebuild();
  }

 private:
  // The segments and slots the finalisation goes by. An unusable segment's
  // index takes a full slot unless the manifest knows its length: its file
  // says the index existed, also before the first usable segment. Without a
  // length from the host the timeline goes by the file names, so one stray
  // index would make it hours long: strays are left out. With the host's
  // length the target cuts them off anyway.
  void prepare_segments() {
    mic_ = segments_.mic;
    system_ = segments_.system;
    const auto& read = manifest();
    if (read) {
      mic_slots_ = read->mic_slots;
      system_slots_ = read->system_slots;
    }
    for (const auto& warning : segments_.warnings) {
      if (const auto* unusable = std::get_if<recovery::UnusableSegment>(&warning)) {
        auto& slots = unusable->source == SegmentSource::Mic ? mic_slots_ : system_slots_;
        slots.try_emplace(unusable->index, default_slot_frames(kExportRate));
      }
    }
    if (host_duration_ || segments_.listing_error) return;
    mic_ = without_strays(segments_.mic, mic_slots_, "mic", left_out_);
    system_ = without_strays(segments_.system, system_slots_, "system", left_out_);
  }

  // Stage 2: a final file already there. Returns the outcome when it ends the
  // finalisation (reused, or the check failed), nothing to go on.
  std::optional<FinalizeOutcome> try_reuse() {
    // Without a duration from the host, the file is held to the length a
    // rebuild would give it, which is what an earlier run gave it.
    std::uint64_t expected = request_.expected_ms;
    const bool listed = !segments_.listing_error;
    const bool have_segments = listed && (!mic_.empty() || !system_.empty());
    if (!host_duration_ && listed) {
      if (manifest()) expected = frames_to_ms(compute_material_frames(0, mic_, system_, mic_slots_, system_slots_));
    }

    auto validation = validator_.validate_final_audio(upload_, expected);
    if (!validation) return FinalizeOutcome(validation.error());
    if (validation->passed) return reuse(*validation);
    // An invalid file is rebuilt, but never given up while nothing is left
    // to rebuild it from: the rebuild then fails and the file stays.
    if (have_segments) remove_ignoring_errors(upload_);
    return std::nullopt;
  }

  FinalizeOutcome reuse(const FinalAudioValidation& validation) {
    auto digest = compute_sha256(upload_);
    if (!digest) return digest.error();
    auto size = file_status(upload_);
    if (!size) return size.error();
    FinalizeResult result;
    result.report.session_id = request_.session_id;
    result.report.method = ExportMethod::FallbackCaf;
    result.report.duration_ms = validation.duration_ms;
    result.report.bytes = size->size;
    result.report.sha256 = *digest;
    result.report.validation = {validation.decoded_end_to_end, validation.duration_delta_ms};
    result.output_path = upload_;
    result.sha256 = *digest;
    result.idempotency_key = derive_idempotency_key(request_.session_id, *digest);
    // The digest file vouches for the file; when it is missing or speaks of
    // another file it is written again. The report of the run that made the
    // file (its warnings and echo figures) is kept while it speaks of this
    // file; only a missing or foreign one is replaced by the reuse report.
    // A file that cannot be restored (a read-only "final") costs a warning,
    // not the valid upload.
    const auto restore = [&](const char* name, std::string_view bytes) {
      if (auto r = write_file_replacing(final_dir_ / name, bytes); !r) {
        result.report.warnings.push_back(std::string("final_file_not_restored: ") + name + ": " +
                                         r.error().to_string());
      }
    };
    if (!report_names(*digest)) {
      auto text = write_export_report(result.report);
      if (!text) return text.error();
      restore(kReportFileName, *text);
    }
    const auto recorded = read_file_capped(final_dir_ / kDigestFileName, 4096);
    if (!recorded || recorded->bytes != *digest) restore(kDigestFileName, *digest);
    return result;
  }

  // True when "export-report.json" is a report of the file with this digest.
  bool report_names(const std::string& digest) const {
    const auto read = read_file_capped(final_dir_ / kReportFileName, kMaxReportBytes);
    if (!read || read->truncated) return false;
    const auto report = nlohmann::json::parse(read->bytes, nullptr, /*allow_exceptions=*/false);
    if (!report.is_object()) return false;
    const auto sha = report.find("sha256");
    return sha != report.end() && sha->is_string() && sha->get_ref<const std::string&>() == digest;
  }

  // Stage 4. True when the candidate was promoted to the final file.
  IoResult<bool> settle_candidate() {
    const auto candidate = final_dir_ / kCandidateFileName;
    if (!path_exists(candidate)) return false;
    candidate_attempted_ = true;
    if (echo_requested_) {
      if (!segments_.listing_error && !mic_.empty() && !system_.empty()) {
        reject_candidate("echo_risk_aec");
        return false;
      }
    }
    if (request_.invalidate_candidate) {
      reject_candidate("pause_invalidated");
      return false;
    }
    journal_append(journal_, journal::CandidateValidationStarted{});
    auto validation = validator_.validate_final_audio(candidate, request_.expected_ms);
    if (!validation) {
      reject_candidate("validation error: " + validation.error().to_string());
      return false;
    }
    if (!validation->passed) {
      reject_candidate(validation->error.value_or("unknown"));
      return false;
    }
    if (::rename(candidate.c_str(), upload_.c_str()) != 0) return IoError::last_os_error();
    return true;
  }

  void reject_candidate(std::string reason) {
    journal_append(journal_, journal::CandidateRejected{reason});
    candidate_rejected_reason_ = std::move(reason);
  }

  // Stage 5.
  FinalizeOutcome export_candidate() {
    journal_append(journal_, journal::ExportStarted{ExportMethod::LiveCandidate});
    auto size = file_status(upload_);
    if (!size) return size.error();
    journal_append(journal_, journal::ExportCompleted{ExportMethod::LiveCandidate, 0, kUploadRelativePath, size->size});
    return complete(ExportMethod::LiveCandidate, request_.expected_ms, {}, std::nullopt);
  }

  // Stage 6.
  FinalizeOutcome rebuild() {
    journal_append(journal_, journal::ExportStarted{ExportMethod::FallbackCaf});
    if (segments_.listing_error) return *segments_.listing_error;
    const Segments& mic = mic_;
    const Segments& system = system_;
    // Segments that exist but hold no frame are no recording either: an
    // upload of nothing but silence would pass for the meeting.
    if (!holds_audio(mic) && !holds_audio(system)) {
      journal_append(journal_, journal::ExportFailed{ExportMethod::FallbackCaf, "no source segments"});
      return FinalizationError::no_source_segments();
    }

    std::vector<std::string> warnings;
    for (const auto& warning : segments_.warnings) {
      if (auto text = unusable_warning(warning)) warnings.push_back(std::move(*text));
    }
    for (auto& text : left_out_) warnings.push_back(std::move(text));
    const auto mic_rates = collect_source_rates(mic);
    const auto system_rates = collect_source_rates(system);
    if (mic_rates.size() >= 2)
      warnings.push_back("source_sample_rate_changed: mic segments have rates " + rate_list(mic_rates));
    if (system_rates.size() >= 2) {
      warnings.push_back("source_sample_rate_changed: system segments have rates " + rate_list(system_rates));
    }
    if (!mic_rates.empty() && !system_rates.empty() && mic_rates.front() != system_rates.front()) {
      warnings.push_back("cross_source_sample_rate_mismatch: mic=" + std::to_string(mic_rates.front()) +
                         "Hz, system=" + std::to_string(system_rates.front()) + "Hz");
    }

    const auto& read = manifest();
    if (!read) return read.error();
    const SlotMap& mic_slots = mic_slots_;
    const SlotMap& system_slots = system_slots_;

    // Target length.
    const std::uint64_t expected_ms = request_.expected_ms;
    const std::uint64_t requested = ms_to_frames(expected_ms);
    std::uint64_t target = 0;
    std::uint64_t timeline_ms = 0;
    if (expected_ms == 0) {
      target = compute_material_frames(0, mic, system, mic_slots, system_slots);
      if (target != 0) warnings.push_back("recovered_duration_from_source_segments: stop duration was unavailable");
      timeline_ms = frames_to_ms(target);
    } else if (!request_.expected_from_host) {
      // The duration is the plan's estimate, which counts segment contents
      // only: every recorded frame is kept, gap slots included.
      target = compute_material_frames(0, mic, system, mic_slots, system_slots);
      if (target < requested) warnings.push_back(trimmed_warning(expected_ms, target));
      timeline_ms = frames_to_ms(target);
    } else {
      const std::uint64_t material = compute_material_frames(requested, mic, system, mic_slots, system_slots);
      if (read->route_recovery) {
        target = requested;
        if (material < requested) {
          warnings.push_back("preserved_route_recovery_gap: requested=" + std::to_string(expected_ms) +
                             "ms material=" + std::to_string(frames_to_ms(material)) + "ms");
        }
        timeline_ms = expected_ms;
      } else {
        target = material;
        if (material < requested) warnings.push_back(trimmed_warning(expected_ms, material));
        timeline_ms = frames_to_ms(target);
      }
    }
    // A system recording interval still open at the end of the manifest runs to the end of the timeline.
    const auto intervals = read->system_states.until(sat_mul_div_ceil(target, 1, kExportFramesPerMs));

    // Timelines.
    std::optional<fs::path> mic_timeline;
    std::optional<fs::path> system_timeline;
    if (!mic.empty()) {
      auto built = build_source_timeline(mic, mic_slots, dir_ / kMicTimelineFileName, target);
      if (!built) return built.error();
      add_resample_warnings(warnings, "mic", built->notes);
      mic_timeline = built->path;
    }
    if (!system.empty()) {
      auto built = build_source_timeline(system, system_slots, dir_ / kSystemTimelineFileName, target);
      if (!built) return built.error();
      add_resample_warnings(warnings, "system", built->notes);
      system_timeline = built->path;
    }
    if (system_timeline && intervals.seen) {
      auto muted = apply_system_interval_mask(*system_timeline, target, intervals.intervals);
      if (!muted) return muted.error();
      if (*muted > 0) warnings.push_back("system_source_interval_mask_applied: muted_frames=" + std::to_string(*muted));
    }

    // Echo cancellation, failing open.
    std::optional<ExportReportAec> aec;
    std::optional<fs::path> mic_input = mic_timeline;
    const auto cleaned = dir_ / kMicCleanedFileName;
    if (echo_requested_) {
      aec = ExportReportAec{};
      std::optional<std::string> reason;
      if (!mic_timeline || !system_timeline) {
        reason = "missing_source_timeline";
      } else {
        auto metrics = aec::cancel_mic_echo(*mic_timeline, *system_timeline, cleaned, kExportRate);
        if (!metrics) {
          reason = "error: " + metrics.error().to_string();
        } else {
          aec->erle_db = metrics->erle_db;
          aec->delay_ms = metrics->delay_ms;
          // A comparison with a NaN is false, so a NaN metric is never trusted.
          const bool trusted = metrics->action_fraction >= metrics->min_action_fraction &&
                               metrics->collapse_fraction <= metrics->max_collapse_fraction &&
                               metrics->divergence_fraction <= metrics->max_divergence_fraction;
          if (trusted) {
            aec->applied = true;
            mic_input = cleaned;
          } else {
            reason = "low_confidence: action=" + fixed(metrics->action_fraction, 2) +
                     " erle=" + fixed(metrics->erle_db, 1) + "dB collapse=" + fixed(metrics->collapse_fraction, 2) +
                     " divergence=" + fixed(metrics->divergence_fraction, 2);
          }
        }
      }
      if (reason) {
        aec->fallback_reason = reason;
        warnings.push_back("aec_fail_open: " + *reason);
      }
    }

    // Mix and encode.
    const fs::path first = mic_input ? *mic_input : *system_timeline;
    const std::optional<fs::path> second = mic_timeline && system_timeline ? system_timeline : std::nullopt;
    auto encoded = fallback_finalize(first, second, final_dir_, kExportRate);
    remove_ignoring_errors(cleaned);
    if (!encoded) return encoded.error();
    journal_append(journal_, journal::ExportCompleted{ExportMethod::FallbackCaf, encoded->elapsed_ms,
                                                      kUploadRelativePath, encoded->output_bytes});
    return complete(ExportMethod::FallbackCaf, timeline_ms, std::move(warnings), std::move(aec));
  }

  static std::string trimmed_warning(std::uint64_t expected_ms, std::uint64_t material) {
    return "trimmed_trailing_silence: requested=" + std::to_string(expected_ms) +
           "ms material=" + std::to_string(frames_to_ms(material)) + "ms";
  }

  static void add_resample_warnings(std::vector<std::string>& warnings, const char* source,
                                    const std::vector<ResampleNote>& notes) {
    for (const auto& note : notes) {
      warnings.push_back(std::string("resampled_segment: ") + source + " segment " + std::to_string(note.index) +
                         " from " + std::to_string(note.source_rate) + "Hz to " + std::to_string(note.target_rate) +
                         "Hz");
    }
  }

  // Stage 7.
  FinalizeOutcome complete(ExportMethod method, std::uint64_t expected_ms, std::vector<std::string> warnings,
                           std::optional<ExportReportAec> aec) {
    auto validation = validator_.validate_final_audio(upload_, expected_ms);
    if (!validation) return validation.error();
    if (!validation->passed) return FinalizationError::validation_failed(validation->error.value_or("unknown"));
    auto digest = compute_sha256(upload_);
    if (!digest) return digest.error();
    auto size = file_status(upload_);
    if (!size) return size.error();
    // The journal line vouches for the file, so the file reaches the disk first.
    if (auto r = services_.sync_file(upload_); !r) return r.error();
    journal_append(journal_, journal::FinalAudioHashed{*digest, size->size, kUploadRelativePath});

    FinalizeResult result;
    auto& report = result.report;
    report.session_id = request_.session_id;
    report.method = method;
    report.candidate_attempted = candidate_attempted_;
    report.candidate_rejected_reason = candidate_rejected_reason_;
    report.duration_ms = validation->duration_ms;
    report.bytes = size->size;
    report.sha256 = *digest;
    report.validation = {validation->decoded_end_to_end, validation->duration_delta_ms};
    report.warnings = std::move(warnings);
    report.aec = std::move(aec);
    if (auto r = write_outputs(report, *digest); !r) return r.error();
    result.output_path = upload_;
    result.sha256 = *digest;
    result.idempotency_key = derive_idempotency_key(request_.session_id, *digest);
    return result;
  }

  IoResult<void> write_outputs(const ExportReport& report, const std::string& digest) {
    auto text = write_export_report(report);
    if (!text) return text.error();
    if (auto r = write_file_replacing(final_dir_ / kReportFileName, *text); !r) return r;
    return write_file_replacing(final_dir_ / kDigestFileName, digest);
  }

  // The manifest, read when first needed and kept for the rest of the run.
  const IoResult<SessionManifest>& manifest() {
    if (!manifest_) manifest_.emplace(read_manifest(dir_));
    return *manifest_;
  }

  const FinalizeRequest& request_;
  const SessionSegments& segments_;
  const AudioValidator& validator_;
  JournalWriter& journal_;
  const FinalizeServices& services_;
  const fs::path dir_;
  const fs::path final_dir_;
  const fs::path upload_;
  const bool host_duration_;
  Segments mic_;
  Segments system_;
  SlotMap mic_slots_;
  SlotMap system_slots_;
  std::vector<std::string> left_out_;  // warnings for the strays left out
  bool echo_requested_ = false;
  bool candidate_attempted_ = false;
  std::optional<std::string> candidate_rejected_reason_;
  std::optional<IoResult<SessionManifest>> manifest_;
};

}  // namespace

FinalizeServices FinalizeServices::defaults() {
  return FinalizeServices{[](const fs::path& path) -> IoResult<void> {
    auto file = File::open_read(path);
    if (!file) return file.error();
    return file->sync_all();
  }};
}

FinalizeOutcome finalize_session(const FinalizeRequest& request, const recovery::RecoveryPlan& plan,
                                 const AudioValidator& validator, journal::JournalWriter& journal,
                                 const FinalizeServices& services) {
  static const Segments none;
  const std::optional<IoError> no_error;
  const SessionSegments segments{request.has_mic ? plan.mic : none, request.has_system ? plan.system : none, no_error,
                                 plan.warnings};
  return Finalizer(request, segments, validator, journal, services).run();
}

FinalizeOutcome finalize_session(const FinalizeRequest& request, const AudioValidator& validator,
                                 journal::JournalWriter& journal, const FinalizeServices& services) {
  Segments mic, system;
  std::vector<recovery::RecoveryWarning> warnings;
  std::optional<IoError> error;
  const auto list = [&](SegmentSource source, bool wanted, Segments& out) {
    if (!wanted || error) return;
    auto listed = recovery::kelvaro_segments(request.session_dir, source);
    if (listed) {
      out = std::move(listed->segments);
      for (auto& w : listed->warnings) warnings.push_back(std::move(w));
    } else {
      error = listed.error();
    }
  };
  list(SegmentSource::Mic, request.has_mic, mic);
  list(SegmentSource::System, request.has_system, system);
  return Finalizer(request, SessionSegments{mic, system, error, warnings}, validator, journal, services).run();
}

IoResult<void> write_file_replacing(const fs::path& path, std::string_view bytes) {
  const auto temp = path.parent_path() / ("." + path.filename().string() + ".tmp");
  auto written = [&]() -> IoResult<void> {
    auto file = File::create(temp);
    if (!file) return file.error();
    if (auto r = write_all(*file, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())); !r) {
      return r;
    }
    if (auto r = file->sync_all(); !r) return r;
    if (::rename(temp.c_str(), path.c_str()) != 0) return IoError::last_os_error();
    return {};
  }();
  if (!written) remove_ignoring_errors(temp);
  return written;
}

}  // namespace recorder::exporter
