#include "tests/support/speech_world.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/audio_analysis.h"
#include "tests/support/process.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kText =
    "Good morning everyone, and thanks for joining the weekly planning call. Before we look at the release dates, "
    "let us go round the table and hear how each team is doing. Maria, would you like to start with the numbers "
    "from the support desk, and then we can talk about the new onboarding flow and the budget for the next quarter.";

bool run(const std::string& program, std::vector<std::string> args) {
  RunOptions o;
  o.args = std::move(args);
  o.timeoutSeconds = 60;
  const RunResult r = runProgram(program, o);
  EXPECT_EQ(r.exitCode, 0) << program << " failed (scripts/setup installs it): " << r.err;
  return r.exitCode == 0;
}

bool ffmpeg(const fs::path& in, std::vector<std::string> outArgs) {
  std::vector<std::string> args = {"-nostdin", "-loglevel", "error", "-y", "-i", in.string()};
  args.insert(args.end(), outArgs.begin(), outArgs.end());
  return run("/usr/bin/ffmpeg", args);
}

}  // namespace

Speech makeSpeech(const fs::path& dir, int canonicalRate, double canonicalSeconds) {
  Speech s;
  fs::create_directories(dir);
  const fs::path spoken = dir / "spoken.wav";
  s.played = dir / "speech.wav";
  const fs::path raw = dir / "speech.raw";
  if (!run("/usr/bin/espeak-ng", {"-w", spoken.string(), kText})) return s;
  if (!ffmpeg(spoken, {"-ac", "1", "-ar", "48000", s.played.string()})) return s;
  if (!ffmpeg(s.played, {"-ac", "1", "-ar", std::to_string(canonicalRate), "-f", "s16le", raw.string()})) return s;
  const std::vector<float> once = readRawS16(raw);
  if (once.empty()) return s;
  const auto total = static_cast<size_t>(canonicalSeconds * canonicalRate);
  s.canonical.reserve(total);
  while (s.canonical.size() < total) {
    s.canonical.insert(s.canonical.end(), once.begin(),
                       once.begin() + std::min(once.size(), total - s.canonical.size()));
  }
  return s;
}

json meetingScenario(const fs::path& speech, const MeetingWorld& w) {
  json mic = {{"uid", kMicUID},
              {"name", "MacBook Pro Microphone"},
              {"transport", "bltn"},
              {"nominal_rate", 48000},
              {"input_channels", 1},
              {"signal", {{"type", "tone"}, {"frequency", w.micToneHz}, {"amplitude", w.micToneAmplitude}}}};
  json speakers = {{"uid", kSpeakerUID},       {"name", "MacBook Pro Speakers"}, {"transport", "bltn"},
                   {"nominal_rate", 48000},    {"output_channels", 2},           {"data_source", "ispk"},
                   {"signal", w.speakerSignal}};
  if (w.speakerSignal.is_null()) {
    speakers["signal"] = {
        {"type", "file"}, {"path", speech.string()}, {"amplitude", w.speechAmplitude}, {"loop", true}};
  }
  if (w.micStampJitterMs > 0) mic["timestamp_jitter_ms"] = w.micStampJitterMs;
  if (w.speakerStampJitterMs > 0) speakers["timestamp_jitter_ms"] = w.speakerStampJitterMs;
  json audio = {{"devices", {mic, speakers}},
                {"defaults", {{"input", kMicUID}, {"output", kSpeakerUID}, {"system_output", kSpeakerUID}}},
                {"echo", {{"delay_ms", w.echoDelayMs}, {"gain", w.echoGain}, {"inputs", {kMicUID}}}},
                {"events", w.events}};
  return {{"audio", audio}};
}

}  // namespace testsupport
