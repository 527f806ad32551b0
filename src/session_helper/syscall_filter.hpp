// The system-call filter of a session's programs (seccomp): what sandboxes
// usually refuse, refused with EPERM (clone3 with ENOSYS, so that the C
// library falls back to clone, whose flags the filter can see):
// - new namespaces of any kind (unshare, setns, clone with CLONE_NEW*), so
//   no user namespace, and nothing mounted in one;
// - mounting and the new mount API, pivot_root, swap, quotas;
// - bpf, perf_event_open, userfaultfd, io_uring;
// - kernel modules, kexec, reboot, the system clock, the kernel log, acct;
// - request_key (kernel upcalls), open_by_handle_at, name_to_handle_at;
// - on x86-64 the ioperm/iopl, personality-style escapes and every call
//   of another ABI (i386, x32).
// Everything else is allowed: the session's processes may trace their own
// (ptrace stays), manage their own keys and run compilers, Python, pip and
// git as usual.
#pragma once

namespace lumvex {

// Whether this architecture has the filter.
bool syscall_filter_supported();

// Installs the filter on the calling thread (and what it starts): 0, or the
// errno. Needs no-new-privileges or CAP_SYS_ADMIN.
int install_syscall_filter();

}  // namespace lumvex
