// Lock discipline that the compiler checks. With Clang these expand to its
// thread-safety attributes, and a build with -Wthread-safety turns a guarded
// field touched without its lock, a lock taken twice or a hold leaked out of
// a scope into a compile error. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define ZV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZV_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define ZV_CAPABILITY(name) ZV_THREAD_ANNOTATION(capability(name))
// A type whose object holds a lock for its scope.
#define ZV_SCOPED_CAPABILITY ZV_THREAD_ANNOTATION(scoped_lockable)
// A field or global read and written only with the lock held (shared for
// reading, exclusive for writing).
#define ZV_GUARDED_BY(lock) ZV_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is guarded by the lock.
#define ZV_PT_GUARDED_BY(lock) ZV_THREAD_ANNOTATION(pt_guarded_by(lock))
// The caller holds the lock exclusively / at least shared.
#define ZV_REQUIRES(...) ZV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZV_REQUIRES_SHARED(...) ZV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes / gives back the lock.
#define ZV_ACQUIRE(...) ZV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZV_ACQUIRE_SHARED(...) ZV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define ZV_RELEASE(...) ZV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZV_RELEASE_SHARED(...) ZV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define ZV_RELEASE_GENERIC(...) ZV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
// The caller must not hold the lock (the function takes it itself).
#define ZV_EXCLUDES(...) ZV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to the lock.
#define ZV_RETURN_CAPABILITY(x) ZV_THREAD_ANNOTATION(lock_returned(x))
// Tells the analysis that the lock is held here, where it cannot follow a
// hold (one taken on another thread or handed between threads).
#define ZV_ASSERT_CAPABILITY(x) ZV_THREAD_ANNOTATION(assert_capability(x))
#define ZV_ASSERT_SHARED_CAPABILITY(x) ZV_THREAD_ANNOTATION(assert_shared_capability(x))
// The narrowest escape: this function is not checked. Every use says why.
#define ZV_NO_THREAD_SAFETY_ANALYSIS ZV_THREAD_ANNOTATION(no_thread_safety_analysis)
