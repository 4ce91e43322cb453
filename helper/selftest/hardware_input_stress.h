#pragma once
// The checks of the hardware input stress mode: fresh audio engines on the
// default input, one after another, each through the life-cycle capture
// mode puts the mic engine through (input format, tap, prepare, start,
// hold, tap removal, stop). The engine is reached through StressEngine so
// the checks run the same over the platform's engine and a test's.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "helper/selftest/test_report.h"
#include "platform/audio/engine/pcm.h"

namespace helper {

// The engine operations the checks use, on input bus 0.
class StressEngine {
 public:
  virtual ~StressEngine() = default;
  virtual platform::audio::AudioFormat inputFormat() = 0;
  // A 512-frame tap in the node's own format whose block ignores its buffers.
  virtual bool installTap() = 0;
  virtual void prepare() = 0;
  virtual bool start() = 0;
  virtual void removeTap() = 0;
  virtual void stop() = 0;
};

using StressEngineFactory = std::function<std::unique_ptr<StressEngine>()>;
using StressSleep = std::function<void(std::chrono::microseconds)>;

// A fresh engine of the platform's.
std::unique_ptr<StressEngine> makePlatformStressEngine();

enum class StressCycleOutcome { completed, startFailed, invalidFormat };

// One life-cycle with hold time `hold`. A format without a positive rate
// or without channels is invalid (nothing installed or started); a tap the
// platform refuses counts as a failed start.
StressCycleOutcome runStressCycle(StressEngine& engine, std::chrono::microseconds hold, const StressSleep& sleep);

// The four checks, in order, reported on `report`.
void runHardwareInputStressChecks(TestReport& report, const StressEngineFactory& makeEngine, const StressSleep& sleep);

// "rate=<rate> ch=<channels>", the rate in its shortest exact decimal form
// with a fractional part (48000.0).
std::string stressFormatReason(double sampleRate, uint32_t channels);

}  // namespace helper
