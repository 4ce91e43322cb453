#include "helper/core/entry/process.h"

#include <execinfo.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/globals.h"
#include "helper/thread_annotations.h"

namespace helper {
namespace {

void sigSafeWrite(std::string_view text) {
  // Partial writes are retried; nothing here may allocate.
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

std::mutex gFatalExitCleanupLock;
std::function<void()> gFatalExitCleanup VR_GUARDED_BY(gFatalExitCleanupLock);

}  // namespace

void setFatalExitCleanup(std::function<void()> cleanup) {
  std::lock_guard<std::mutex> hold(gFatalExitCleanupLock);
  gFatalExitCleanup = std::move(cleanup);
}

void exitWithError(const std::string& reason, const std::string& ctx, int32_t code) {
  std::function<void()> cleanup;
  {
    std::lock_guard<std::mutex> hold(gFatalExitCleanupLock);
    cleanup.swap(gFatalExitCleanup);
  }
  // Before the event: once the host reads it, nothing is left to remove.
  if (cleanup) cleanup();
  gEventBus.flushAndStop();
  gEventBus.writeDirectly(Event{{"type", "fatal_error"}, {"reason", reason}, {"ctx", ctx}});
  std::_Exit(code);
}

float clampFloat(float x, float min, float max) {
  const float lower = x <= min ? min : x;
  return lower < max ? lower : max;
}

void sigSafeWriteUInt(uint32_t value) {
  char buf[10];
  int pos = 10;
  do {
    buf[--pos] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  [[maybe_unused]] ssize_t n = ::write(2, buf + pos, static_cast<size_t>(10 - pos));
}

extern "C" void crashDiagnosticHandler(int signal) {
  sigSafeWrite("\nhelper fatal signal ");
  sigSafeWriteUInt(static_cast<uint32_t>(signal));
  sigSafeWrite(" during teardown; performStop step=");
  sigSafeWriteUInt(gStopStep.load());
  sigSafeWrite("; crashing-thread backtrace:\n");
  if (void** frames = gBacktraceFrames.load()) {
    const int n = ::backtrace(frames, kBacktraceFrameCap);
    ::backtrace_symbols_fd(frames, n, 2);
  }
  sigSafeWrite("helper end backtrace\n");
  std::_Exit(128 + signal);
}

void installCrashHandler() {
  if (gBacktraceFrames.load() == nullptr) {
    void** frames = new void*[kBacktraceFrameCap];
    // The first backtrace() call loads the unwinder; do it now, not in the handler.
    ::backtrace(frames, kBacktraceFrameCap);
    gBacktraceFrames.store(frames);
  }
  struct sigaction sa {};
  sa.sa_handler = crashDiagnosticHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  for (int sig : {SIGABRT, SIGILL, SIGTRAP}) sigaction(sig, &sa, nullptr);
}

}  // namespace helper
