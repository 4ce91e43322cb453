#include "helper/selftest/utf8_text.h"

namespace helper {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadByte {
  int length;  // 0: not a lead byte of a well-formed sequence
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
};

// The well-formed ranges of Unicode's table 3-7: the second byte's range
// depends on the lead, which keeps out overlongs, surrogates and values
// beyond U+10FFFF.
LeadByte classifyLead(unsigned char c) {
  if (c >= 0xC2 && c <= 0xDF) return {2};
  if (c == 0xE0) return {3, 0xA0, 0xBF};
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return {3};
  if (c == 0xED) return {3, 0x80, 0x9F};
  if (c == 0xF0) return {4, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {4};
  if (c == 0xF4) return {4, 0x80, 0x8F};
  return {0};
}

}  // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const LeadByte lead = classifyLead(c);
    if (lead.length == 0) {
      out.append(kReplacement);
      ++i;
      continue;
    }
    // Take continuation bytes while they fit; the first that does not is
    // not consumed, it starts the next sequence.
    size_t j = i + 1;
    for (int k = 1; k < lead.length && j < bytes.size(); ++k, ++j) {
      const auto b = static_cast<unsigned char>(bytes[j]);
      const unsigned char low = k == 1 ? lead.secondLow : 0x80;
      const unsigned char high = k == 1 ? lead.secondHigh : 0xBF;
      if (b < low || b > high) break;
    }
    if (j - i == static_cast<size_t>(lead.length)) {
      out.append(bytes.substr(i, j - i));
    } else {
      out.append(kReplacement);
    }
    i = j;
  }
  return out;
}

}  // namespace helper
