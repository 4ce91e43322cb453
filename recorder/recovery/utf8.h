#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace recorder {

// The length of the well-formed sequence that starts at `pos` (1 to 4), or
// 0 when there is none; then `skip` is how many bytes form the longest
// prefix of a valid sequence (at least 1), the unit a lossy decoder replaces.
std::size_t utf8_sequence_at(std::string_view bytes, std::size_t pos, std::size_t& skip);

// True when the bytes are well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// Decodes the code point at `pos` of valid UTF-8 and advances `pos` past it.
char32_t decode_utf8(std::string_view valid, std::size_t& pos);

}  // namespace recorder
