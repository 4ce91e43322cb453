#pragma once
// Which lock guards which field, which locks a function needs held, and the
// order in which locks nest, written on the declarations so that clang's
// thread-safety analysis checks them (scripts/thread-safety, against libc++,
// whose std::mutex and std::lock_guard carry the capability attributes).
// Under any other compiler the macros expand to nothing. The order itself
// is docs/architecture.md's ("Locks").
//
// Clang checks an acquired-before order only between locks it can name by
// a declaration, and only where one function body holds both: a lock
// reached through an interface is named by a capability the interface
// declares (the session's lifecycle lock, helper/core/source/lifecycle_lock.h).

#if defined(__clang__)
#define VR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VR_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks, of the kind named.
#define VR_CAPABILITY(x) VR_THREAD_ANNOTATION(capability(x))
// On a class: an object of it holds a lock from its construction to its
// destruction.
#define VR_SCOPED_CAPABILITY VR_THREAD_ANNOTATION(scoped_lockable)
// A field only read or written with the lock held.
#define VR_GUARDED_BY(x) VR_THREAD_ANNOTATION(guarded_by(x))
// What the pointer points to is only touched with the lock held.
#define VR_PT_GUARDED_BY(x) VR_THREAD_ANNOTATION(pt_guarded_by(x))
// On a lock: the locks that, when both are held, are taken after it.
#define VR_ACQUIRED_BEFORE(...) VR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// On a lock: the locks that, when both are held, are taken before it.
#define VR_ACQUIRED_AFTER(...) VR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller holds the locks.
#define VR_REQUIRES(...) VR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the locks and returns holding them.
#define VR_ACQUIRE(...) VR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the locks (on a scoped lock's destructor: the
// ones it holds).
#define VR_RELEASE(...) VR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The caller must not hold the locks: the function takes them itself.
#define VR_EXCLUDES(...) VR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to this lock.
#define VR_RETURN_CAPABILITY(x) VR_THREAD_ANNOTATION(lock_returned(x))
// The function's body is not checked; say why where it is used.
#define VR_NO_THREAD_SAFETY_ANALYSIS VR_THREAD_ANNOTATION(no_thread_safety_analysis)
