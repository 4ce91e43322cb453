#pragma once
// Pieces of simulated audio worlds for the capture tests: the built-in
// microphone and speakers, other devices, scripted events, and a world with
// the built-in pair as its defaults.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace testsupport {

// "Mic": 48 kHz mono, hearing a 440 Hz tone of amplitude 0.1.
inline nlohmann::json builtInMic() {
  return {{"uid", "Mic"},        {"name", "MacBook Pro Microphone"},
          {"transport", "bltn"}, {"nominal_rate", 48000},
          {"input_channels", 1}, {"signal", {{"type", "tone"}, {"frequency", 440}, {"amplitude", 0.1}}}};
}

// A 48 kHz stereo built-in output playing a 1000 Hz tone; `extra` overrides.
inline nlohmann::json outputDevice(const std::string& uid, const std::string& name,
                                   nlohmann::json extra = nlohmann::json::object()) {
  nlohmann::json d = {{"uid", uid},           {"name", name},
                      {"transport", "bltn"},  {"nominal_rate", 48000},
                      {"output_channels", 2}, {"signal", {{"type", "tone"}, {"frequency", 1000}, {"amplitude", 0.4}}}};
  d.update(extra);
  return d;
}

// "Speakers", playing a tone of the given frequency and amplitude.
inline nlohmann::json builtInSpeakers(double frequency = 1000, double amplitude = 0.4) {
  return outputDevice(
      "Speakers", "MacBook Pro Speakers",
      {{"data_source", "ispk"}, {"signal", {{"type", "tone"}, {"frequency", frequency}, {"amplitude", amplitude}}}});
}

// A scripted event at `atMs` with its fields.
inline nlohmann::json worldEvent(int64_t atMs, const std::string& action, nlohmann::json fields) {
  nlohmann::json e = {{"at_ms", atMs}, {"action", action}};
  e.update(fields);
  return e;
}

// The world of `devices` with "Mic" and "Speakers" as its defaults.
inline nlohmann::json worldWithBuiltInDefaults(nlohmann::json devices, nlohmann::json events = nlohmann::json::array(),
                                               nlohmann::json faults = nlohmann::json::array()) {
  return {{"audio",
           {{"devices", std::move(devices)},
            {"defaults", {{"input", "Mic"}, {"output", "Speakers"}, {"system_output", "Speakers"}}},
            {"events", std::move(events)},
            {"faults", std::move(faults)}}}};
}

}  // namespace testsupport
