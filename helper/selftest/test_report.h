#pragma once
// Pass/fail reporting shared by the test modes: one line per check on
// standard error (written directly, never through the event bus), a
// summary line, and the exit status.
#include <cstdint>
#include <string>

namespace helper {

class TestReport {
 public:
  // Counts the check and writes "PASS: name", "FAIL: name — reason" or,
  // with an empty reason, "FAIL: name".
  void check(const std::string& name, bool ok, const std::string& reason);
  // Silent on a pass; "FAIL: name" on a failure.
  void checkQuiet(const std::string& name, bool ok);
  // Counts without writing; the caller writes its own failure line.
  void count(bool ok);
  // Writes one line to standard error as one write.
  static void writeLine(const std::string& line);

  int64_t passed() const { return passed_; }
  int64_t failed() const { return failed_; }

  // Writes prefix + "P/T passed, F failed", stops the event bus and exits
  // with 1 when anything failed, else 0.
  [[noreturn]] void finish(const std::string& summaryPrefix) const;

 private:
  int64_t passed_ = 0;
  int64_t failed_ = 0;
};

}  // namespace helper
