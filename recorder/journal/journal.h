#pragma once
// journal.jsonl on disk: the append-only writer with durable appends, the
// reader that passes over the lines it cannot read, and the session's
// echo-risk query.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/journal/journal_event.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/io_error.h"

namespace recorder::journal {

// The journal's file name inside a session directory.
inline constexpr const char* kJournalFileName = "journal.jsonl";

// Longest line the reader takes; a longer one is passed over.
inline constexpr std::size_t kMaxJournalLineBytes = 1024 * 1024;

class JournalWriter {
 public:
  // The two system services the writer uses, replaceable for tests; both must be set.
  struct Services {
    // Nanoseconds on a monotonic clock that stops while the machine sleeps.
    std::function<std::uint64_t()> uptime_ns;
    // Forces a descriptor's data to stable storage; 0 or -1 with errno set.
    std::function<int(int fd)> full_sync;
  };
  static Services default_services();

  // Creates the session directory (and parents) and opens its journal for
  // appending, creating it when missing. Nothing is written.
  static IoResult<JournalWriter> create(const std::filesystem::path& session_dir, std::uint64_t wall_start_ms);
  static IoResult<JournalWriter> create(const std::filesystem::path& session_dir, std::uint64_t wall_start_ms,
                                        Services services);
  // A writer for a session whose journal is left out (see journal_left_out):
  // nothing is opened, and every append fails with "journal left out".
  static JournalWriter detached(const std::filesystem::path& session_dir);

  JournalWriter(JournalWriter&&) noexcept = default;
  JournalWriter& operator=(JournalWriter&&) noexcept = default;

  // Appends one line for the event, stamped with the time since create;
  // durable kinds reach stable storage before it returns. After a failed
  // sync the line stays written. The first append ends a torn last line
  // (one without its line feed) first, in the same write and made durable
  // with it, so the torn line stays what it was and the new one stands alone.
  IoResult<void> append(const JournalEvent& event);

  const std::filesystem::path& path() const { return path_; }

 private:
  JournalWriter(std::filesystem::path path, std::optional<File> file, std::uint64_t start_ns,
                std::uint64_t wall_start_ms, Services services);

  std::filesystem::path path_;
  std::optional<File> file_;  // none when detached
  std::uint64_t start_ns_;
  std::uint64_t wall_start_ms_;
  Services services_;
  bool tail_checked_ = false;
};

// Every entry of the lines that parse, in file order. Blank lines, and lines
// that cannot be read (torn, not UTF-8, foreign, overlong), are passed over.
// An open or read failure is an error.
IoResult<std::vector<JournalEntry>> read_journal(const std::filesystem::path& path);

// Why the session's journal.jsonl is not the session's own journal: it is
// a symbolic link (to a file outside the session, perhaps), a directory, a
// FIFO or another kind of file. Nothing when it is a regular file or absent.
// Such a journal is neither read nor appended to.
std::optional<std::string> journal_left_out(const std::filesystem::path& session_dir);

// True when the session's journal records an output device with echo risk
// (detected with echo_risk, or changed with echo_risk_after), whatever its
// device class and however its other keys read. Any failure to read the
// journal, or a journal left out, gives false.
bool session_echo_risk_from_journal(const std::filesystem::path& session_dir);

// True when one journal line records echo risk as above: a JSON object
// whose "type" names output_device_detected with "echo_risk" true, or
// output_device_changed with "echo_risk_after" true.
bool line_records_echo_risk(std::string_view line);

// How long the recording's journal lines span, first to last wall time, in
// milliseconds: the lines before the first a finalisation appended. Nothing
// without two such lines, or when the journal cannot be read or is left out.
std::optional<std::uint64_t> journal_recording_span_ms(const std::filesystem::path& session_dir);

}  // namespace recorder::journal
