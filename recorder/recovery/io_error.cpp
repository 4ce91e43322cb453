#include "recorder/recovery/io_error.h"

#include <cerrno>
#include <system_error>

namespace recorder {

IoError IoError::os(int errnum) { return IoError(Kind::Os, errnum, {}); }

IoError IoError::last_os_error() { return os(errno); }

IoError IoError::invalid_data(std::string message) { return IoError(Kind::InvalidData, 0, std::move(message)); }

IoError IoError::invalid_input(std::string message) { return IoError(Kind::InvalidInput, 0, std::move(message)); }

IoError IoError::other(std::string message) { return IoError(Kind::Other, 0, std::move(message)); }

IoError IoError::timed_out(std::string message) { return IoError(Kind::TimedOut, 0, std::move(message)); }

IoError IoError::unexpected_eof() { return IoError(Kind::UnexpectedEof, 0, "failed to fill whole buffer"); }

IoError IoError::write_zero() { return IoError(Kind::WriteZero, 0, "failed to write whole buffer"); }

IoError IoError::nul_in_path() { return invalid_input("file name contained an unexpected NUL byte"); }

IoError IoError::not_regular_file(const std::string& path) {
  return IoError(Kind::NotRegular, 0, "not a regular file: " + path);
}

std::string IoError::to_string() const {
  if (kind_ == Kind::Os) {
    // generic_category's message is strerror's text, without its thread-safety trap.
    return std::generic_category().message(os_code_) + " (os error " + std::to_string(os_code_) + ")";
  }
  return message_;
}

}  // namespace recorder
