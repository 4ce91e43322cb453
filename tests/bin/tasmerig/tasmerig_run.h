#pragma once
// Runs the built tasmerig and reads its answer.
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace tasmerigtest {

inline testsupport::RunResult runTasmerig(std::vector<std::string> args, testsupport::RunOptions options = {}) {
  options.args = std::move(args);
  return testsupport::runProgram(VR_TASMERIG_PATH, options);
}

}  // namespace tasmerigtest
