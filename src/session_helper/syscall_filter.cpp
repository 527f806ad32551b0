#include "session_helper/syscall_filter.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace lumvex {

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned kArch = 0;
#endif

constexpr unsigned kNamespaceFlags = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                     CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP;

// The calls refused outright, where the architecture has them.
constexpr long kRefused[] = {
    SYS_unshare,
    SYS_setns,
    SYS_mount,
    SYS_umount2,
    SYS_pivot_root,
    SYS_swapon,
    SYS_swapoff,
    SYS_quotactl,
    SYS_bpf,
    SYS_perf_event_open,
    SYS_userfaultfd,
    SYS_io_uring_setup,
    SYS_io_uring_enter,
    SYS_io_uring_register,
    SYS_init_module,
    SYS_finit_module,
    SYS_delete_module,
    SYS_kexec_load,
    SYS_reboot,
    SYS_settimeofday,
    SYS_clock_settime,
    SYS_clock_adjtime,
    SYS_adjtimex,
    SYS_syslog,
    SYS_acct,
    SYS_request_key,
    SYS_open_by_handle_at,
    SYS_name_to_handle_at,
    SYS_open_tree,
    SYS_move_mount,
    SYS_fsopen,
    SYS_fsconfig,
    SYS_fsmount,
    SYS_fspick,
    SYS_mount_setattr,
    SYS_lookup_dcookie,
#ifdef SYS_kexec_file_load
    SYS_kexec_file_load,
#endif
#ifdef SYS_umount
    SYS_umount,
#endif
#ifdef SYS_iopl
    SYS_iopl,
#endif
#ifdef SYS_ioperm
    SYS_ioperm,
#endif
#ifdef SYS_uselib
    SYS_uselib,
#endif
#ifdef SYS_ustat
    SYS_ustat,
#endif
#ifdef SYS_sysfs
    SYS_sysfs,
#endif
#ifdef SYS_vm86
    SYS_vm86,
#endif
#ifdef SYS_nfsservctl
    SYS_nfsservctl,
#endif
};

sock_filter statement(unsigned short code, unsigned k) {
  return BPF_STMT(code, k);
}
sock_filter jump(unsigned short code, unsigned k, unsigned char yes, unsigned char no) {
  return BPF_JUMP(code, k, yes, no);
}

constexpr unsigned kErrno(int error) {
  return SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA);
}

}  // namespace

bool syscall_filter_supported() {
  return kArch != 0;
}

int install_syscall_filter() {
  if (kArch == 0) return ENOSYS;
  std::vector<sock_filter> program;
  // Another ABI than the native one is refused whole (its numbers differ).
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  // x32 calls carry this bit.
  program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1));
  program.push_back(statement(BPF_RET | BPF_K, kErrno(EPERM)));
#endif
  for (long number : kRefused) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, kErrno(EPERM)));
  }
  // clone3's flags are in memory, out of the filter's sight: ENOSYS makes
  // the C library use clone.
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1));
  program.push_back(statement(BPF_RET | BPF_K, kErrno(ENOSYS)));
  // clone with a new namespace: its flags are the first argument (the low
  // 32 bits hold them all).
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3));
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
  program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 0, 1));
  program.push_back(statement(BPF_RET | BPF_K, kErrno(EPERM)));
  program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  // Without SPEC_ALLOW the kernel would also turn on its speculative-store
  // mitigation for every filtered process (on hosts that leave it to
  // seccomp), which makes everything a session runs markedly slower; it
  // guards a process against code in itself, which a session's programs,
  // all untrusted, do not need. Kernels that do not know the flag get the
  // plain filter.
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &filter) ==
      0) {
    return 0;
  }
  if (errno != EINVAL) return errno;
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0) return errno;
  return 0;
}

}  // namespace lumvex
