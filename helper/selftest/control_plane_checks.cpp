#include "helper/selftest/control_plane_checks.h"

namespace helper {

void runControlPlaneChecks(TestReport& report) {
  runCommandRoutingChecks(report);
  runEventPriorityChecks(report);
  runSegmentRolloverChecks(report);
  runEffectiveMicFormatChecks(report);
  runMicConfigChangeChecks(report);
  runReconnectGainChecks(report);
  runDefaultInputChecks(report);
  runFollowbackChecks(report);
  runSystemRateChecks(report);
  runOutputRebuildChecks(report);
  runRouteAccumulatorChecks(report);
  runRouteShadowChecks(report);
  runRouteEpochModelChecks(report);
  runSourceRecoveryChecks(report);
  runSystemCadenceChecks(report);
}

}  // namespace helper
