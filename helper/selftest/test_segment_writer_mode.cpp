#include "helper/core/modes.h"

namespace helper {

void runTestSegmentWriter(const TestSegmentWriterConfig&) { exitModeUnavailable(HelperMode::testSegmentWriter); }

}  // namespace helper
