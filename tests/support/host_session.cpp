#include "tests/support/host_session.h"

#include <fstream>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;
using json = nlohmann::json;

void writeManifest(const fs::path& sessionDir, const std::vector<json>& events) {
  std::ofstream out(sessionDir / "manifest.jsonl", std::ios::trunc);
  for (const auto& e : events) {
    if (e.value("type", "") == "segment_closed") out << e.dump() << "\n";
  }
}

void writeJournal(const fs::path& sessionDir, const std::vector<json>& events) {
  std::ofstream out(sessionDir / "journal.jsonl", std::ios::trunc);
  std::int64_t monotonicMs = 5;
  for (const auto& e : events) {
    if (e.value("type", "") != "output_device_detected") continue;
    const json entry = {{"schema_version", 1},
                        {"monotonic_ms", monotonicMs++},
                        {"wall_utc_ms", 1000},
                        {"type", "output_device_detected"},
                        {"device_class", e.at("device_class")},
                        {"echo_risk", e.at("echo_risk")}};
    out << entry.dump() << "\n";
  }
}

std::int64_t recordedMs(const std::vector<json>& events, const std::string& source) {
  std::int64_t ms = 0;
  for (const auto& e : events) {
    if (e.value("type", "") == "segment_closed" && e.value("source", "") == source) {
      ms += e.at("duration_ms").get<std::int64_t>();
    }
  }
  return ms;
}

RunResult runKelvaro(const fs::path& sessionDir, std::optional<std::int64_t> expectedMs) {
  RunOptions o;
  o.args = {sessionDir.string()};
  if (expectedMs) o.args.push_back(std::to_string(*expectedMs));
  o.unsetEnv.push_back("VORLANTHEA_FFMPEG");
  o.timeoutSeconds = 120;
  return runProgram(VR_KELVARO_PATH, o);
}

RunResult finaliseAsTheHost(const fs::path& sessionDir, const std::vector<json>& events,
                            std::optional<std::int64_t> expectedMs) {
  writeManifest(sessionDir, events);
  writeJournal(sessionDir, events);
  return runKelvaro(sessionDir, expectedMs);
}

std::map<std::string, std::string> keyValues(const std::string& err) {
  std::map<std::string, std::string> out;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos && line.find(' ') > eq) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

}  // namespace testsupport
