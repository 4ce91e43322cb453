#pragma once
// The text of a journal line and the strict rules by which a line is read.
//
// A line is one compact JSON object: "schema_version", "monotonic_ms",
// "wall_utc_ms", "type" (the kind's tag), then the kind's fields in their
// declared order; absent optional fields are null, except the duration of
// "source_health", which is left off.
#include <optional>
#include <string>
#include <string_view>

#include "recorder/journal/journal_event.h"

namespace recorder::journal {

// Appends the entry's line, line feed included, to `out`. Fails, leaving
// `out` as it was, only when a text of the entry is not valid UTF-8.
bool append_entry_line(std::string& out, const JournalEntry& entry);
// The entry's line with its line feed, or nothing as above.
std::optional<std::string> format_entry(const JournalEntry& entry);

// Reads one line (without its line feed). A line that breaks any rule yields
// nothing; `why`, when given, receives a diagnostic text no caller shows.
std::optional<JournalEntry> parse_entry_line(std::string_view line, std::string* why = nullptr);

// Appends `text` as a JSON string: quote and backslash escaped, the short
// escapes for 0x08, 0x09, 0x0A, 0x0C, 0x0D, \u00xx for the other control
// characters, everything else as its UTF-8 bytes. False (and `out`
// unchanged) when `text` is not valid UTF-8.
bool append_json_text(std::string& out, std::string_view text);

}  // namespace recorder::journal
