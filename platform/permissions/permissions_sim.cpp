#include <chrono>
#include <mutex>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/permissions/permissions.h"
#include "platform/permissions/permissions_testing.h"
#include "platform/sim/scenario.h"

namespace platform::permissions {
namespace {

using testing::MicrophoneSettings;
using testing::SystemAudioSettings;

struct State {
  std::mutex mu;
  MicrophoneSettings mic;
  SystemAudioSettings sys;
};

State& loadState(State& st) {
  const auto& sec = sim::scenarioSection("permissions");
  if (auto m = sec.find("microphone"); m != sec.end() && m->is_object()) {
    st.mic.status = m->value("status", st.mic.status);
    st.mic.answer = m->value("answer", st.mic.answer);
    st.mic.answerDelayMs = m->value("answer_delay_ms", st.mic.answerDelayMs);
  }
  if (auto s = sec.find("system_audio"); s != sec.end() && s->is_object()) {
    st.sys.available = s->value("available", st.sys.available);
    st.sys.hasPreflight = s->value("has_preflight", st.sys.hasPreflight);
    st.sys.hasRequest = s->value("has_request", st.sys.hasRequest);
    st.sys.preflight = s->value("preflight", st.sys.preflight);
    st.sys.answer = s->value("answer", st.sys.answer);
    st.sys.answerDelayMs = s->value("answer_delay_ms", st.sys.answerDelayMs);
    if (auto p = s->find("preflight_after_answer"); p != s->end() && p->is_number_integer()) {
      st.sys.preflightAfterAnswer = p->get<int>();
    }
  }
  return st;
}

State& state() {
  static State* st = &loadState(*new State());
  return *st;
}

// Answers on another thread after the delay, like a consent prompt would.
void answerLater(long delayMs, bool answer, std::function<void(bool)> onAnswer) {
  if (delayMs < 0) return;  // never answered
  dispatch::startNamedThread("consent-answer", [delayMs, answer, onAnswer = std::move(onAnswer)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    onAnswer(answer);
  }).detach();
}

class SimConsent final : public AudioCaptureConsent {
 public:
  bool hasPreflight() const override {
    std::lock_guard lock(state().mu);
    return state().sys.hasPreflight;
  }
  int preflight(const char*) override {
    std::lock_guard lock(state().mu);
    return state().sys.preflight;
  }
  bool hasRequest() const override {
    std::lock_guard lock(state().mu);
    return state().sys.hasRequest;
  }
  void request(const char*, std::function<void(bool)> completion) override {
    long delay;
    bool answer;
    {
      std::lock_guard lock(state().mu);
      delay = state().sys.answerDelayMs;
      answer = state().sys.answer;
    }
    answerLater(delay, answer, [completion = std::move(completion)](bool granted) {
      {
        std::lock_guard lock(state().mu);
        auto& sys = state().sys;
        if (sys.preflightAfterAnswer) {
          sys.preflight = *sys.preflightAfterAnswer;
        } else if (granted) {
          sys.preflight = 0;
        }
      }
      completion(granted);
    });
  }
};

}  // namespace

int microphoneAuthorizationStatus() {
  std::lock_guard lock(state().mu);
  return state().mic.status;
}

void requestMicrophoneAccess(std::function<void(bool)> completion) {
  long delay;
  bool answer;
  {
    std::lock_guard lock(state().mu);
    delay = state().mic.answerDelayMs;
    answer = state().mic.answer;
  }
  answerLater(delay, answer, [completion = std::move(completion)](bool granted) {
    {
      std::lock_guard lock(state().mu);
      state().mic.status = granted ? kMicAuthorized : kMicDenied;
    }
    completion(granted);
  });
}

std::unique_ptr<AudioCaptureConsent> AudioCaptureConsent::open() {
  {
    std::lock_guard lock(state().mu);
    if (!state().sys.available) return nullptr;
  }
  return std::make_unique<SimConsent>();
}

namespace testing {
void setMicrophone(const MicrophoneSettings& s) {
  std::lock_guard lock(state().mu);
  state().mic = s;
}
void setSystemAudio(const SystemAudioSettings& s) {
  std::lock_guard lock(state().mu);
  state().sys = s;
}
void reset() {
  std::lock_guard lock(state().mu);
  state().mic = MicrophoneSettings{};
  state().sys = SystemAudioSettings{};
}
}  // namespace testing

}  // namespace platform::permissions
