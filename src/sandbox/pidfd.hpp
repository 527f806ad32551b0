// Process descriptors through the system calls themselves, so that the
// module does not depend on a C library new enough to wrap them.
#pragma once

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>

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

// What the kernel (6.13 and later) tells of the process of a descriptor
// through the PIDFD_GET_INFO request: its first, fixed-size version, which
// later kernels still accept.
struct PidfdInfo {
  std::uint64_t mask = 0;
  std::uint64_t cgroup_id = 0;
  std::uint32_t pid = 0, tgid = 0, ppid = 0;
  std::uint32_t ruid = 0, rgid = 0, euid = 0, egid = 0, suid = 0, sgid = 0, fsuid = 0, fsgid = 0;
  std::uint32_t spare = 0;
};
static_assert(sizeof(PidfdInfo) == 64);
inline constexpr std::uint64_t kPidfdInfoPid = 1u << 0;
inline constexpr std::uint64_t kPidfdInfoCreds = 1u << 1;

// Fills `info` with the parent and the credentials of the process of
// `pidfd`: 0, or -1 with errno set (ENOTTY or EINVAL where the kernel does
// not know the request, ESRCH when the process has gone).
inline int pidfd_get_info(int pidfd, PidfdInfo& info) {
  info = PidfdInfo{};
  info.mask = kPidfdInfoPid | kPidfdInfoCreds;
  return ::ioctl(pidfd, _IOWR(0xFF, 11, PidfdInfo), &info);
}

}  // namespace lumvex
