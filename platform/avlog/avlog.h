#pragma once
// The media libraries log to standard error by default, where only the
// capture helper's event lines may appear.

namespace platform::avlog {

// Turns the media libraries' own logging off for the whole process; safe to
// call from any thread, any number of times.
void silenceLibraryLogging();

}  // namespace platform::avlog
