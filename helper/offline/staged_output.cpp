#include "helper/offline/staged_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>
#include <utility>

#include "helper/core/entry/process.h"

namespace helper {

namespace {

// The directory part of `path`: "." when it has none.
std::string outputDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

StagedOutput::StagedOutput(std::string outPath) : outPath_(std::move(outPath)) {
  // Beside the output, so the rename stays within one file system; the
  // name is hidden and unique to this run.
  const std::string dir = outputDirectory(outPath_);
  std::random_device entropy;
  for (int attempt = 0;; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/.tasmerig-%ld-%08x%08x.partial", static_cast<long>(::getpid()), entropy(),
                  entropy());
    const std::string candidate = dir + name;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      tempPath_ = candidate;
      break;
    }
    if (errno != EEXIST || attempt == 16) throw std::system_error(errno, std::generic_category(), dir);
  }
  const std::string temp = tempPath_;
  setFatalExitCleanup([temp] { ::unlink(temp.c_str()); });
}

StagedOutput::~StagedOutput() {
  if (committed_) return;
  setFatalExitCleanup({});
  ::unlink(tempPath_.c_str());
}

std::optional<std::string> StagedOutput::commit() {
  if (::rename(tempPath_.c_str(), outPath_.c_str()) != 0) return std::string(std::strerror(errno));
  committed_ = true;
  setFatalExitCleanup({});
  return std::nullopt;
}

}  // namespace helper
