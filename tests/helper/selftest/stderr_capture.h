#pragma once
// Standard error, captured into a temporary file while the object lives:
// the test modes write their check lines straight to descriptor 2.
#include <unistd.h>

#include <cstdio>
#include <string>

namespace selftesttest {

class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(2)) { dup2(fileno(file_), 2); }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Ends the capture and returns what was written.
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

}  // namespace selftesttest
