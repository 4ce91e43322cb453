#pragma once
// The background watchers of capture mode: the standard-input command
// reader, the permission watch and the thermal observer.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "helper/core/entry/command_line.h"

namespace helper {

class CaptureState;

inline constexpr size_t kMaxCommandLineBytes = 1 << 20;
inline constexpr int kMaxCommandNesting = 64;

// One command line as the reader sees it: trimmed, parsed, and an object
// with string keys; nothing for a line to skip (blank, malformed, nested
// deeper than kMaxCommandNesting, not an object).
std::optional<nlohmann::json> parseCommandLine(const std::string& line);

// Reads commands from standard input until it ends, then stops the
// session with reason "parent_gone". Lines longer than 1 MiB are skipped.
void startStdinReader(std::shared_ptr<CaptureState> state, int fd = 0);

// Boxes shared by capture start-up and the permission watch.
struct PermissionWatchConfig {
  bool includeMic = false;
  bool includeSystem = false;
  bool micDeniedAtStart = false;
  bool systemDeniedAtStart = false;
};
inline constexpr int kPermissionCycleLimit = 3;
inline constexpr uint64_t kPermissionWatchIntervalNs = 10'000'000'000ULL;

// One check of the permission watch; tracks revocations and regains and
// ends the process once a source is revoked after three regains.
class PermissionWatch {
 public:
  explicit PermissionWatch(PermissionWatchConfig config) : config_(config) {}
  void tick();

 private:
  void observe(const char* source, bool granted, bool& lastSeenGranted, int& regains);

  PermissionWatchConfig config_;
  bool micLastSeenGranted_ = true;
  bool systemLastSeenGranted_ = true;
  int micRegains_ = 0;
  int systemRegains_ = 0;
};

// Starts the repeating 10 s permission watch on the main queue; it does
// nothing once a stop is claimed.
void startPermissionWatch(std::weak_ptr<CaptureState> state, PermissionWatchConfig config);
// Warns on serious and critical thermal states.
void startThermalObserver(std::weak_ptr<CaptureState> state);

}  // namespace helper
