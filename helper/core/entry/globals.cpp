#include "helper/core/entry/globals.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace helper {

std::atomic<bool> gIsRunning{true};
std::atomic<bool> gRouteTraceEnabled{false};
std::atomic<uint32_t> gStopStep{0};
std::atomic<void**> gBacktraceFrames{nullptr};
std::atomic<bool> gDebugIOProc{false};

bool routeTraceEnabledFromEnvironment() {
  const char* raw = std::getenv("VORLANTHEA_ROUTE_TRACE");
  if (raw == nullptr) return false;
  std::string v(raw);
  std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return v == "1" || v == "true" || v == "yes";
}

}  // namespace helper
