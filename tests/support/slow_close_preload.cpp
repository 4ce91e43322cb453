// An LD_PRELOAD library that makes closing files in one directory slow
// (what and how: slow_close.h). It replaces close() and forwards to the C
// library's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tests/support/slow_close.h"

namespace {

using CloseFn = int (*)(int);

std::atomic<bool> gMarked{false};

bool isSlow(int fd) {
  const char* dir = std::getenv(testsupport::kSlowCloseDirEnvVar);
  if (dir == nullptr || *dir == '\0') return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char path[4096];
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const size_t len = std::strlen(dir);
  return std::strncmp(path, dir, len) == 0 && path[len] == '/';
}

void mark() {
  const char* file = std::getenv(testsupport::kSlowCloseMarkEnvVar);
  if (file == nullptr || gMarked.exchange(true)) return;
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"))(fd);
}

}  // namespace

extern "C" int close(int fd) {
  static const CloseFn real = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
  if (isSlow(fd)) {
    const char* ms = std::getenv(testsupport::kSlowCloseMsEnvVar);
    const long wait = ms != nullptr ? std::atol(ms) : 0;
    timespec left{wait / 1000, (wait % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0) {
    }
    mark();
  }
  return real(fd);
}
