#include "recorder/aec/stderr_silencer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace recorder::aec {
namespace {

int dup2_retrying(int from, int to) {
  int r;
  do {
    r = ::dup2(from, to);
  } while (r < 0 && (errno == EINTR || errno == EBUSY));
  return r;
}

}  // namespace

IoResult<StderrSilencer> StderrSilencer::create() {
  // Whatever stdio still buffers belongs to the real standard error.
  std::fflush(stderr);
  int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0) {
    if (errno != EBADF) return IoError::last_os_error();
    // Descriptor 2 was closed: fill it with /dev/null meanwhile and close it
    // again afterwards.
    saved = kWasClosed;
  }
  int null_fd;
  do {
    null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  } while (null_fd < 0 && errno == EINTR);
  if (null_fd < 0) {
    const IoError error = IoError::last_os_error();
    if (saved >= 0) ::close(saved);
    return error;
  }
  if (null_fd != STDERR_FILENO) {
    const int r = dup2_retrying(null_fd, STDERR_FILENO);
    const int err = errno;
    ::close(null_fd);
    if (r < 0) {
      if (saved >= 0) ::close(saved);
      return IoError::os(err);
    }
  }
  return StderrSilencer(saved);
}

StderrSilencer::StderrSilencer(StderrSilencer&& other) noexcept : saved_(std::exchange(other.saved_, kInactive)) {}

StderrSilencer::~StderrSilencer() {
  if (saved_ == kInactive) return;
  // What the library left in stdio's buffer goes to /dev/null too.
  std::fflush(stderr);
  if (saved_ == kWasClosed) {
    ::close(STDERR_FILENO);
    return;
  }
  dup2_retrying(saved_, STDERR_FILENO);
  ::close(saved_);
}

}  // namespace recorder::aec
