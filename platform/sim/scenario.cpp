#include "platform/sim/scenario.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform::sim {
namespace {

nlohmann::json load() {
  const char* path = std::getenv(kScenarioEnvVar);
  if (path == nullptr || *path == '\0') return nlohmann::json::object();
  std::string error;
  nlohmann::json j = loadScenarioFile(path, &error);
  if (!error.empty()) failScenario(error);
  return j;
}

}  // namespace

void failScenario(const std::string& message) {
  const std::string line = "simulated platform: " + message + "\n";
  [[maybe_unused]] ssize_t n = ::write(2, line.data(), line.size());
  std::_Exit(70);
}

nlohmann::json loadScenarioFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = "cannot read scenario file " + path;
    return nlohmann::json::object();
  }
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    if (error != nullptr) *error = "scenario file is not a JSON object: " + path;
    return nlohmann::json::object();
  }
  return j;
}

const nlohmann::json& scenario() {
  static const nlohmann::json* s = new nlohmann::json(load());
  return *s;
}

const nlohmann::json& scenarioSection(const std::string& name) {
  static const nlohmann::json empty = nlohmann::json::object();
  const auto& s = scenario();
  auto it = s.find(name);
  if (it == s.end() || !it->is_object()) return empty;
  return *it;
}

}  // namespace platform::sim
