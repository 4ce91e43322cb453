#include "recorder/recovery/utf8.h"

namespace recorder {

std::size_t utf8_sequence_at(std::string_view bytes, std::size_t pos, std::size_t& skip) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const unsigned char c = p[pos];
  skip = 1;
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  std::size_t end = pos + 1;
  if (end < n && p[end] >= lo && p[end] <= hi) {
    ++end;
    while (end < pos + len && end < n && (p[end] & 0xC0) == 0x80) ++end;
  }
  if (end == pos + len) return len;
  skip = end - pos;
  return 0;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t skip = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t len = utf8_sequence_at(bytes, i, skip);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t decode_utf8(std::string_view valid, std::size_t& pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(valid.data()) + pos;
  const unsigned char c = p[0];
  if (c < 0x80) {
    pos += 1;
    return c;
  }
  if (c < 0xE0) {
    pos += 2;
    return (char32_t(c & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (c < 0xF0) {
    pos += 3;
    return (char32_t(c & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  pos += 4;
  return (char32_t(c & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

}  // namespace recorder
