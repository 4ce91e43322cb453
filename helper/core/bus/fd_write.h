#pragma once
#include <cstddef>
#include <string_view>

namespace helper {

// Writes all of `data` to `fd`, repeating short and interrupted writes.
// Returns false when the output failed (for example EPIPE: the reader is
// gone); the caller treats such output as lost.
bool writeAll(int fd, std::string_view data);

}  // namespace helper
