#pragma once
// Runs the built programs the way a host would: arguments, environment,
// standard input, and their standard output, standard error and exit status.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct RunOptions {
  std::vector<std::string> args;           // without the program name
  std::map<std::string, std::string> env;  // added to (or replacing in) the current environment
  std::vector<std::string> unsetEnv;
  std::string stdinData;  // written, then standard input is closed
  std::string cwd;
  double timeoutSeconds = 60;
  // Standard output is a pipe whose reader is already gone (writes fail with EPIPE).
  bool stdoutBroken = false;
};

struct RunResult {
  int exitCode = -1;   // -1 when killed by a signal
  int termSignal = 0;  // the signal that ended it, else 0
  bool timedOut = false;
  std::string out;
  std::string err;

  std::vector<std::string> errLines() const;
  // Every standard-error line parsed as JSON (a line that is not JSON fails the test).
  std::vector<nlohmann::json> errEvents() const;
};

RunResult runProgram(const std::string& path, const RunOptions& options);

// A running child for conversations: write lines to its standard input and
// read its standard-error lines as they come.
class Child {
 public:
  Child(const std::string& path, const RunOptions& options);
  ~Child();  // kills and reaps a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool writeStdin(const std::string& data);
  void closeStdin();
  // The next standard-error line, or nothing when none came in time or the stream ended.
  std::optional<std::string> readErrLine(std::chrono::milliseconds timeout);
  // Reads lines until one parses as JSON with the given "type"; every line read is kept.
  std::optional<nlohmann::json> waitForEvent(const std::string& type, std::chrono::milliseconds timeout);
  void sendSignal(int sig);
  // Waits for the exit; drains the output meanwhile. Kills the child at the
  // time-out. Standard input is closed first unless `closeInput` is false.
  RunResult wait(std::chrono::milliseconds timeout, bool closeInput = true);
  const std::vector<std::string>& linesSoFar() const { return lines_; }
  // The lines so far, each ended by a newline: for a failure's message.
  std::string joinedLines() const {
    std::string out;
    for (const auto& l : lines_) out += l + "\n";
    return out;
  }

 private:
  bool pump(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdinFd_ = -1, stdoutFd_ = -1, stderrFd_ = -1;
  std::string outBuf_, errBuf_;
  std::vector<std::string> lines_;
  size_t nextLine_ = 0;
  bool reaped_ = false;
  RunResult result_;
};

std::vector<nlohmann::json> parseJsonLines(const std::vector<std::string>& lines);
std::vector<nlohmann::json> eventsOfType(const std::vector<nlohmann::json>& events, const std::string& type);

}  // namespace testsupport
