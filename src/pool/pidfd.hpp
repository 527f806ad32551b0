// Process descriptors through the system calls themselves, so that the
// module does not depend on a C library new enough to wrap them.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "base/unique_fd.hpp"

namespace lumvex {

// A descriptor on the process `pid` (close-on-exec), empty with errno set if
// there is none.
inline UniqueFd open_pidfd(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

// Sends `signal` to the process of `pidfd`: 0, or -1 with errno set (ESRCH
// once it has ended).
inline int pidfd_signal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

}  // namespace lumvex
