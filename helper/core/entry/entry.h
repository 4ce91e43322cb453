#pragma once
// What every mode shares before it runs: process set-up and the command
// line. The dispatch to the modes lives above the helper's rooms, in the
// program's main, so core depends on no mode.
#include "helper/core/entry/command_line.h"

namespace helper {

// Ignores SIGPIPE, reads the route-trace switch, parses the command line
// (ending the process on a usage error) and starts the event bus.
ParsedArguments startHelper(int argc, char** argv);

// Ends the process when the parsed arguments lack the mode's config.
[[noreturn]] void exitMissingConfig(const char* what);

}  // namespace helper
