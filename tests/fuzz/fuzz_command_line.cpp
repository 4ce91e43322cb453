// Both programs' command lines: the capture helper's argument parser on
// NUL-separated arguments, and kelvaro's session id and duration argument.
#include <algorithm>
#include <string>
#include <vector>

#include "helper/core/entry/command_line.h"
#include "recorder/export/entry.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
struct Refused {};
}  // namespace

// The parser ends the process on a refused argument; linked with
// --wrap, the harness's stand-in unwinds back to the harness instead.
extern "C" [[noreturn]] void
__wrap__ZN6helper13exitWithErrorERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_i(const std::string&,
                                                                                            const std::string&,
                                                                                            int32_t) {
  throw Refused{};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzzsupport::text(data, size);
  std::vector<std::string> args{"tasmerig"};
  for (size_t start = 0; start <= input.size();) {
    const size_t end = std::min(input.find('\0', start), input.size());
    args.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  try {
    (void)helper::parseArguments(args);
  } catch (const Refused&) {
  }
  (void)recorder::exporter::session_id_from_path(input);
  (void)recorder::exporter::parse_expected_duration(input);
  return 0;
}
