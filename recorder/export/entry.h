#pragma once
// The kelvaro command: `kelvaro <session-dir> [expected-duration-ms]` plans
// the recovery of a session directory, finalises it, and reports the
// outcome as name=value lines on standard error (standard output stays
// empty). Exit status 0 on success, 1 on a failure, 2 on a usage error.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

inline constexpr const char* kUsageLine = "usage: kelvaro <session-dir> [expected-duration-ms]";
// The failure line of a run ended by SIGTERM or SIGINT, before the signal's name.
inline constexpr const char* kTerminationFailurePrefix = "finalize failed: IO error: stopped by ";

// The session id: the last normal component of the path (trailing
// separators and "." ignored), or "unknown" for an empty path, a root, "."
// or a path ending in "..".
std::string session_id_from_path(std::string_view session_dir);

// The session directory's real path: links and "." and ".." resolved. An
// error names the directory as given.
IoResult<std::string> resolve_session_dir(const std::string& session_dir);

// An unsigned 64-bit decimal: digits with one optional leading "+", nothing else.
std::optional<std::uint64_t> parse_expected_duration(std::string_view text);

// A list of texts as ["a", "b"], each quoted with backslash escapes for
// quotes, backslashes and non-printable characters.
std::string format_warning_list(const std::vector<std::string>& warnings);

// Runs the command; returns the exit status.
int kelvaro_main(int argc, const char* const* argv);

}  // namespace recorder::exporter
