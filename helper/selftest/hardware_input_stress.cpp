#include "helper/selftest/hardware_input_stress.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "platform/audio/engine/engine.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using std::chrono::microseconds;

constexpr uint32_t kTapBufferFrames = 512;
constexpr const char* kStartFailedReason = "engine start failed (no mic?)";

class PlatformStressEngine final : public StressEngine {
 public:
  AudioFormat inputFormat() override { return engine_.inputNode().inputFormat(0); }
  bool installTap() override {
    return engine_.inputNode().installTap(0, kTapBufferFrames, std::nullopt,
                                          [](const platform::audio::PCMBuffer&, const platform::audio::AudioTime&) {});
  }
  void prepare() override { engine_.prepare(); }
  bool start() override { return engine_.start(); }  // the platform's reason is not reported
  void removeTap() override { engine_.inputNode().removeTap(0); }
  void stop() override { engine_.stop(); }

 private:
  platform::audio::AudioEngine engine_;
};

bool hasChannels(const AudioFormat& f) { return f.channelCount() != 0; }

// Installs the tap, prepares and starts. A tap on a format without
// channels is never asked for: the platform cannot deliver one, so it is a
// failed start. The tap is left installed only when the start succeeded.
bool startWithTap(StressEngine& engine, const AudioFormat& format) {
  if (!hasChannels(format) || !engine.installTap()) return false;
  engine.prepare();
  if (engine.start()) return true;
  engine.removeTap();
  return false;
}

// Runs `cycles` cycles; a failed start fails the check and the next cycle
// still runs, an invalid format fails it and ends the cycles.
bool runCycles(const StressEngineFactory& makeEngine, int cycles, microseconds hold, const StressSleep& sleep) {
  bool ok = true;
  for (int i = 0; i < cycles; ++i) {
    const auto engine = makeEngine();
    const StressCycleOutcome outcome = runStressCycle(*engine, hold, sleep);
    if (outcome == StressCycleOutcome::startFailed) ok = false;
    if (outcome == StressCycleOutcome::invalidFormat) return false;
  }
  return ok;
}

}  // namespace

std::unique_ptr<StressEngine> makePlatformStressEngine() { return std::make_unique<PlatformStressEngine>(); }

std::string stressFormatReason(double sampleRate, uint32_t channels) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, sampleRate);
  std::string rate = ec == std::errc() ? std::string(buf, end) : std::string("0.0");
  if (std::isfinite(sampleRate) && rate.find_first_of(".e") == std::string::npos) rate += ".0";
  return "rate=" + rate + " ch=" + std::to_string(channels);
}

StressCycleOutcome runStressCycle(StressEngine& engine, microseconds hold, const StressSleep& sleep) {
  const AudioFormat format = engine.inputFormat();
  if (!(format.sampleRate() > 0) || !hasChannels(format)) return StressCycleOutcome::invalidFormat;
  if (!startWithTap(engine, format)) return StressCycleOutcome::startFailed;
  sleep(hold);
  engine.removeTap();
  engine.stop();
  return StressCycleOutcome::completed;
}

void runHardwareInputStressChecks(TestReport& report, const StressEngineFactory& makeEngine, const StressSleep& sleep) {
  {
    const auto engine = makeEngine();
    const AudioFormat format = engine->inputFormat();
    report.check("fresh_engine_input_format_valid", format.sampleRate() > 0 && hasChannels(format),
                 stressFormatReason(format.sampleRate(), format.channelCount()));
  }
  {
    const auto engine = makeEngine();
    const AudioFormat format = engine->inputFormat();
    bool ok = false;
    if (format.sampleRate() > 0) {
      ok = startWithTap(*engine, format);
      if (ok) {
        engine->removeTap();
        engine->stop();
      }
    } else {
      // No input device reports rate 0: nothing to start, nothing broken.
      ok = format.sampleRate() == 0;
    }
    report.check("fresh_engine_start_stop_no_crash", ok, kStartFailedReason);
  }
  report.check("fresh_engine_sequential_swap_no_crash", runCycles(makeEngine, 2, microseconds(50'000), sleep), "");
  report.check("fresh_engine_5x_stress_no_crash", runCycles(makeEngine, 5, microseconds(20'000), sleep), "");
}

}  // namespace helper
