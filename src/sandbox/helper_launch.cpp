#include "sandbox/helper_launch.hpp"

#include <dlfcn.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox/vfork_exec.hpp"
#include "session_helper/wire.hpp"

namespace lumvex {

namespace {

std::string find_helper() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&helper_path), &info) != 0 && info.dli_fname != nullptr) {
    std::string beside(info.dli_fname);
    const std::size_t slash = beside.rfind('/');
    beside = (slash == std::string::npos ? std::string(".") : beside.substr(0, slash)) + "/" +
             wire::kHelperName;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
#ifdef LUMVEX_HELPER_BUILD_PATH
  return LUMVEX_HELPER_BUILD_PATH;
#else
  return wire::kHelperName;
#endif
}

}  // namespace

const std::string& helper_path() {
  static const std::string path = find_helper();
  return path;
}

HostResult<LaunchedHelper> launch_helper(char* const* argv, std::uint64_t extra_flags,
                                         int control) {
  const std::string what = std::string("start ") + wire::kHelperName;
  if (!kHaveVforkExec) return host_error(what, ENOSYS);
  const std::string& path = helper_path();
  char* const no_environment[] = {nullptr};
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | extra_flags;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = 0;
  VforkExec request{};
  request.number = SYS_clone3;
  request.args[0] = reinterpret_cast<long>(&args);
  request.args[1] = sizeof args;
  request.control_fd = control;
  request.path = path.c_str();
  request.argv = argv;
  request.envp = no_environment;

  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  long pid = lumvex_vfork_exec(&request);
  if (pid == -ENOSYS) {
    // No clone3: clone, whose arguments come in another order, gives the
    // process descriptor through its parent-tid pointer.
    request.number = SYS_clone;
    request.args[0] = static_cast<long>(args.flags);
    request.args[1] = 0;  // the child runs on this stack, as with vfork
    request.args[2] = reinterpret_cast<long>(&pidfd);
    request.args[3] = 0;
    request.args[4] = 0;
    request.error = 0;
    pid = lumvex_vfork_exec(&request);
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return host_error(what, static_cast<int>(-pid));
  LaunchedHelper helper{static_cast<pid_t>(pid), UniqueFd(pidfd)};
  if (request.error != 0) {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | __WALL) != 0 &&
           errno == EINTR) {
    }
    return host_error(what, static_cast<int>(-request.error));
  }
  return helper;
}

HostResult<int> run_helper(const std::vector<std::string>& args) {
  std::vector<std::string> strings = args;
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  HostResult<LaunchedHelper> helper = launch_helper(argv.data(), 0, -1);
  if (!helper) return std::unexpected(helper.error());
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PIDFD, static_cast<id_t>(helper->pidfd.get()), &info, WEXITED | __WALL) == 0) {
      break;
    }
    if (errno != EINTR) return host_error(std::string("wait for ") + wire::kHelperName);
  }
  if (info.si_code == CLD_EXITED) return info.si_status;
  return host_error(
      std::string(wire::kHelperName) + " ended by signal " + std::to_string(info.si_status), EIO);
}

HelperReaper::~HelperReaper() {
  ::syscall(SYS_pidfd_send_signal, helper_.pidfd.get(), SIGKILL, nullptr, 0);
  siginfo_t info{};
  while (::waitid(P_PIDFD, static_cast<id_t>(helper_.pidfd.get()), &info, WEXITED | __WALL) != 0 &&
         errno == EINTR) {
  }
}

}  // namespace lumvex
