// --mode test-hardware-input-stress: fresh engines on the default input,
// started, swapped and stopped one after another; four checks and a
// summary.
#include <thread>

#include "helper/selftest/hardware_input_stress.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/test_report.h"

namespace helper {

void runHardwareInputStress() {
  TestReport report;
  runHardwareInputStressChecks(report, makePlatformStressEngine,
                               [](std::chrono::microseconds hold) { std::this_thread::sleep_for(hold); });
  report.finish("\nhardware-input-stress: ");
}

}  // namespace helper
