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
#include "recorder/export/layout.h"
#include "recorder/export/manifest.h"
#include "recorder/export/timeline.h"
#include "recorder/recovery/caf.h"
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
      fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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

// "mic segment 2" or "mic segments 2-5".
std::string index_range(const char* source, std::uint64_t first, std::uint64_t last) {
  if (first == last) return std::string(source) + " segment " + std::to_string(first);
  return std::string(source) + " segments " + std::to_string(first) + "-" + std::to_string(last);
}

// The export-rate length an unusable segment's file tells, at the rate of
// its source's other segments (the nearest one before it, else the first):
// its sidecar's frames, else its size. Nothing when it tells neither.
std::optional<std::uint64_t> unusable_own_frames(const recovery::UnusableSegment& unusable, const Segments& usable) {
  std::optional<std::uint64_t> frames = unusable.checkpoint_frames;
  if (!frames && unusable.data_bytes) frames = *unusable.data_bytes / recovery::kCafBytesPerFrame;
  if (!frames) return std::nullopt;
  std::uint32_t rate = usable.empty() ? kExportRate : usable.front().sample_rate;
  for (const auto& segment : usable) {
    if (segment.index > unusable.index) break;
    rate = segment.sample_rate;
  }
  recovery::SegmentRecovery as_segment;
  as_segment.frames = *frames;
  as_segment.sample_rate = rate;
  return segment_material_frames(as_segment);
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
    auto outcome = run_stages();
    // A failure prints what was left out before it: that is often why.
    if (!outcome.ok()) outcome.set_warnings(notes_);
    return outcome;
  }

 private:
  FinalizeOutcome run_stages() {
    // Everything is written inside the session: a link planted as "final"
    // would send the outputs elsewhere (or into a source directory).
    if (const auto kind = link_status(final_dir_); kind && kind->symlink) {
      if (::unlink(final_dir_.c_str()) != 0) return IoError::last_os_error();
      notes_.push_back(warning_text("planted_link_removed", std::string(kFinalDirName) + " (" + final_dir_.string() +
                                                                ") was a symbolic link; the outputs go to a "
                                                                "directory of the session in its place"));
    }
    if (auto r = create_dir_all(final_dir_); !r) return r.error();
    auto lock = DirectoryLock::acquire(final_dir_);
    if (!lock) return lock.error();
    prepare_segments();

    if (link_status(upload_)) {
      if (auto reused = try_reuse()) return std::move(*reused);
    }

    echo_requested_ = journal::session_echo_risk_from_journal(dir_) && request_.has_mic && request_.has_system;

    auto promoted = settle_candidate();
    if (!promoted) return promoted.error();
    if (*promoted) return export_candidate();
    return rebuild();
  }

  // The segments and slots the finalisation goes by, and the warnings that
  // say what was left out and what took a place nothing recorded. An
  // unusable segment keeps the length its file tells (else the manifest's),
  // so it stays silence in place; what file names alone place is bounded by
  // the session's evidence (layout.h), and strays beyond it are left out.
  void prepare_segments() {
    mic_ = segments_.mic;
    system_ = segments_.system;
    for (const auto& text : request_.warnings) notes_.push_back(text);  // made by warning_text: not a new warning
    const auto& read = manifest();
    if (read) {
      mic_slots_ = read->mic_slots;
      system_slots_ = read->system_slots;
    }
    std::optional<std::uint64_t> mic_first_unknown, system_first_unknown;
    for (const auto& warning : segments_.warnings) {
      if (const auto* unusable = std::get_if<recovery::UnusableSegment>(&warning)) {
        const bool mic = unusable->source == SegmentSource::Mic;
        if (!place_unusable(*unusable)) {
          auto& first = mic ? mic_first_unknown : system_first_unknown;
          first = std::min(first.value_or(unusable->index), unusable->index);
        }
      } else if (const auto* unlistable = std::get_if<recovery::UnlistableSourceDirectory>(&warning)) {
        notes_.push_back(warning_text("source_directory_unlistable",
                                      std::string(recovery::source_dir_name(unlistable->source)) + " (" +
                                          unlistable->path.string() + "): " + unlistable->reason));
      }
    }
    if (!read) {
      notes_.push_back(warning_text("manifest_left_out", std::string(kManifestFileName) + " (" +
                                                             (dir_ / kManifestFileName).string() +
                                                             "): " + read.error().to_string()));
    }
    if (segments_.listing_error) return;

    const SessionEvidence evidence = gather_evidence(read ? &read.value() : nullptr);
    auto mic = lay_out_source(mic_, mic_slots_, mic_first_unknown, evidence_end_frames(evidence, SegmentSource::Mic));
    auto system = lay_out_source(system_, system_slots_, system_first_unknown,
                                 evidence_end_frames(evidence, SegmentSource::System));
    note_layout("mic", mic);
    note_layout("system", system);
    mic_ = std::move(mic.segments);
    mic_gaps_ = std::move(mic.gaps);
    system_ = std::move(system.segments);
    system_gaps_ = std::move(system.gaps);
  }

  // Gives an unusable segment's index the slot its file tells, unless the
  // manifest records one, and names it. False when its length is unknown.
  bool place_unusable(const recovery::UnusableSegment& unusable) {
    const bool mic = unusable.source == SegmentSource::Mic;
    auto& slots = mic ? mic_slots_ : system_slots_;
    if (const auto own = unusable_own_frames(unusable, mic ? segments_.mic : segments_.system)) {
      slots.try_emplace(unusable.index, *own);
    }
    const auto slot = slots.find(unusable.index);
    std::string text = std::string(recovery::source_dir_name(unusable.source)) + " segment " +
                       std::to_string(unusable.index) + " (" + unusable.path.string() + "): " + unusable.reason;
    text += slot != slots.end() ? "; its place keeps " + std::to_string(frames_to_ms(slot->second)) + "ms of silence"
                                : "; its length is unknown";
    notes_.push_back(warning_text("unusable_segment_left_out", text));
    return slot != slots.end();
  }

  // What the session says of its length besides its file names.
  SessionEvidence gather_evidence(const SessionManifest* read) const {
    SessionEvidence evidence;
    evidence.mic_anchored_frames = anchored_frames(mic_, mic_slots_);
    evidence.system_anchored_frames = anchored_frames(system_, system_slots_);
    const auto take_sidecar = [&evidence](const fs::path& sidecar) {
      const auto checkpoint = recovery::read_checkpoint_sidecar(sidecar);
      if (!checkpoint || checkpoint->wall_time_ms_at_checkpoint <= 0) return;
      const auto ms = static_cast<std::uint64_t>(checkpoint->wall_time_ms_at_checkpoint);
      evidence.sidecar_wall_ms = std::max(evidence.sidecar_wall_ms.value_or(0), ms);
    };
    for (const Segments* list : {&mic_, &system_}) {
      for (const auto& segment : *list) {
        if (segment.sidecar_path) take_sidecar(*segment.sidecar_path);
      }
    }
    for (const auto& warning : segments_.warnings) {
      if (const auto* unusable = std::get_if<recovery::UnusableSegment>(&warning)) {
        auto sidecar = unusable->path;
        take_sidecar(sidecar.replace_extension("checkpoint"));
      }
    }
    if (read) evidence.manifest_span_ms = read->times.span_ms();
    evidence.journal_span_ms = journal::journal_recording_span_ms(dir_);
    if (host_duration_) evidence.host_duration_ms = request_.expected_ms;
    return evidence;
  }

  void note_layout(const char* source, const SourceLayout& layout) {
    for (const auto& stray : layout.strays) {
      notes_.push_back(warning_text(
          "stray_segment_left_out",
          index_range(source, stray.index, stray.index) + " (" + stray.path.string() + ") would start at " +
              std::to_string(frames_to_ms(stray.at_frames)) +
              (stray.evidence ? "ms, beyond the session's evidence of " : "ms, beyond the longest timeline of ") +
              std::to_string(frames_to_ms(stray.evidence_frames)) + "ms"));
    }
    for (const auto& slot : layout.defaults) {
      std::string text = index_range(source, slot.first_index, slot.last_index) + ": " +
                         std::to_string(frames_to_ms(slot.frames)) + "ms of silence for " + std::to_string(slot.count) +
                         (slot.count == 1 ? " index" : " indices") + " nothing records";
      if (slot.frames < slot.full_frames) {
        text += " (" + std::to_string(frames_to_ms(slot.full_frames)) +
                "ms as full segments, bounded by the session's evidence)";
      }
      notes_.push_back(warning_text("default_segment_slot", text));
    }
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
      expected =
          frames_to_ms(compute_material_frames(0, mic_, system_, mic_slots_, system_slots_, mic_gaps_, system_gaps_));
    }
    // Only a regular file this program made for this session is reused: a
    // link (to another recording's upload, say) never is, and neither is a
    // file no report of this session names.
    const auto kind = link_status(upload_);
    if (!kind) return std::nullopt;
    if (!kind->regular) {
      notes_.push_back(warning_text(
          "final_file_not_reused",
          std::string(kUploadRelativePath) + " is " + (kind->symlink ? "a symbolic link" : "not a regular file")));
      return std::nullopt;
    }

    auto validation = validator_.validate_final_audio(upload_, expected);
    if (!validation) return FinalizeOutcome(validation.error());
    if (validation->passed) {
      auto digest = compute_sha256(upload_);
      if (!digest) return FinalizeOutcome(digest.error());
      if (report_names(*digest)) return reuse(*validation, *digest);
      notes_.push_back(warning_text("final_file_not_reused",
                                    std::string(kUploadRelativePath) + " is named by no report of this session"));
    }
    // An invalid file is rebuilt, but never given up while nothing is left
    // to rebuild it from: the rebuild then fails and the file stays.
    if (have_segments) remove_ignoring_errors(upload_);
    return std::nullopt;
  }

  FinalizeOutcome reuse(const FinalAudioValidation& validation, const std::string& sha256) {
    const std::string* digest = &sha256;
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
    result.report.warnings = request_.warnings;
    // The report of the run that made the file (its warnings and echo
    // figures) vouches for it and is kept; the digest file, when it is
    // missing or speaks of another file, is written again. A file that
    // cannot be restored (a read-only "final") costs a warning, not the
    // valid upload.
    const auto restore = [&](const char* name, std::string_view bytes) {
      if (auto r = write_file_replacing(final_dir_ / name, bytes); !r) {
        result.report.warnings.push_back(
            warning_text("final_file_not_restored", std::string(name) + ": " + r.error().to_string()));
      }
    };
    const auto recorded = read_file_capped(final_dir_ / kDigestFileName, 4096);
    if (!recorded || recorded->bytes != *digest) restore(kDigestFileName, *digest);
    return result;
  }

  // True when "export-report.json" is a regular file holding this
  // session's report of the file with this digest.
  bool report_names(const std::string& digest) const {
    const auto path = final_dir_ / kReportFileName;
    if (const auto kind = link_status(path); !kind || !kind->regular) return false;
    const auto read = read_file_capped(path, kMaxReportBytes);
    if (!read || read->truncated) return false;
    const auto report = nlohmann::json::parse(read->bytes, nullptr, /*allow_exceptions=*/false);
    if (!report.is_object()) return false;
    const auto is = [&report](const char* key, const std::string& expected) {
      const auto it = report.find(key);
      return it != report.end() && it->is_string() && it->get_ref<const std::string&>() == expected;
    };
    return is("sha256", digest) && is("session_id", request_.session_id);
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
    // A link would become the final file, vouched for by this session's digest.
    if (const auto kind = link_status(candidate); !kind || !kind->regular) {
      reject_candidate("not a regular file");
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

    std::vector<std::string> warnings = notes_;
    const auto mic_rates = collect_source_rates(mic);
    const auto system_rates = collect_source_rates(system);
    if (mic_rates.size() >= 2)
      warnings.push_back(warning_text("source_sample_rate_changed", "mic segments have rates " + rate_list(mic_rates)));
    if (system_rates.size() >= 2) {
      warnings.push_back(
          warning_text("source_sample_rate_changed", "system segments have rates " + rate_list(system_rates)));
    }
    if (!mic_rates.empty() && !system_rates.empty() && mic_rates.front() != system_rates.front()) {
      warnings.push_back(warning_text(
          "cross_source_sample_rate_mismatch",
          "mic=" + std::to_string(mic_rates.front()) + "Hz, system=" + std::to_string(system_rates.front()) + "Hz"));
    }

    // A manifest that cannot be read was left out (a warning says so).
    static const SessionManifest kNoManifest;
    const SessionManifest& read = manifest() ? manifest().value() : kNoManifest;
    const SlotMap& mic_slots = mic_slots_;
    const SlotMap& system_slots = system_slots_;

    // Target length.
    const std::uint64_t expected_ms = request_.expected_ms;
    const std::uint64_t requested = ms_to_frames(expected_ms);
    std::uint64_t target = 0;
    std::uint64_t timeline_ms = 0;
    if (expected_ms == 0) {
      target = compute_material_frames(0, mic, system, mic_slots, system_slots, mic_gaps_, system_gaps_);
      if (target != 0)
        warnings.push_back(warning_text("recovered_duration_from_source_segments", "stop duration was unavailable"));
      timeline_ms = frames_to_ms(target);
    } else if (!request_.expected_from_host) {
      // The duration is the plan's estimate, which counts segment contents
      // only: every recorded frame is kept, gap slots included.
      target = compute_material_frames(0, mic, system, mic_slots, system_slots, mic_gaps_, system_gaps_);
      if (target < requested)
        warnings.push_back(warning_text("trimmed_trailing_silence", trimmed_details(expected_ms, target)));
      timeline_ms = frames_to_ms(target);
    } else {
      const std::uint64_t material =
          compute_material_frames(requested, mic, system, mic_slots, system_slots, mic_gaps_, system_gaps_);
      if (read.route_recovery) {
        target = requested;
        if (material < requested) {
          warnings.push_back(warning_text("preserved_route_recovery_gap",
                                          "requested=" + std::to_string(expected_ms) +
                                              "ms material=" + std::to_string(frames_to_ms(material)) + "ms"));
        }
        timeline_ms = expected_ms;
      } else {
        target = material;
        if (material < requested)
          warnings.push_back(warning_text("trimmed_trailing_silence", trimmed_details(expected_ms, material)));
        timeline_ms = frames_to_ms(target);
      }
    }
    // A system recording interval still open at the end of the manifest runs to the end of the timeline.
    const auto intervals = read.system_states.until(sat_mul_div_ceil(target, 1, kExportFramesPerMs));

    // Timelines.
    std::optional<fs::path> mic_timeline;
    std::optional<fs::path> system_timeline;
    if (!mic.empty()) {
      auto built = build_source_timeline(mic, mic_slots, dir_ / kMicTimelineFileName, target, mic_gaps_);
      if (!built) return built.error();
      add_resample_warnings(warnings, "mic", built->notes);
      mic_timeline = built->path;
    }
    if (!system.empty()) {
      auto built = build_source_timeline(system, system_slots, dir_ / kSystemTimelineFileName, target, system_gaps_);
      if (!built) return built.error();
      add_resample_warnings(warnings, "system", built->notes);
      system_timeline = built->path;
    }
    if (system_timeline && intervals.seen) {
      auto muted = apply_system_interval_mask(*system_timeline, target, intervals.intervals);
      if (!muted) return muted.error();
      if (*muted > 0)
        warnings.push_back(
            warning_text("system_source_interval_mask_applied", "muted_frames=" + std::to_string(*muted)));
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
        warnings.push_back(warning_text("aec_fail_open", *reason));
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

  static std::string trimmed_details(std::uint64_t expected_ms, std::uint64_t material) {
    return "requested=" + std::to_string(expected_ms) + "ms material=" + std::to_string(frames_to_ms(material)) + "ms";
  }

  static void add_resample_warnings(std::vector<std::string>& warnings, const char* source,
                                    const std::vector<ResampleNote>& notes) {
    for (const auto& note : notes) {
      warnings.push_back(warning_text("resampled_segment", std::string(source) + " segment " +
                                                               std::to_string(note.index) + " from " +
                                                               std::to_string(note.source_rate) + "Hz to " +
                                                               std::to_string(note.target_rate) + "Hz"));
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
  GapSlots mic_gaps_;
  GapSlots system_gaps_;
  // Warnings of what was left out or placed without a record, in order.
  std::vector<std::string> notes_;
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
      for (auto& w : listed->warnings) warnings.push_back(std::move(w));  // recovery warnings: not a new warning
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
