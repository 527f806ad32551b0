// clone3(2) with a function to run in the child on a stack of its own, as
// glibc's clone() does for clone(2); glibc offers no such call for clone3,
// whose CLONE_INTO_CGROUP makes a child that is born in a control group (a
// migration afterwards would wait for an RCU grace period, milliseconds).
#pragma once

#include <linux/sched.h>

#include <unistd.h>

#include <cerrno>
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

// A system call that returns the negated errno on failure and writes nothing
// else: code that runs in a child sharing the parent's memory while the
// parent's threads go on must not touch the thread-local errno, which is
// the parent's.
__attribute__((always_inline)) inline long raw_syscall(long number, long a = 0, long b = 0,
                                                       long c = 0, long d = 0, long e = 0,
                                                       long f = 0) {
#if defined(__x86_64__)
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  register long r9 __asm__("r9") = f;
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return result;
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  register long x5 __asm__("x5") = f;
  __asm__ volatile("svc 0"
                   : "+r"(x0)
                   : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                   : "memory");
  return x0;
#else
  long result = ::syscall(number, a, b, c, d, e, f);
  return result < 0 ? -errno : result;
#endif
}

}  // namespace lumvex
