// Lock annotations that clang's -Wthread-safety checks (build with
// -DCMAKE_CXX_COMPILER=clang++ -DROZEVE_THREAD_SAFETY=ON): which lock guards
// a member, which lock a function needs held or must not hold, which
// functions take and let go of a lock. Empty for other compilers. The names
// are clang's own (clang.llvm.org/docs/ThreadSafetyAnalysis.html), as in
// LevelDB's port/thread_annotations.h.
#pragma once

#if defined(__clang__)
#define ROZEVE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ROZEVE_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) ROZEVE_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for their scope.
#define SCOPED_CAPABILITY ROZEVE_THREAD_ANNOTATION(scoped_lockable)

// A member read and written only with the lock held (shared is enough to read).
#define GUARDED_BY(x) ROZEVE_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read and written only with the lock held.
#define PT_GUARDED_BY(x) ROZEVE_THREAD_ANNOTATION(pt_guarded_by(x))

// Locks taken in this order: the annotated one before (after) the named ones.
#define ACQUIRED_BEFORE(...) ROZEVE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ROZEVE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the lock exclusively / at least shared.
#define REQUIRES(...) ROZEVE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) ROZEVE_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller does not hold the lock (the function takes it).
#define EXCLUDES(...) ROZEVE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes / lets go of the lock (no argument: the object itself).
#define ACQUIRE(...) ROZEVE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) ROZEVE_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) ROZEVE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ROZEVE_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ROZEVE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) ROZEVE_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

// A function whose locking the analysis cannot follow; each use says why.
#define NO_THREAD_SAFETY_ANALYSIS ROZEVE_THREAD_ANNOTATION(no_thread_safety_analysis)
