// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards which field, which functions need a lock held, which types are
// locks and which hold one for a scope. Other compilers ignore them.
//
// Each macro is defined only where it is not defined yet: another library's
// headers that define the same names (LevelDB's, for one) can be included
// beside these. Their definitions mean the same.
#pragma once

#if defined(__clang__)
#define LUMVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUMVEX_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY LUMVEX_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) LUMVEX_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) LUMVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) LUMVEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) LUMVEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif
#ifndef REQUIRES
#define REQUIRES(...) LUMVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) LUMVEX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) LUMVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) LUMVEX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) LUMVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) LUMVEX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_GENERIC
#define RELEASE_GENERIC(...) LUMVEX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) LUMVEX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE_SHARED
#define TRY_ACQUIRE_SHARED(...) LUMVEX_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) LUMVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS LUMVEX_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
