// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards which field, which functions need a lock held, which types are
// locks and which hold one for a scope. Other compilers ignore them.
#pragma once

#if defined(__clang__)
#define LUMVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUMVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY LUMVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) LUMVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) LUMVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) LUMVEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) LUMVEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) LUMVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) LUMVEX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) LUMVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) LUMVEX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) LUMVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) LUMVEX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) LUMVEX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) LUMVEX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) LUMVEX_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) LUMVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) LUMVEX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS LUMVEX_THREAD_ANNOTATION(no_thread_safety_analysis)
