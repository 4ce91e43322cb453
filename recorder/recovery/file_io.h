#pragma once
// File access of the recovery program: an owning descriptor with read,
// write and positioning calls that repeat interrupted system calls, the
// whole-buffer loops, 8192-byte buffered readers and writers, file status,
// directory creation and listing.
//
// Every open is non-blocking and close-on-exec and is refused unless it
// lands on a regular file, so a FIFO or device lying where a segment,
// sidecar or journal is expected can never stall the program.
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "recorder/recovery/io_error.h"

namespace recorder {

// Bytes of every buffer the program reads or writes files through.
inline constexpr std::size_t kIoBufferBytes = 8192;

class Reader {
 public:
  virtual ~Reader() = default;
  // Reads at most buffer.size() bytes; 0 means the end was reached.
  virtual IoResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Writes some of the bytes (possibly fewer than given) and says how many.
  virtual IoResult<std::size_t> write(std::span<const std::uint8_t> bytes) = 0;
};

// Fills the whole buffer; the end of the input first fails with "failed to
// fill whole buffer".
IoResult<void> read_exact(Reader& reader, std::span<std::uint8_t> buffer);
// Writes every byte; a write that takes none fails with "failed to write
// whole buffer".
IoResult<void> write_all(Writer& writer, std::span<const std::uint8_t> bytes);

struct FileStatus {
  std::uint64_t size = 0;
  bool regular = false;
  bool directory = false;
  bool symlink = false;  // only from link_status
};

// An open regular file, closed when the object goes.
class File final : public Reader, public Writer {
 public:
  // Read-only.
  static IoResult<File> open_read(const std::filesystem::path& path);
  // Write-only, the file must exist; neither created nor truncated. Like
  // every open for writing, it never goes through a link at the name.
  static IoResult<File> open_write(const std::filesystem::path& path);
  // Write-only, a new file with mode 0666 (less the umask) that replaces
  // whatever stood at the name (never written through a link).
  static IoResult<File> create(const std::filesystem::path& path);
  // Write-only in append mode, created with mode 0666 when missing, never truncated.
  static IoResult<File> open_append(const std::filesystem::path& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() override;

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  // One write system call of at most 2147483647 bytes.
  IoResult<std::size_t> write(std::span<const std::uint8_t> bytes) override;
  // Positions at the given offset from the start; returns it.
  IoResult<std::uint64_t> seek(std::uint64_t offset);
  // Truncates or extends the file to the given length.
  IoResult<void> set_len(std::uint64_t length);
  IoResult<FileStatus> status() const;
  // Forces the file's data and metadata to the storage device.
  IoResult<void> sync_all();

  int fd() const { return fd_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  static IoResult<File> open_with(const std::filesystem::path& path, int flags, mode_t mode);

  int fd_ = -1;
};

// Reads from another reader through a buffer of kIoBufferBytes.
class BufferedReader final : public Reader {
 public:
  explicit BufferedReader(Reader& inner) : inner_(inner) {}
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  Reader& inner_;
  std::array<std::uint8_t, kIoBufferBytes> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Writes to another writer through a buffer of kIoBufferBytes. Call flush()
// when done: bytes still buffered when the object goes are dropped, so a
// failure to write them can never pass unseen.
class BufferedWriter final : public Writer {
 public:
  explicit BufferedWriter(Writer& inner) : inner_(inner) {}
  IoResult<std::size_t> write(std::span<const std::uint8_t> bytes) override;
  IoResult<void> flush();

 private:
  Writer& inner_;
  std::array<std::uint8_t, kIoBufferBytes> buffer_{};
  std::size_t used_ = 0;
};

// File status, following symbolic links.
IoResult<FileStatus> file_status(const std::filesystem::path& path);
// The status of the name itself: a symbolic link is not followed.
IoResult<FileStatus> link_status(const std::filesystem::path& path);
// True when something can be found at the path (a dangling link cannot).
inline bool path_exists(const std::filesystem::path& path) { return file_status(path).ok(); }
// Creates the directory and its missing parents with mode 0777 (less the
// umask); an existing directory is no error.
IoResult<void> create_dir_all(const std::filesystem::path& path);
// The entry names of a directory in listing order, without "." and "..".
IoResult<std::vector<std::string>> list_directory(const std::filesystem::path& path);
// At most max_bytes bytes from the start of a file. `truncated` says the file
// held more.
struct CappedRead {
  std::string bytes;
  bool truncated = false;
};
IoResult<CappedRead> read_file_capped(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace recorder
