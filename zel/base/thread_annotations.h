// thread_annotations.h - the lock rules written so that the compiler checks them.
//
// Clang's thread-safety analysis (-Wthread-safety) reads these attributes: a field marked
// GUARDED_BY(lock) may be read or written only with `lock` held, a function marked
// REQUIRES(lock) may be called only with it held, and the lock types in mutex.h say which
// calls take and give it back. Every other compiler sees nothing: the macros expand to
// nothing there, so GCC builds the same code unchecked. scripts/test has a Clang stage that
// builds the program with the analysis as errors. Used by zel/queues and zel/sql (the
// update queues' locks); header only, no state.
#pragma once

#if defined(__clang__)
#define ZEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEL_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks (Mutex).
#define CAPABILITY(name) ZEL_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for a scope (MutexLock, UniqueMutexLock).
#define SCOPED_CAPABILITY ZEL_THREAD_ANNOTATION(scoped_lockable)
// The field is read and written only with the lock held.
#define GUARDED_BY(lock) ZEL_THREAD_ANNOTATION(guarded_by(lock))
// What the pointer field points to is read and written only with the lock held.
#define PT_GUARDED_BY(lock) ZEL_THREAD_ANNOTATION(pt_guarded_by(lock))
// The function is called with the lock(s) held, and leaves them held.
#define REQUIRES(...) ZEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function is called without the lock(s) held (it takes them itself).
#define EXCLUDES(...) ZEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the lock(s) (no argument: the object it is called on).
#define ACQUIRE(...) ZEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function gives the lock(s) back (no argument: the object it is called on).
#define RELEASE(...) ZEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns `result`.
#define TRY_ACQUIRE(...) ZEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function returns a reference to the lock named.
#define RETURN_CAPABILITY(lock) ZEL_THREAD_ANNOTATION(lock_returned(lock))
// The analysis skips the function. Only where it cannot follow what the code does; the
// comment beside each use says why.
#define NO_THREAD_SAFETY_ANALYSIS ZEL_THREAD_ANNOTATION(no_thread_safety_analysis)
