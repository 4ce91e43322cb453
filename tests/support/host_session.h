#pragma once
// The host's part of a session: what it keeps of the helper's events in the
// session directory, and kelvaro run on the directory afterwards.
#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

// `manifest.jsonl`: the "segment_closed" events, one a line, in order.
void writeManifest(const std::filesystem::path& sessionDir, const std::vector<nlohmann::json>& events);
// `journal.jsonl`: one "output_device_detected" entry (with its device class
// and echo risk) for each such helper event.
void writeJournal(const std::filesystem::path& sessionDir, const std::vector<nlohmann::json>& events);
// The sum of "duration_ms" over one source's "segment_closed" events.
std::int64_t recordedMs(const std::vector<nlohmann::json>& events, const std::string& source);

// kelvaro on the session (with the host's expected duration when given),
// with VORLANTHEA_FFMPEG unset.
RunResult runKelvaro(const std::filesystem::path& sessionDir, std::optional<std::int64_t> expectedMs = std::nullopt);
// What a host does once the helper has ended: keeps the manifest and the
// journal, then runs kelvaro on the session.
RunResult finaliseAsTheHost(const std::filesystem::path& sessionDir, const std::vector<nlohmann::json>& events,
                            std::optional<std::int64_t> expectedMs = std::nullopt);
// kelvaro's "name=value" result lines.
std::map<std::string, std::string> keyValues(const std::string& err);

}  // namespace testsupport
