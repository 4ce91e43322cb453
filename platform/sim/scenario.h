#pragma once
// The simulated world's scenario: a JSON file named by the environment
// variable VORLANTHEA_SIM_SCENARIO, read once on first use. Only platform/
// reads it; the programs above know nothing of it.
#include <nlohmann/json.hpp>
#include <string>

namespace platform::sim {

inline constexpr const char* kScenarioEnvVar = "VORLANTHEA_SIM_SCENARIO";

// The whole scenario (an empty object when none is set). A scenario that
// cannot be read or parsed ends the process with a message on standard
// error: a test that names a scenario must not silently run another world.
const nlohmann::json& scenario();

// scenario()[name] when it is an object, else an empty object.
const nlohmann::json& scenarioSection(const std::string& name);

// Ends the process for a scenario that cannot be used: "simulated
// platform: <message>" on standard error, exit status 70.
[[noreturn]] void failScenario(const std::string& message);

// Reads and parses one scenario file as the loader does: a JSON object,
// or an empty object with `error` set when it cannot be read or parsed.
nlohmann::json loadScenarioFile(const std::string& path, std::string* error);

}  // namespace platform::sim
