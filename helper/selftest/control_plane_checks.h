#pragma once
// The cases of the control-plane test mode, one function per group, each
// reporting its cases in order on `report`. They call the production
// policies and objects (and, for route epochs, the model of route_sim.h);
// none needs audio hardware.
#include "helper/selftest/test_report.h"

namespace helper {

// Every group in order: 153 cases.
void runControlPlaneChecks(TestReport& report);

void runCommandRoutingChecks(TestReport& report);      // 7
void runEventPriorityChecks(TestReport& report);       // 32
void runSegmentRolloverChecks(TestReport& report);     // 4, in a private scratch directory
void runEffectiveMicFormatChecks(TestReport& report);  // 3
void runMicConfigChangeChecks(TestReport& report);     // 11
void runReconnectGainChecks(TestReport& report);       // 3
void runDefaultInputChecks(TestReport& report);        // 9
void runFollowbackChecks(TestReport& report);          // 7
void runSystemRateChecks(TestReport& report);          // 7
void runOutputRebuildChecks(TestReport& report);       // 6
void runRouteAccumulatorChecks(TestReport& report);    // 7
void runRouteShadowChecks(TestReport& report);         // 11
void runRouteEpochModelChecks(TestReport& report);     // 15
void runSourceRecoveryChecks(TestReport& report);      // 26
void runSystemCadenceChecks(TestReport& report);       // 5

}  // namespace helper
