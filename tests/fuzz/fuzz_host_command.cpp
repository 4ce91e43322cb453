// The capture helper's reading of one host command line.
#include <string>

#include "helper/core/capture/capture_watchers.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)helper::parseCommandLine(std::string(fuzzsupport::text(data, size)));
  return 0;
}
