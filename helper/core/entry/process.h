#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace helper {

// Ends the process after a fatal error: runs the fatal-exit cleanup, drains
// the event bus (at most 2 s), writes one "fatal_error" line directly and
// exits with `code`.
[[noreturn]] void exitWithError(const std::string& reason, const std::string& ctx, int32_t code = 1);

// What exitWithError must undo before the process ends, since it runs no
// destructors (an offline mode's unfinished output). One at a time: a later
// call replaces the cleanup, an empty function clears it.
void setFatalExitCleanup(std::function<void()> cleanup);

float clampFloat(float x, float min, float max);

// Writes `value` in decimal to fd 2 with one write and no allocation.
void sigSafeWriteUInt(uint32_t value);

// Fatal-signal report: signal, stop step, backtrace; exits 128 + signal.
extern "C" void crashDiagnosticHandler(int signal);

// Allocates the backtrace frame buffer, warms up the unwinder (so the
// handler never loads code or allocates) and installs the handler for
// SIGABRT, SIGILL and SIGTRAP.
void installCrashHandler();

}  // namespace helper
