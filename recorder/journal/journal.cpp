#include "recorder/journal/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include "platform/clock/clock.h"
#include "recorder/journal/journal_format.h"
#include "recorder/recovery/strict_json.h"
#include "recorder/recovery/utf8.h"

namespace recorder::journal {
namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_blank(std::string_view valid_utf8) {
  std::size_t pos = 0;
  while (pos < valid_utf8.size()) {
    if (!is_unicode_white_space(decode_utf8(valid_utf8, pos))) return false;
  }
  return true;
}

// True when the file is not empty and its last byte is not a line feed:
// a writer stopped in the middle of its line.
IoResult<bool> ends_in_torn_line(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  auto status = file->status();
  if (!status) return status.error();
  if (status->size == 0) return false;
  if (auto r = file->seek(status->size - 1); !r) return r.error();
  std::array<std::uint8_t, 1> last{};
  if (auto r = read_exact(*file, last); !r) return r.error();
  return last[0] != '\n';
}

}  // namespace

JournalWriter::Services JournalWriter::default_services() {
  // The uptime counts only while the machine is awake, like the host's
  // uptime clock. This platform has no F_FULLFSYNC; fsync is its strongest
  // flush.
  return Services{&platform::clock::uptimeNs, [](int fd) { return ::fsync(fd); }};
}

JournalWriter::JournalWriter(std::filesystem::path path, std::optional<File> file, std::uint64_t start_ns,
                             std::uint64_t wall_start_ms, Services services)
    : path_(std::move(path)),
      file_(std::move(file)),
      start_ns_(start_ns),
      wall_start_ms_(wall_start_ms),
      services_(std::move(services)) {}

IoResult<JournalWriter> JournalWriter::create(const std::filesystem::path& session_dir, std::uint64_t wall_start_ms) {
  return create(session_dir, wall_start_ms, default_services());
}

IoResult<JournalWriter> JournalWriter::create(const std::filesystem::path& session_dir, std::uint64_t wall_start_ms,
                                              Services services) {
  if (auto r = create_dir_all(session_dir); !r) return r.error();
  auto path = session_dir / kJournalFileName;
  auto file = File::open_append(path);
  if (!file) return file.error();
  const std::uint64_t start = services.uptime_ns();
  return JournalWriter(std::move(path), std::move(file).value(), start, wall_start_ms, std::move(services));
}

JournalWriter JournalWriter::detached(const std::filesystem::path& session_dir) {
  Services services = default_services();
  const std::uint64_t start = services.uptime_ns();
  return JournalWriter(session_dir / kJournalFileName, std::nullopt, start, 0, std::move(services));
}

IoResult<void> JournalWriter::append(const JournalEvent& event) {
  if (!file_) return IoError::other("journal left out");
  const std::uint64_t now = services_.uptime_ns();
  JournalEntry entry;
  entry.schema_version = 1;
  entry.monotonic_ms = now > start_ns_ ? (now - start_ns_) / 1'000'000ULL : 0;
  // The wall clock is never read again: times count on from the wall start.
  const std::uint64_t wall = wall_start_ms_ > std::numeric_limits<std::uint64_t>::max() - entry.monotonic_ms
                                 ? std::numeric_limits<std::uint64_t>::max()
                                 : wall_start_ms_ + entry.monotonic_ms;
  entry.wall_utc_ms = wall > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                          ? std::numeric_limits<std::int64_t>::max()
                          : static_cast<std::int64_t>(wall);
  entry.event = event;

  bool mends_tail = false;
  if (!tail_checked_) {
    auto torn = ends_in_torn_line(path_);
    if (!torn) return torn.error();
    mends_tail = *torn;
  }
  std::string line;
  line.reserve(128);
  if (mends_tail) line.push_back('\n');
  if (!append_entry_line(line, entry)) return IoError::invalid_data("journal event holds text that is not UTF-8");
  // One write call carries the whole line, so concurrent appenders interleave whole lines.
  if (auto r = write_all(*file_, as_bytes(line)); !r) return r;
  tail_checked_ = true;
  if (is_durable(event) || mends_tail) {
    while (services_.full_sync(file_->fd()) != 0) {
      if (errno != EINTR) return IoError::last_os_error();
    }
  }
  return {};
}

// Calls `take_line` with every line of the file that is UTF-8 and not
// blank, without its line feed, in file order. A line that cannot be read
// (torn by a writer that stopped, a character cut in two, an overlong line)
// is passed over: what the other lines say still holds, and a torn line that
// later appends closed stays where it was.
namespace {
IoResult<void> for_each_journal_line(const std::filesystem::path& path,
                                     const std::function<void(const std::string&)>& take) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  const auto take_line = [&take](const std::string& line) {
    if (!is_valid_utf8(line) || is_blank(line)) return;
    take(line);
  };

  std::string line;
  bool overlong = false;
  std::array<std::uint8_t, kIoBufferBytes> buffer{};
  for (;;) {
    auto n = file->read(buffer);
    if (!n) return n.error();
    if (*n == 0) break;
    std::span<const std::uint8_t> chunk(buffer.data(), *n);
    while (!chunk.empty()) {
      const auto lf = std::find(chunk.begin(), chunk.end(), std::uint8_t{'\n'});
      const auto take = static_cast<std::size_t>(lf - chunk.begin());
      if (!overlong && line.size() + take > kMaxJournalLineBytes) {
        overlong = true;
        line.clear();
      }
      if (!overlong) line.append(reinterpret_cast<const char*>(chunk.data()), take);
      if (lf == chunk.end()) break;
      chunk = chunk.subspan(take + 1);
      if (!overlong) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        take_line(line);
      }
      line.clear();
      overlong = false;
    }
  }
  // A last line without a line feed keeps any carriage return; the parser takes it as a blank.
  if (!overlong && !line.empty()) take_line(line);
  return {};
}
}  // namespace

IoResult<std::vector<JournalEntry>> read_journal(const std::filesystem::path& path) {
  std::vector<JournalEntry> entries;
  // A foreign writer's record is passed over like a record of an unknown kind.
  auto r = for_each_journal_line(path, [&entries](const std::string& line) {
    if (auto entry = parse_entry_line(line)) entries.push_back(std::move(*entry));
  });
  if (!r) return r.error();
  return entries;
}

std::optional<std::string> journal_left_out(const std::filesystem::path& session_dir) {
  struct stat st {};
  const auto path = session_dir / kJournalFileName;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  return "not a regular file";
}

bool line_records_echo_risk(std::string_view line) {
  const auto doc = parse_strict_json(line);
  if (!doc || !doc->is_object) return false;
  const auto names_kind = [](const nlohmann::json& tag, std::string_view kind) {
    if (tag.is_string()) return tag.get_ref<const std::string&>() == kind;
    const auto n = json_u64(tag);
    return n && *n < kJournalEventKindCount && event_tag(static_cast<std::size_t>(*n)) == kind;
  };
  const auto has_true = [&doc](std::string_view key) {
    return std::any_of(doc->members.begin(), doc->members.end(), [key](const auto& m) {
      return m.first == key && m.second.is_boolean() && m.second.template get<bool>();
    });
  };
  for (const auto& [key, value] : doc->members) {
    if (key != "type") continue;
    if (names_kind(value, "output_device_detected") && has_true("echo_risk")) return true;
    if (names_kind(value, "output_device_changed") && has_true("echo_risk_after")) return true;
  }
  return false;
}

bool session_echo_risk_from_journal(const std::filesystem::path& session_dir) {
  if (journal_left_out(session_dir)) return false;
  // The risk is read from the lines themselves: a record of a device class
  // this reader does not know, or with a key given twice, still tells it.
  bool risk = false;
  const auto r = for_each_journal_line(session_dir / kJournalFileName, [&risk](const std::string& line) {
    if (!risk) risk = line_records_echo_risk(line);
  });
  return r.ok() && risk;
}

std::optional<std::uint64_t> journal_recording_span_ms(const std::filesystem::path& session_dir) {
  if (journal_left_out(session_dir)) return std::nullopt;
  const auto entries = read_journal(session_dir / kJournalFileName);
  if (!entries) return std::nullopt;
  std::optional<std::int64_t> first, last;
  for (const auto& entry : *entries) {
    // What a finalisation appended is no time of the recording.
    const bool finalising =
        std::holds_alternative<CandidateValidationStarted>(entry.event) ||
        std::holds_alternative<CandidateRejected>(entry.event) || std::holds_alternative<ExportStarted>(entry.event) ||
        std::holds_alternative<ExportCompleted>(entry.event) || std::holds_alternative<ExportFailed>(entry.event) ||
        std::holds_alternative<FinalAudioHashed>(entry.event);
    if (finalising) break;
    first = std::min(first.value_or(entry.wall_utc_ms), entry.wall_utc_ms);
    last = std::max(last.value_or(entry.wall_utc_ms), entry.wall_utc_ms);
  }
  if (!first || *last <= *first) return std::nullopt;
  return static_cast<std::uint64_t>(*last - *first);
}

}  // namespace recorder::journal
