#pragma once
// The media libraries print their diagnostics on standard error, which
// carries only the helper's event lines; this keeps them quiet.

namespace platform::avlog {

// Sets the libraries' log level to quiet, once per process.
void silenceLibraryLogging();

}  // namespace platform::avlog
