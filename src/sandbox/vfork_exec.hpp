// The one way lumvex makes a process: a clone that shares this process's
// memory only until it runs exec, as vfork does, written in assembly so that
// the child runs no compiled code at all (no C library, no errno, nothing a
// sanitizer instruments). It touches nothing but registers and the request
// below, which it reads, and, when exec fails, the request's `error`.
#pragma once

#include <cstdint>

namespace lumvex {

// What the child does, and the system call that makes it.
struct VforkExec {
  // The system call (clone3 or clone) and its first five arguments.
  long number;
  long args[5];
  // A descriptor that the child puts at descriptor 3 (dup3, without
  // close-on-exec) before exec; negative for none. Never 3 itself.
  long control_fd;
  const char* path;
  char* const* argv;
  char* const* envp;
  // The negated errno when the child could not run the program.
  long error;
};

// Whether this architecture has lumvex_vfork_exec.
#if defined(__x86_64__) || defined(__aarch64__)
inline constexpr bool kHaveVforkExec = true;
#else
inline constexpr bool kHaveVforkExec = false;
#endif

extern "C" {
// Makes the child with request->number (its flags must include CLONE_VM and
// CLONE_VFORK, and give no stack: the child runs on this stack while this
// thread waits) and returns what the system call returned to the parent:
// the child's process id, or the negated errno.
long lumvex_vfork_exec(VforkExec* request);
}

}  // namespace lumvex
