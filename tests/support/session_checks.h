#pragma once
// Checks of a finished capture run shared by the end-to-end tests: event
// searches, the sealing of every segment, and finalisation with kelvaro.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/capture_session.h"
#include "tests/support/process.h"

namespace testsupport {

std::vector<nlohmann::json> ofSource(const std::vector<nlohmann::json>& events, const std::string& source);

// Position of the first event matching, from `from` on; events.size() when none.
size_t findFrom(const std::vector<nlohmann::json>& events, size_t from,
                const std::function<bool(const nlohmann::json&)>& match);
std::function<bool(const nlohmann::json&)> ofType(const std::string& type);
std::function<bool(const nlohmann::json&)> segmentClosed(const std::string& source, int64_t index);

// The route traces of one stage, in order.
std::vector<nlohmann::json> traces(const std::vector<nlohmann::json>& events, const std::string& stage);

// Every segment the run opened was sealed (or removed for want of audio),
// the files hold what the events say, and one "session_end" is the last line.
void expectSealedAndEnded(const CaptureSession& s);

// The host's part after a run: the manifest from the "segment_closed"
// lines, then kelvaro on the session. Returns kelvaro's result.
RunResult finalise(const CaptureSession& s);

// Length of a 24 kHz timeline file kelvaro wrote, in milliseconds.
int64_t timelineMs(const std::filesystem::path& file);

}  // namespace testsupport
