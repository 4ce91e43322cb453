#include "helper/core/entry/entry.h"

#include <csignal>
#include <string>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/process.h"
#include "platform/avlog/avlog.h"

namespace helper {

void exitMissingConfig(const char* what) {
  exitWithError("bad_args", std::string("Internal: missing ") + what + " config", 2);
}

ParsedArguments startHelper(int argc, char** argv) {
  // A host that dies must not kill us with SIGPIPE before the segments are
  // sealed; writes to a closed pipe fail with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  gRouteTraceEnabled.store(routeTraceEnabledFromEnvironment());
  // Standard error carries event lines only, whichever mode decodes media.
  platform::avlog::silenceLibraryLogging();

  ParsedArguments parsed = parseArguments(std::vector<std::string>(argv, argv + argc));
  gEventBus.start();
  return parsed;
}

}  // namespace helper
