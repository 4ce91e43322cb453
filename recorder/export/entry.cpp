#include "recorder/export/entry.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/clock/clock.h"
#include "recorder/export/child_process.h"
#include "recorder/export/finalize.h"
#include "recorder/export/report.h"
#include "recorder/export/validation.h"
#include "recorder/journal/journal.h"
#include "recorder/recovery/numbers.h"
#include "recorder/recovery/plan.h"
#include "recorder/recovery/utf8.h"
#include "segment_format/segment_format.h"

namespace recorder::exporter {
namespace {

void print_line(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::uint64_t wall_clock_ms() {
  const std::int64_t ms = platform::clock::wallClockMs();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// Characters a reader cannot see: controls, format characters, separators,
// private use, combining marks.
bool printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c == 0xAD || (c >= 0x300 && c <= 0x36F)) return false;
  if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F)) return false;
  if (c == 0xFEFF || (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xE000 && c <= 0xF8FF)) return false;
  return true;
}

void append_quoted(std::string& out, const std::string& raw) {
  const std::string text = is_valid_utf8(raw) ? raw : utf8_lossy(std::vector<std::uint8_t>(raw.begin(), raw.end()));
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = decode_utf8(text, pos);
    switch (c) {
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      default:
        if (printable(c)) {
          out.append(text, start, pos - start);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string session_id_from_path(std::string_view session_dir) {
  std::string_view last;
  std::size_t pos = 0;
  while (pos <= session_dir.size()) {
    std::size_t end = session_dir.find('/', pos);
    if (end == std::string_view::npos) end = session_dir.size();
    const std::string_view part = session_dir.substr(pos, end - pos);
    if (!part.empty() && part != ".") last = part;
    pos = end + 1;
  }
  if (last.empty() || last == ".." || !is_valid_utf8(last)) return "unknown";
  return std::string(last);
}

std::optional<std::uint64_t> parse_expected_duration(std::string_view text) { return parse_u64(text); }

IoResult<std::string> resolve_session_dir(const std::string& session_dir) {
  char* real = ::realpath(session_dir.c_str(), nullptr);
  if (real == nullptr) {
    const int err = errno;
    return IoError::other("session directory " + session_dir + ": " + IoError::os(err).to_string());
  }
  std::string path(real);
  std::free(real);
  return path;
}

std::string format_warning_list(const std::vector<std::string>& warnings) {
  std::string out = "[";
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, warnings[i]);
  }
  return out + "]";
}

int kelvaro_main(int argc, const char* const* argv) {
  end_children_on_termination(kTerminationFailurePrefix);
  // An empty directory argument would mean the working directory: it counts as missing.
  if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') {
    print_line(kUsageLine);
    return 2;
  }
  const std::string session_dir = argv[1];
  const char* expected_arg = argc >= 3 ? argv[2] : nullptr;
  if (!is_valid_utf8(session_dir) || (expected_arg != nullptr && !is_valid_utf8(expected_arg))) {
    print_line("kelvaro: arguments must be valid UTF-8");
    print_line(kUsageLine);
    return 2;
  }
  // One session, one directory: every spelling of its path (a link to it,
  // "mic/..") names it by its real path, and all work happens there.
  const auto resolved = resolve_session_dir(session_dir);
  if (!resolved) {
    print_line("recovery plan failed: " + resolved.error().to_string());
    return 1;
  }
  const std::string& dir = *resolved;
  const std::string session_id = session_id_from_path(dir);

  auto plan = recovery::kelvaro_plan(dir, segment_format::kFramesPerSegment);
  if (!plan) {
    print_line("recovery plan failed: " + plan.error().to_string());
    return 1;
  }
  const auto given = expected_arg != nullptr ? parse_expected_duration(expected_arg) : std::nullopt;
  const std::uint64_t expected_ms = given ? *given : plan->duration_ms.value_or(0);
  print_line("recovery plan: mic_segments=" + std::to_string(plan->mic.size()) +
             " system_segments=" + std::to_string(plan->system.size()) + " gaps=" + std::to_string(plan->gap_count()) +
             " warnings=" + std::to_string(plan->warnings.size()) + " expected_ms=" + std::to_string(expected_ms));

  FinalizeRequest request;
  // A journal.jsonl that is no file of the session (a link, a directory, a
  // FIFO) is neither read nor appended to; the session is finalised without it.
  std::optional<journal::JournalWriter> journal;
  if (const auto why = journal::journal_left_out(dir)) {
    request.warnings.push_back(
        warning_text("journal_left_out", std::string(journal::kJournalFileName) + " (" +
                                             (std::filesystem::path(dir) / journal::kJournalFileName).string() +
                                             ") is " + *why + "; nothing is read from or appended to it"));
    journal.emplace(journal::JournalWriter::detached(dir));
  } else {
    auto created = journal::JournalWriter::create(dir, wall_clock_ms());
    if (!created) {
      print_line("journal create failed: " + created.error().to_string());
      return 1;
    }
    journal.emplace(std::move(*created));
  }

  request.session_id = session_id;
  request.session_dir = dir;
  request.expected_ms = expected_ms;
  request.expected_from_host = given.has_value();
  request.invalidate_candidate = true;
  request.has_mic = !plan->mic.empty();
  request.has_system = !plan->system.empty();

  const FfprobeValidator validator(ffprobe_program());
  // The finalisation works from this plan: the directory is walked once.
  const auto outcome = finalize_session(request, *plan, validator, *journal);
  if (!outcome.ok()) {
    // What was left out says why, before the line hosts read the failure from.
    if (!outcome.warnings().empty()) print_line("warnings=" + format_warning_list(outcome.warnings()));
    print_line("finalize failed: " + outcome.error().to_string());
    return 1;
  }
  const auto& result = outcome.value();
  // The path as the host spelled it: it names the same file.
  print_line("recovered_m4a=" + (std::filesystem::path(session_dir) / kFinalDirName / kUploadFileName).string());
  print_line("bytes=" + std::to_string(result.report.bytes));
  print_line("duration_ms=" + std::to_string(result.report.duration_ms));
  print_line("sha256=" + result.sha256);
  print_line("idempotency_key=" + result.idempotency_key);
  if (!result.report.warnings.empty()) print_line("warnings=" + format_warning_list(result.report.warnings));
  return 0;
}

}  // namespace recorder::exporter
