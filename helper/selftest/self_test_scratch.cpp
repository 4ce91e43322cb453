#include "helper/selftest/self_test_scratch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "helper/core/entry/scoped_fd.h"

namespace helper {
namespace {

namespace fs = std::filesystem;

bool isOurPrivateDirectory(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

// The directory just made at `path`, reached without following a link, gets
// exactly mode 0700 whatever the umask took away.
bool settleNewDirectory(const std::string& path) {
  const ScopedFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  return ::fchmod(fd.get(), 0700) == 0 && ::fstat(fd.get(), &st) == 0 && isOurPrivateDirectory(st);
}

bool isSingleName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool makePrivateDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(path.c_str(), 0700) == 0) return settleNewDirectory(path);
  if (errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !isOurPrivateDirectory(st)) return false;
  std::error_code ec;
  fs::remove_all(path, ec);
  return !ec && ::mkdir(path.c_str(), 0700) == 0 && settleNewDirectory(path);
}

std::optional<std::string> userTemporaryDirectory() {
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path(ec);
  if (ec || dir.empty()) return std::nullopt;
  const fs::path absolute = fs::absolute(dir, ec);
  if (ec) return std::nullopt;
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

PrivateScratchRoot::PrivateScratchRoot(const std::optional<std::string>& tempDir, const std::string& prefix) {
  if (!tempDir || tempDir->empty()) return;
  std::string base = *tempDir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = (base == "/" ? "" : base) + "/" + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return;
  const std::string made(name.data());
  if (!settleNewDirectory(made)) {
    std::error_code ec;
    fs::remove_all(made, ec);
    return;
  }
  path_ = made;
}

PrivateScratchRoot::~PrivateScratchRoot() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::optional<std::string> PrivateScratchRoot::makeDirectory(const std::string& name) const {
  if (path_.empty() || !isSingleName(name)) return std::nullopt;
  const std::string dir = path_ + "/" + name;
  if (!makePrivateDirectory(dir)) return std::nullopt;
  return dir;
}

void PrivateScratchRoot::remove(const std::string& name) const {
  if (path_.empty() || !isSingleName(name)) return;
  std::error_code ec;
  fs::remove_all(path_ + "/" + name, ec);
}

}  // namespace helper
