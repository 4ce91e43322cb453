#pragma once
// The recovery program's one error value for file and process work, and the
// result type every fallible operation of recorder:: returns.
//
// An error made by the operating system displays as its description followed
// by " (os error N)"; an error made by the program displays as its own
// message ("not a CAF file").
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace recorder {

class IoError {
 public:
  enum class Kind {
    Os,             // carries an errno value
    InvalidData,    // the bytes read are not what they must be
    InvalidInput,   // the request itself is unusable (a NUL in a path, ...)
    UnexpectedEof,  // "failed to fill whole buffer"
    WriteZero,      // "failed to write whole buffer"
    NotRegular,     // a FIFO, device or directory where a regular file belongs
    TimedOut,       // a child process ran past its deadline
    Other,
  };

  static IoError os(int errnum);
  // errno as it stands right now.
  static IoError last_os_error();
  static IoError invalid_data(std::string message);
  static IoError invalid_input(std::string message);
  static IoError other(std::string message);
  static IoError timed_out(std::string message);
  static IoError unexpected_eof();
  static IoError write_zero();
  static IoError nul_in_path();
  static IoError not_regular_file(const std::string& path);

  Kind kind() const { return kind_; }
  // The errno value of an operating-system error, else 0.
  int os_code() const { return os_code_; }
  // The display text described above.
  std::string to_string() const;

  bool operator==(const IoError&) const = default;

 private:
  IoError(Kind kind, int os_code, std::string message) : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

  Kind kind_;
  int os_code_;
  std::string message_;
};

// A value or an IoError. Test with ok() (or in a boolean context), then take
// value() or error().
template <class T>
class [[nodiscard]] IoResult {
  static_assert(!std::is_same_v<T, IoError>);

 public:
  IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  IoResult(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};

template <>
class [[nodiscard]] IoResult<void> {
 public:
  IoResult() = default;
  IoResult(IoError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

}  // namespace recorder
