#pragma once
// The two sources a capture records. A source is a value of this type
// everywhere inside the helper; its text ("mic", "system") is written only
// where an event, a trace or a path leaves the program, and read only where
// the command line or a table brings one in.
#include <cstdint>
#include <optional>
#include <string_view>

namespace helper {

enum class Source : uint8_t { mic, system };

constexpr const char* sourceName(Source source) { return source == Source::mic ? "mic" : "system"; }

// Nothing for any text but "mic" and "system".
constexpr std::optional<Source> parseSource(std::string_view text) {
  if (text == "mic") return Source::mic;
  if (text == "system") return Source::system;
  return std::nullopt;
}

}  // namespace helper
