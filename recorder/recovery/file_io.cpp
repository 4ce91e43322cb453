#include "recorder/recovery/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace recorder {
namespace {

bool has_nul(const std::filesystem::path& path) {
  return path.native().find('\0') != std::filesystem::path::string_type::npos;
}

FileStatus to_status(const struct stat& st) {
  FileStatus status;
  status.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  status.regular = S_ISREG(st.st_mode);
  status.directory = S_ISDIR(st.st_mode);
  return status;
}

// The largest count one read or write system call is handed.
constexpr std::size_t kMaxIoChunk = INT_MAX;

}  // namespace

IoResult<void> read_exact(Reader& reader, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto n = reader.read(buffer);
    if (!n) return n.error();
    if (*n == 0) return IoError::unexpected_eof();
    buffer = buffer.subspan(*n);
  }
  return {};
}

IoResult<void> write_all(Writer& writer, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    auto n = writer.write(bytes);
    if (!n) return n.error();
    if (*n == 0) return IoError::write_zero();
    bytes = bytes.subspan(*n);
  }
  return {};
}

IoResult<File> File::open_with(const std::filesystem::path& path, int flags, mode_t mode) {
  if (has_nul(path)) return IoError::nul_in_path();
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::last_os_error();
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return IoError::last_os_error();
  if (!S_ISREG(st.st_mode)) return IoError::not_regular_file(path.string());
  // Regular files ignore the flag, but leave the descriptor in its usual mode.
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return IoError::last_os_error();
  return file;
}

IoResult<File> File::open_read(const std::filesystem::path& path) { return open_with(path, O_RDONLY, 0); }

IoResult<File> File::open_write(const std::filesystem::path& path) { return open_with(path, O_WRONLY | O_NOFOLLOW, 0); }

IoResult<File> File::create(const std::filesystem::path& path) {
  if (has_nul(path)) return IoError::nul_in_path();
  // Truncating in place would write through a link (symbolic or hard) that
  // stands at the name into the file it reaches, such as an input segment.
  // The name is freed instead and a new file made there; a link planted in
  // between fails the exclusive create rather than being followed.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return IoError::last_os_error();
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
}

IoResult<File> File::open_append(const std::filesystem::path& path) {
  return open_with(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0666);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  // close is never repeated: the descriptor is released even when it reports EINTR.
  if (fd_ >= 0) ::close(fd_);
}

IoResult<std::size_t> File::read(std::span<std::uint8_t> buffer) {
  const std::size_t want = std::min(buffer.size(), kMaxIoChunk);
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), want);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return IoError::last_os_error();
  }
}

IoResult<std::size_t> File::write(std::span<const std::uint8_t> bytes) {
  const std::size_t want = std::min(bytes.size(), kMaxIoChunk);
  for (;;) {
    const ssize_t n = ::write(fd_, bytes.data(), want);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return IoError::last_os_error();
  }
}

IoResult<std::uint64_t> File::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return IoError::os(EINVAL);
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (at < 0) return IoError::last_os_error();
  return static_cast<std::uint64_t>(at);
}

IoResult<void> File::set_len(std::uint64_t length) {
  if (length > static_cast<std::uint64_t>(INT64_MAX)) return IoError::os(EINVAL);
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return IoError::last_os_error();
  }
  return {};
}

IoResult<FileStatus> File::status() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return IoError::last_os_error();
  return to_status(st);
}

IoResult<void> File::sync_all() {
  // This platform has no F_FULLFSYNC; fsync is its strongest flush.
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return IoError::last_os_error();
  }
  return {};
}

IoResult<std::size_t> BufferedReader::read(std::span<std::uint8_t> out) {
  if (out.empty()) return std::size_t{0};
  // A request at least as large as the buffer bypasses it when nothing is buffered.
  if (begin_ == end_ && out.size() >= buffer_.size()) return inner_.read(out);
  if (begin_ == end_) {
    auto n = inner_.read(buffer_);
    if (!n) return n.error();
    begin_ = 0;
    end_ = *n;
    if (end_ == 0) return std::size_t{0};
  }
  const std::size_t n = std::min(out.size(), end_ - begin_);
  std::memcpy(out.data(), buffer_.data() + begin_, n);
  begin_ += n;
  return n;
}

IoResult<std::size_t> BufferedWriter::write(std::span<const std::uint8_t> bytes) {
  if (used_ + bytes.size() > buffer_.size()) {
    if (auto r = flush(); !r) return r.error();
  }
  if (bytes.size() >= buffer_.size()) return inner_.write(bytes);
  std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
  return bytes.size();
}

IoResult<void> BufferedWriter::flush() {
  std::size_t done = 0;
  while (done < used_) {
    auto n = inner_.write(std::span<const std::uint8_t>(buffer_.data() + done, used_ - done));
    if (!n || *n == 0) {
      // Keep what was not written so that a retry writes it.
      std::memmove(buffer_.data(), buffer_.data() + done, used_ - done);
      used_ -= done;
      if (!n) return n.error();
      return IoError::write_zero();
    }
    done += *n;
  }
  used_ = 0;
  return {};
}

IoResult<FileStatus> file_status(const std::filesystem::path& path) {
  if (has_nul(path)) return IoError::nul_in_path();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return IoError::last_os_error();
  return to_status(st);
}

IoResult<FileStatus> link_status(const std::filesystem::path& path) {
  if (has_nul(path)) return IoError::nul_in_path();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return IoError::last_os_error();
  auto status = to_status(st);
  status.symlink = S_ISLNK(st.st_mode);
  return status;
}

IoResult<void> create_dir_all(const std::filesystem::path& path) {
  if (has_nul(path)) return IoError::nul_in_path();
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    const auto parent = path.parent_path();
    if (!parent.empty() && parent != path) {
      if (auto r = create_dir_all(parent); !r) return r;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  // Made meanwhile by someone else, or there already: both are fine.
  if (auto st = file_status(path); st && st->directory) return {};
  return IoError::os(err);
}

IoResult<std::vector<std::string>> list_directory(const std::filesystem::path& path) {
  if (has_nul(path)) return IoError::nul_in_path();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), &::closedir);
  if (!dir) return IoError::last_os_error();
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return IoError::last_os_error();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

IoResult<CappedRead> read_file_capped(const std::filesystem::path& path, std::size_t max_bytes) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  CappedRead result;
  std::array<std::uint8_t, kIoBufferBytes> buffer{};
  for (;;) {
    auto n = file->read(buffer);
    if (!n) return n.error();
    if (*n == 0) break;
    const std::size_t room = max_bytes - result.bytes.size();
    if (*n > room) {
      result.bytes.append(reinterpret_cast<const char*>(buffer.data()), room);
      result.truncated = true;
      break;
    }
    result.bytes.append(reinterpret_cast<const char*>(buffer.data()), *n);
  }
  return result;
}

}  // namespace recorder
