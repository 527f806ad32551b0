// clone3(2) with a function to run in the child on a stack of its own, as
// glibc's clone() does for clone(2); glibc offers no such call for clone3,
// whose CLONE_INTO_CGROUP makes a child that is born in a control group (a
// migration afterwards would wait for an RCU grace period, milliseconds).
#pragma once

#include <linux/sched.h>

#include <cstdint>

namespace lumvex {

// Whether clone3_run exists on this architecture.
#if defined(__x86_64__) || defined(__aarch64__)
inline constexpr bool kHaveClone3Run = true;
#else
inline constexpr bool kHaveClone3Run = false;
#endif

extern "C" {
// Calls clone3(args, size). The child runs fn(arg) on the stack that `args`
// gives and exits with its result; the parent gets the child's process id
// or the negated errno.
long lumvex_clone3_run(struct clone_args* args, unsigned long size, int (*fn)(void*), void* arg);
}

}  // namespace lumvex
