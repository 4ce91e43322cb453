#pragma once
// Both programs write their protocol to standard error and later open
// segments, journals and outputs. Started with a standard descriptor closed,
// the first file opened would take its number and receive those lines, so
// every closed one is held by the null device before anything else opens.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

inline void holdClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so the lowest free one is fd.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) std::_Exit(1);
  }
}
