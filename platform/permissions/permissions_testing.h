#pragma once
// Test interface of the simulated permission service. The same settings
// can come from the "permissions" section of the scenario file:
//   {"microphone": {"status": 0, "answer": true, "answer_delay_ms": 10},
//    "system_audio": {"available": true, "preflight": 1,
//                     "has_preflight": true, "has_request": true,
//                     "answer": true, "answer_delay_ms": 10,
//                     "preflight_after_answer": 0}}
// An "answer_delay_ms" below 0 means the request is never answered.
#include <optional>

namespace platform::permissions::testing {

struct MicrophoneSettings {
  int status = 3;
  bool answer = true;
  long answerDelayMs = 0;
};

struct SystemAudioSettings {
  bool available = true;
  bool hasPreflight = true;
  bool hasRequest = true;
  int preflight = 0;
  bool answer = true;
  long answerDelayMs = 0;
  // The preflight value once a request was answered (default: 0 after a
  // yes, the earlier value after a no).
  std::optional<int> preflightAfterAnswer;
};

void setMicrophone(const MicrophoneSettings& s);
void setSystemAudio(const SystemAudioSettings& s);
void reset();

}  // namespace platform::permissions::testing
