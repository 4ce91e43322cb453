// --mode test-control-plane: the route-change and recovery policies of the
// capture program, one PASS or FAIL line per case, then the summary.
#include "helper/selftest/control_plane_checks.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/test_report.h"

namespace helper {

void runTestControlPlane() {
  TestReport report;
  runControlPlaneChecks(report);
  report.finish("test_control_plane: ");
}

}  // namespace helper
