#pragma once
// A meeting in the simulated world: the speakers play a spoken text, the
// built-in microphone hears its own tone and, through the world's echo
// path, the speakers.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

namespace testsupport {

inline constexpr const char* kSpeakerUID = "BuiltInSpeakerDevice";
inline constexpr const char* kMicUID = "BuiltInMicrophoneDevice";

// A spoken text of about 17 s, made with espeak-ng and resampled with
// ffmpeg: `played` is the 48 kHz WAV file the speakers play, `canonical`
// the same sound at `canonicalRate`, repeated as the looping speakers
// repeat it, for `canonicalSeconds`.
struct Speech {
  std::filesystem::path played;
  std::vector<float> canonical;
};
// Fails the test and returns an empty `canonical` when a tool fails.
Speech makeSpeech(const std::filesystem::path& dir, int canonicalRate = 24000, double canonicalSeconds = 40);

struct MeetingWorld {
  double speechAmplitude = 0.5;
  // The mic's own sound, a tone the cleaned mic must keep.
  double micToneHz = 1000;
  double micToneAmplitude = 0.002;
  // The room: the mic hears the speakers this much later, and quieter.
  double echoDelayMs = 40;
  double echoGain = 0.3;
  // What the speakers play instead of the speech (a signal object), if set.
  nlohmann::json speakerSignal;
  // Scripted events of the "audio" section.
  nlohmann::json events = nlohmann::json::array();
  // How far each device stamps its buffers off their time, either way.
  double micStampJitterMs = 0;
  double speakerStampJitterMs = 0;
};
// The scenario (the whole file's content) of that world.
nlohmann::json meetingScenario(const std::filesystem::path& speech, const MeetingWorld& world = {});

}  // namespace testsupport
