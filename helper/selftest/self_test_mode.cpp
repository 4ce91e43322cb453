// --mode self-test: 214 checks of the capture helper's building blocks and
// policies in 33 groups, without audio hardware, then the summary.
#include <unistd.h>

#include <string>

#include "helper/selftest/self_test_scratch.h"
#include "helper/selftest/self_test_suite.h"
#include "helper/selftest/selftest_modes.h"
#include "helper/selftest/test_report.h"

namespace helper {
namespace {

using Group = void (*)(const SelfTestContext&);

constexpr Group kGroups[] = {
    runSourceHealthGroup,
    runMicTapSizingGroup,
    runMicTapScratchGroup,
    runMicRingMessageSizeGroup,
    runMalformedHeaderDropGroup,
    runStagingRecoveryGroup,
    runSaturationGroup,
    runSegmentFileGroup,
    runDoubleOpenGroup,
    runCheckpointAndSealGroup,
    runSpscRingGroup,
    runAtomicsGroup,
    runLateGenerationGroup,
    runReconnectSuppressGroup,
    runZeroRateGuardsGroup,
    runMicRetryScheduleGroup,
    runRequestIdGroup,
    runCommandRoutingGroup,
    runEventPrioritiesGroup,
    runFenceRepliesFirstGroup,
    runWriterEventGroups,
    runProtocolErrorGroup,
    runPauseSourcesGroup,
    runWriteGatingGroup,
    runFenceRepliesSecondGroup,
    runPausedRotationAndStopGroup,
    runUnsupportedPauseSourceGroup,
    runCheckpointAudioTimeGroup,
    runSystemRateScenariosGroup,
    runCaptureMicGainGroup,
    runConverterRateMismatchGroup,
};

// Every group in order; the scratch root and all it holds are gone when
// this returns.
void runAllGroups(TestReport& report) {
  const PrivateScratchRoot scratch(userTemporaryDirectory());
  const SelfTestContext ctx{report, scratch, std::to_string(::getpid())};
  for (const Group group : kGroups) group(ctx);
}

}  // namespace

void runSelfTest() {
  TestReport report;
  runAllGroups(report);
  report.finish("\nself-test: ");
}

}  // namespace helper
