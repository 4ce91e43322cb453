#pragma once
// Child processes of the finalisation (encoders, audio inspectors): spawned
// with standard input from the null device and both outputs captured, polled
// every 50 ms, and killed at their deadline. A child is always reaped before
// the call returns, and never outlives the program.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

// Each captured output keeps at most its last this many bytes; both pipes are
// drained while the child runs, so a chatty child never blocks on a full pipe.
inline constexpr std::size_t kChildCaptureLimit = 64 * 1024;
// The period of the supervisor's wait.
inline constexpr int kChildPollPeriodMs = 50;

struct ChildCommand {
  std::string program;  // a path, or a bare name looked up on the search path
  std::vector<std::string> args;
};

struct ChildOutput {
  int status = 0;  // the raw wait status
  std::vector<std::uint8_t> stdout_bytes;
  std::vector<std::uint8_t> stderr_bytes;

  bool success() const;
};

// Runs the command to its end. A spawn failure, a failed wait or a failed
// read is an I/O error; passing the deadline kills the child and fails with
// "<name> timed out after <N>s".
IoResult<ChildOutput> run_child_with_timeout(const ChildCommand& command, std::uint64_t timeout_s,
                                             std::string_view name);

// Installs the SIGTERM and SIGINT handler of the program: it kills and reaps
// the child running at that moment, writes `failure_prefix` followed by the
// signal's name ("SIGTERM" or "SIGINT") and a line feed to standard error,
// then exits with status 1. The prefix must outlive the program's run.
// Children die with the program in any case (a parent-death signal set
// before exec).
void end_children_on_termination(const char* failure_prefix);

// A wait status as text: "exit status: 1", "signal: 9 (SIGKILL)".
std::string describe_wait_status(int status);

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string utf8_lossy(const std::vector<std::uint8_t>& bytes);

// The text without leading and trailing white space.
std::string trim_whitespace(std::string_view text);

}  // namespace recorder::exporter
