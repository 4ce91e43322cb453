#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace recorder {

// True when the bytes are well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// Decodes the code point at `pos` of valid UTF-8 and advances `pos` past it.
char32_t decode_utf8(std::string_view valid, std::size_t& pos);

}  // namespace recorder
