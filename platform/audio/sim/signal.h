#pragma once
// What a simulated device hears (an input) or plays (an output): a pure
// function of time, so the echo path can read an output's past.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace platform::audio::sim {

struct SoundFileData {
  std::vector<float> samples;  // mono
  double sampleRate = 0;
};

// Decodes any audio file the media libraries read into mono float at its
// own rate. Null with a reason on failure.
std::shared_ptr<const SoundFileData> decodeSoundFile(const std::string& path, std::string* error);

struct Signal {
  enum class Kind { silence, tone, noise, file };

  static Signal silence() { return Signal{}; }
  static Signal tone(double frequencyHz, double amplitude);
  // Band-limited noise (mostly below 8 kHz) within plus or minus `amplitude`.
  static Signal noise(double amplitude, uint64_t seed);
  static Signal file(std::shared_ptr<const SoundFileData> data, double amplitude, bool loop);
  // {"type": "silence" | "tone" | "noise" | "file", "frequency", "amplitude",
  //  "seed", "path", "loop"}. Throws std::invalid_argument when malformed.
  static Signal fromJson(const nlohmann::json& j);

  // The sample at `seconds` of world time (0 before time 0).
  float at(double seconds) const;

  Kind kind = Kind::silence;
  double frequency = 440;
  double amplitude = 0;
  uint64_t seed = 1;
  std::shared_ptr<const SoundFileData> data;
  bool loop = true;
};

}  // namespace platform::audio::sim
