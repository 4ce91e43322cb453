#include "helper/core/capture/capture_watchers.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <thread>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/capture/permissions.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "platform/dispatch/dispatch.h"
#include "platform/permissions/permissions.h"
#include "platform/thermal/thermal.h"

namespace helper {
namespace {

// White space and newlines of Unicode, as UTF-8: the ASCII ones, U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool isSpaceCodePoint(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point of the 1-3 byte UTF-8 sequence text[at, at + n), if it is one.
std::optional<uint32_t> decodeUtf8(const std::string& text, size_t at, size_t n) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  if (n == 1 && b(0) < 0x80) return b(0);
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return std::nullopt;
  }
  if (n == 2 && (b(0) & 0xE0) == 0xC0) return ((b(0) & 0x1Fu) << 6) | (b(1) & 0x3Fu);
  if (n == 3 && (b(0) & 0xF0) == 0xE0) return ((b(0) & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
  return std::nullopt;
}

// Bytes of the white space character that begins (or ends) at `at`; 0 if none.
size_t spaceAt(const std::string& text, size_t begin, size_t end, bool fromEnd) {
  for (size_t n = 1; n <= 3 && n <= end - begin; ++n) {
    const auto c = decodeUtf8(text, fromEnd ? end - n : begin, n);
    if (c && isSpaceCodePoint(*c)) return n;
  }
  return 0;
}

// Deepest nesting of arrays and objects, looking past strings.
int nestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

void dispatchCommand(const std::shared_ptr<CaptureState>& state, nlohmann::json command) {
  std::optional<std::string> type;
  if (auto it = command.find("type"); it != command.end() && it->is_string()) type = it->get<std::string>();
  if (!command.empty() && commandBypassesMainQueue(type)) {
    state->handleCommand(command);
    return;
  }
  platform::dispatch::mainQueue()->async([state, command = std::move(command)] { state->handleCommand(command); });
}

void readerLoop(const std::shared_ptr<CaptureState>& state, int fd) {
  std::string line;
  bool skipping = false;  // inside a line that grew past the limit
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input, or input that can no longer be read
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\n') {
        if (!skipping) {
          if (auto command = parseCommandLine(line)) dispatchCommand(state, std::move(*command));
        }
        line.clear();
        skipping = false;
        continue;
      }
      if (skipping) continue;
      if (line.size() >= kMaxCommandLineBytes) {
        line.clear();
        line.shrink_to_fit();
        skipping = true;
        continue;
      }
      line.push_back(c);
    }
  }
  if (!skipping && !line.empty()) {
    if (auto command = parseCommandLine(line)) dispatchCommand(state, std::move(*command));
  }
  state->performStop(false, std::string("parent_gone"), std::nullopt);
}

}  // namespace

std::optional<nlohmann::json> parseCommandLine(const std::string& line) {
  size_t begin = 0, end = line.size();
  while (begin < end) {
    const size_t n = spaceAt(line, begin, end, false);
    if (n == 0) break;
    begin += n;
  }
  while (end > begin) {
    const size_t n = spaceAt(line, begin, end, true);
    if (n == 0) break;
    end -= n;
  }
  if (begin == end) return std::nullopt;
  const std::string text = line.substr(begin, end - begin);
  if (nestingDepth(text) > kMaxCommandNesting) return std::nullopt;
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

void startStdinReader(std::shared_ptr<CaptureState> state, int fd) {
  std::thread([state = std::move(state), fd] { readerLoop(state, fd); }).detach();
}

void PermissionWatch::observe(const char* source, bool granted, bool& lastSeenGranted, int& regains) {
  if (lastSeenGranted && !granted) emitWarning("permission_may_be_revoked", source);
  if (!lastSeenGranted && granted) {
    ++regains;
    emitWarning("permission_regained", std::string(source) + " (cycle " + std::to_string(regains) + ")");
  }
  lastSeenGranted = granted;
}

void PermissionWatch::tick() {
  if (config_.includeMic && !config_.micDeniedAtStart) {
    const bool granted =
        platform::permissions::microphoneAuthorizationStatus() == platform::permissions::kMicAuthorized;
    observe("mic", granted, micLastSeenGranted_, micRegains_);
  }
  if (config_.includeSystem && !config_.systemDeniedAtStart) {
    observe("system", checkAudioCapturePermission() == 0, systemLastSeenGranted_, systemRegains_);
  }
  if ((!micLastSeenGranted_ && micRegains_ >= kPermissionCycleLimit) ||
      (!systemLastSeenGranted_ && systemRegains_ >= kPermissionCycleLimit)) {
    exitWithError("permission_denied_runtime",
                  "Permission cycled " + std::to_string(kPermissionCycleLimit) + " times then revoked again", 1);
  }
}

void startPermissionWatch(std::weak_ptr<CaptureState> state, PermissionWatchConfig config) {
  auto watch = std::make_shared<PermissionWatch>(config);
  // Lives for the whole process, like the run loop's timer would.
  [[maybe_unused]] static auto* timer =
      new platform::dispatch::Timer(platform::dispatch::mainQueue(), kPermissionWatchIntervalNs, [state, watch] {
        auto s = state.lock();
        if (!s || s->isStopClaimed()) return;
        watch->tick();
      });
}

void startThermalObserver(std::weak_ptr<CaptureState> state) {
  platform::thermal::addThermalStateObserver(platform::dispatch::mainQueue(), [state] {
    auto s = state.lock();
    if (s && s->isStopClaimed()) return;
    switch (platform::thermal::currentState()) {
      case platform::thermal::ThermalState::serious:
        emitWarning("thermal_pressure", "Thermal state: serious");
        break;
      case platform::thermal::ThermalState::critical:
        emitWarning("thermal_pressure", "Thermal state: critical");
        break;
      default:
        break;
    }
  });
}

}  // namespace helper
