#pragma once
// speexdsp reports its own troubles (an adaptive filter that diverged and
// was reset, an unknown request) with fprintf on stderr, and a build of the
// library cannot be told otherwise at run time. The recovery program's
// standard error carries only its key=value lines, so descriptor 2 points at
// /dev/null for as long as a StderrSilencer lives and is restored after.
//
// The program is single-threaded; nothing else may write to standard error
// while a silencer lives.
#include "recorder/recovery/io_error.h"

namespace recorder::aec {

class StderrSilencer {
 public:
  // Points descriptor 2 at /dev/null. Fails when /dev/null cannot be opened
  // or the descriptors cannot be duplicated; standard error is then as it was.
  static IoResult<StderrSilencer> create();

  StderrSilencer(StderrSilencer&& other) noexcept;
  StderrSilencer& operator=(StderrSilencer&&) = delete;
  StderrSilencer(const StderrSilencer&) = delete;
  StderrSilencer& operator=(const StderrSilencer&) = delete;
  // Puts descriptor 2 back as it was (closed again when it was closed).
  ~StderrSilencer();

 private:
  explicit StderrSilencer(int saved) : saved_(saved) {}

  static constexpr int kInactive = -2;
  static constexpr int kWasClosed = -1;
  // A duplicate of the original descriptor 2, kWasClosed when there was none,
  // kInactive once moved from.
  int saved_ = kInactive;
};

}  // namespace recorder::aec
