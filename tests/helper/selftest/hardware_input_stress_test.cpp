#include "helper/selftest/hardware_input_stress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/audio/sim_testing.h"
#include "tests/helper/selftest/stderr_capture.h"

namespace helper {
namespace {

using platform::audio::AudioFormat;
using platform::audio::CommonFormat;
using selftesttest::StderrCapture;
using std::chrono::microseconds;
namespace sim = platform::audio::sim;
namespace simt = platform::audio::sim::testing;

// A scripted input: every engine reports `format`; starts succeed unless
// `startSucceeds` says otherwise for that start (counted from 0). Every
// call lands in `calls`, one letter per engine operation.
struct FakeInput {
  AudioFormat format{CommonFormat::pcmFloat32, 48000, 1, false};
  bool tapAccepted = true;
  std::function<bool(int)> startSucceeds = [](int) { return true; };
  int engines = 0;
  int starts = 0;
  std::vector<microseconds> holds;
  std::string calls;  // n(ew) f(ormat) t(ap) p(repare) s(tart ok) x (start failed) r(emove tap) h(old) o (stop)
};

class FakeEngine final : public StressEngine {
 public:
  explicit FakeEngine(FakeInput& in) : in_(in) { in_.calls += 'n'; }
  AudioFormat inputFormat() override {
    in_.calls += 'f';
    return in_.format;
  }
  bool installTap() override {
    in_.calls += 't';
    return in_.tapAccepted;
  }
  void prepare() override { in_.calls += 'p'; }
  bool start() override {
    const bool ok = in_.startSucceeds(in_.starts++);
    in_.calls += ok ? 's' : 'x';
    return ok;
  }
  void removeTap() override { in_.calls += 'r'; }
  void stop() override { in_.calls += 'o'; }

 private:
  FakeInput& in_;
};

struct ChecksRun {
  std::string lines;
  int64_t passed = 0;
  int64_t failed = 0;
};

ChecksRun runChecks(FakeInput& in) {
  StderrCapture capture;
  TestReport report;
  runHardwareInputStressChecks(
      report,
      [&in] {
        ++in.engines;
        return std::make_unique<FakeEngine>(in);
      },
      [&in](microseconds hold) {
        in.calls += 'h';
        in.holds.push_back(hold);
      });
  return {capture.text(), report.passed(), report.failed()};
}

constexpr const char* kAllPass =
    "PASS: fresh_engine_input_format_valid\n"
    "PASS: fresh_engine_start_stop_no_crash\n"
    "PASS: fresh_engine_sequential_swap_no_crash\n"
    "PASS: fresh_engine_5x_stress_no_crash\n";

TEST(HardwareInputStress, AWorkingInputPassesEveryCheckThroughNineEngines) {
  FakeInput in;
  const ChecksRun r = runChecks(in);
  EXPECT_EQ(r.lines, kAllPass);
  EXPECT_EQ(r.passed, 4);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(in.engines, 9);
  // The format check never starts its engine; every started engine has its
  // tap removed before it is stopped.
  const std::string cycle = "nftpshro";
  EXPECT_EQ(in.calls, "nf" + std::string("nftpsro") + cycle + cycle + cycle + cycle + cycle + cycle + cycle);
  EXPECT_EQ(in.holds, (std::vector<microseconds>{microseconds(50'000), microseconds(50'000), microseconds(20'000),
                                                 microseconds(20'000), microseconds(20'000), microseconds(20'000),
                                                 microseconds(20'000)}));
}

TEST(HardwareInputStress, NoInputDeviceFailsTheFormatAndCycleChecksButNotTheStartStopCheck) {
  FakeInput in;
  in.format = AudioFormat(CommonFormat::pcmFloat32, 0, 0, false);
  const ChecksRun r = runChecks(in);
  EXPECT_EQ(r.lines,
            "FAIL: fresh_engine_input_format_valid \xE2\x80\x94 rate=0.0 ch=0\n"
            "PASS: fresh_engine_start_stop_no_crash\n"
            "FAIL: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n");
  EXPECT_EQ(r.failed, 3);
  // An invalid format ends the cycles of a check at its first engine.
  EXPECT_EQ(in.engines, 4);
  EXPECT_EQ(in.calls.find('t'), std::string::npos);
}

TEST(HardwareInputStress, ARefusedStartFailsItsChecksAfterEveryCycleRan) {
  FakeInput in;
  in.startSucceeds = [](int) { return false; };
  const ChecksRun r = runChecks(in);
  EXPECT_EQ(r.lines,
            "PASS: fresh_engine_input_format_valid\n"
            "FAIL: fresh_engine_start_stop_no_crash \xE2\x80\x94 engine start failed (no mic?)\n"
            "FAIL: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n");
  EXPECT_EQ(in.engines, 9);
  EXPECT_EQ(in.starts, 8);
  EXPECT_TRUE(in.holds.empty());
}

TEST(HardwareInputStress, AFailureInTheFirstStressCycleDoesNotStopTheOtherFour) {
  FakeInput in;
  // Starts 0 (start/stop check) and 1-2 (swap) succeed; 3 is the first stress cycle.
  in.startSucceeds = [](int i) { return i != 3; };
  const ChecksRun r = runChecks(in);
  EXPECT_EQ(r.lines,
            "PASS: fresh_engine_input_format_valid\n"
            "PASS: fresh_engine_start_stop_no_crash\n"
            "PASS: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n");
  EXPECT_EQ(in.starts, 8);
  EXPECT_EQ(in.holds.size(), 2u + 4u);
}

TEST(HardwareInputStress, AFormatWithARateButNoChannelsIsAFailedStartWithoutATap) {
  FakeInput in;
  in.format = AudioFormat(CommonFormat::pcmFloat32, 48000, 0, false);
  const ChecksRun r = runChecks(in);
  EXPECT_EQ(r.lines,
            "FAIL: fresh_engine_input_format_valid \xE2\x80\x94 rate=48000.0 ch=0\n"
            "FAIL: fresh_engine_start_stop_no_crash \xE2\x80\x94 engine start failed (no mic?)\n"
            "FAIL: fresh_engine_sequential_swap_no_crash\n"
            "FAIL: fresh_engine_5x_stress_no_crash\n");
  EXPECT_EQ(in.calls.find('t'), std::string::npos) << in.calls;
  EXPECT_EQ(in.starts, 0);
}

TEST(HardwareInputStress, ATapThePlatformRefusesIsAFailedStart) {
  FakeInput in;
  in.tapAccepted = false;
  microseconds hold(0);
  EXPECT_EQ(runStressCycle(*std::make_unique<FakeEngine>(in), microseconds(50'000), [&](microseconds h) { hold = h; }),
            StressCycleOutcome::startFailed);
  EXPECT_EQ(in.calls, "nft");
  EXPECT_EQ(hold, microseconds(0));
}

TEST(HardwareInputStress, ANegativeOrNotANumberRateFailsTheStartStopCheck) {
  for (double rate : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
    FakeInput in;
    in.format = AudioFormat(CommonFormat::pcmFloat32, rate, 1, false);
    const ChecksRun r = runChecks(in);
    EXPECT_EQ(r.failed, 4) << rate << "\n" << r.lines;
    EXPECT_EQ(in.calls.find('t'), std::string::npos);
  }
}

TEST(HardwareInputStress, TheFormatReasonAlwaysShowsAFraction) {
  EXPECT_EQ(stressFormatReason(48000, 1), "rate=48000.0 ch=1");
  EXPECT_EQ(stressFormatReason(0, 0), "rate=0.0 ch=0");
  EXPECT_EQ(stressFormatReason(44100.5, 2), "rate=44100.5 ch=2");
  EXPECT_EQ(stressFormatReason(-8000, 3), "rate=-8000.0 ch=3");
  EXPECT_EQ(stressFormatReason(0.1, 1), "rate=0.1 ch=1");
}

// The same checks over the platform's engine in the simulated world.
class HardwareInputStressPlatform : public ::testing::Test {
 protected:
  void TearDown() override { simt::loadDefaultWorld(); }

  static ChecksRun runOnPlatform() {
    StderrCapture capture;
    TestReport report;
    runHardwareInputStressChecks(report, makePlatformStressEngine, [](microseconds) {});
    return {capture.text(), report.passed(), report.failed()};
  }
};

TEST_F(HardwareInputStressPlatform, TheDefaultMicrophonePassesEveryCheck) {
  simt::loadDefaultWorld(sim::ClockMode::realTime);
  const ChecksRun r = runOnPlatform();
  EXPECT_EQ(r.lines, kAllPass);
}

TEST_F(HardwareInputStressPlatform, OneRefusedEngineStartFailsOnlyTheStartStopCheck) {
  simt::loadDefaultWorld(sim::ClockMode::realTime);
  simt::injectFault(sim::FaultConfig{"engine_start", platform::audio::hal::kAudioHardwareUnspecifiedError, 1, 0});
  const ChecksRun r = runOnPlatform();
  EXPECT_EQ(r.lines,
            "PASS: fresh_engine_input_format_valid\n"
            "FAIL: fresh_engine_start_stop_no_crash \xE2\x80\x94 engine start failed (no mic?)\n"
            "PASS: fresh_engine_sequential_swap_no_crash\n"
            "PASS: fresh_engine_5x_stress_no_crash\n");
}

TEST_F(HardwareInputStressPlatform, AWorldWithoutAnInputReportsRateZero) {
  simt::resetWorld(sim::ClockMode::realTime);
  const ChecksRun r = runOnPlatform();
  EXPECT_EQ(r.passed, 1);
  EXPECT_EQ(r.failed, 3);
  EXPECT_NE(r.lines.find("FAIL: fresh_engine_input_format_valid \xE2\x80\x94 rate=0.0 ch=0\n"), std::string::npos);
}

}  // namespace
}  // namespace helper
