#pragma once
// Bytes read from the host as text: every ill-formed UTF-8 sequence
// becomes one U+FFFD (the maximal-subpart rule), so a line is decoded the
// same way wherever it is used and never fails to be text.
#include <string>
#include <string_view>

namespace helper {

std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace helper
