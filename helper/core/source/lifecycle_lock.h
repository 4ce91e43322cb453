#pragma once
// The session's lifecycle lock as clang's thread-safety analysis names it.
// The session owns the one mutex and lends it to its sources
// (SourceSession); they hold it only through a LifecycleHold, which the
// analysis counts as holding `sessionLifecycleLock`. So it checks that the
// verbs which need the lock are called holding it, and the lock's place in
// the order of docs/architecture.md ("Locks"), across the interface too.
//
// The analysis cannot tell one session's lock from another's, so every
// session's goes by this one name: a source records in one session, and
// nothing holds two sessions' locks at once.
#include "helper/thread_annotations.h"

namespace helper {

class VR_CAPABILITY("mutex") SessionLifecycleLock {};

// Named by the annotations only: never defined, never read or written.
extern SessionLifecycleLock sessionLifecycleLock;

}  // namespace helper
