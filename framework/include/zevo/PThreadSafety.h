// Attributes for Clang's thread-safety analysis (-Wthread-safety, on for
// every Clang build of the project): which lock guards which member, which
// functions need a lock held, which take or give one back. The compiler then
// reports a guarded member used without its lock, or a lock not given back.
// Under other compilers they are empty.
//
//   class PCache {
//     void refill() ZEVO_REQUIRES(fLock);   // called with fLock held
//     PStdMutex fLock;
//     std::map<int, int> fEntries ZEVO_GUARDED_BY(fLock);
//   };
#pragma once

#if defined(__clang__)
#define ZEVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEVO_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; iKind names them in the messages.
#define ZEVO_CAPABILITY(iKind) ZEVO_THREAD_ANNOTATION(capability(iKind))
// A class whose objects hold a lock from construction to destruction.
#define ZEVO_SCOPED_CAPABILITY ZEVO_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only with lock x held.
#define ZEVO_GUARDED_BY(x) ZEVO_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose target is read or written only with lock x held.
#define ZEVO_PT_GUARDED_BY(x) ZEVO_THREAD_ANNOTATION(pt_guarded_by(x))

// The function is called with the locks held, and leaves them held.
#define ZEVO_REQUIRES(...) ZEVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the locks (none named: the object itself).
#define ZEVO_ACQUIRE(...) ZEVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function gives the locks back (none named: the object itself).
#define ZEVO_RELEASE(...) ZEVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks itself: the caller must not hold them.
#define ZEVO_EXCLUDES(...) ZEVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function is not analysed; say why beside it.
#define ZEVO_NO_THREAD_SAFETY_ANALYSIS ZEVO_THREAD_ANNOTATION(no_thread_safety_analysis)
