#include "pool/process.hpp"

#include <fcntl.h>
#include <linux/mount.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "error/internal_error.hpp"
#include "pool/clone3.hpp"
#include "pool/pidfd.hpp"

namespace lumvex {

namespace {

[[noreturn]] void throw_spawn_error(const std::string& program, int error) {
  throw InternalError("Failed to execute the command `" + program +
                      "`: " + std::generic_category().message(error));
}

// Moves a descriptor above the standard streams, so that dup3 onto 0, 1 or 2
// in the child always makes a fresh (inheritable) copy.
void lift_above_std_streams(const std::string& program, UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) throw_spawn_error(program, errno);
  fd.reset(lifted);
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A close-on-exec pipe whose ends are both above the standard streams.
Pipe make_pipe(const std::string& program) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_spawn_error(program, errno);
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  lift_above_std_streams(program, pipe.read);
  lift_above_std_streams(program, pipe.write);
  return pipe;
}

void set_nonblocking(const std::string& program, const UniqueFd& fd) {
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    throw_spawn_error(program, errno);
  }
}

// The candidates execvp would try for `program`, in order.
std::vector<std::string> search_path(const std::string& program) {
  if (program.find('/') != std::string::npos) return {program};
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  for (;;) {
    std::size_t end = dirs.find(':');
    std::string_view dir = dirs.substr(0, end);
    candidates.push_back((dir.empty() ? std::string(".") : std::string(dir)) + "/" + program);
    if (end == std::string_view::npos) break;
    dirs.remove_prefix(end + 1);
  }
  return candidates;
}

// Pointers into strings that outlive the child's start, null-terminated.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// The stack the child runs on until it runs the program.
class ChildStack {
 public:
  static constexpr std::size_t kSize = 64 * 1024;
  ChildStack()
      : base_(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {}
  ~ChildStack() {
    if (base_ != MAP_FAILED) ::munmap(base_, kSize);
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;

  bool ok() const { return base_ != MAP_FAILED; }
  void* base() const { return base_; }
  void* top() const { return static_cast<char*>(base_) + kSize; }  // stacks grow down

 private:
  void* base_;
};

// Everything the child needs, prepared by the parent; the child only reads
// it, and writes `error` when it cannot run the program.
struct ChildSetup {
  int std_fds[3];
  char* const* candidates;
  char* const* argv;
  char* const* envp;
  bool limit_processes;
  rlimit process_limit;
  const ChildPlan* plan;
  int join_procs;  // a cgroup.procs to write "0" into first, or -1
  int error;
  bool workdir_failed;  // `error` is that of entering the working directory
};

// The kernel's own sigaction record (what rt_sigaction takes).
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  std::uint64_t mask;
};
constexpr unsigned kKernelSignals = 64;
constexpr std::size_t kKernelSigsetSize = sizeof(std::uint64_t);

#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif

struct KernelMountAttr {
  std::uint64_t attr_set;
  std::uint64_t attr_clr;
  std::uint64_t propagation;
  std::uint64_t userns_fd;
};
constexpr std::uint64_t kMountAttrNosuid = 0x2;
constexpr unsigned kAtRecursive = 0x8000;

// Brings the interface "lo" up, in the child's network namespace.
__attribute__((no_sanitize("address", "thread", "undefined"))) long loopback_up() {
  long sock = ::syscall(SYS_socket, AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return errno;
  ifreq request{};
  request.ifr_name[0] = 'l';
  request.ifr_name[1] = 'o';
  long error = 0;
  if (::syscall(SYS_ioctl, sock, SIOCGIFFLAGS, &request) != 0) {
    error = errno;
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::syscall(SYS_ioctl, sock, SIOCSIFFLAGS, &request) != 0) error = errno;
  }
  ::syscall(SYS_close, sock);
  return error;
}

// The plan's steps, in order; the errno of the first that fails, else 0.
__attribute__((no_sanitize("address", "thread", "undefined"))) long run_plan(
    const ChildPlan& plan) {
  for (const ChildStep& step : plan.steps) {
    long result = 0;
    switch (step.kind) {
      case ChildStep::kWrite: {
        std::size_t length = 0;
        while (step.text[length] != '\0') ++length;
        result = ::syscall(SYS_write, step.fd, step.text, length);
        break;
      }
      case ChildStep::kMount:
      case ChildStep::kOptionalMount:
        result = ::syscall(SYS_mount, step.source, step.target, step.fstype, step.flags, step.data);
        if (result != 0 && step.kind == ChildStep::kOptionalMount && errno == ENOENT) result = 0;
        break;
      case ChildStep::kNosuidAll: {
        KernelMountAttr attr{kMountAttrNosuid, 0, 0, 0};
        result =
            ::syscall(SYS_mount_setattr, AT_FDCWD, step.target, kAtRecursive, &attr, sizeof attr);
        if (result != 0 && errno == ENOSYS) result = 0;  // older kernels: the places that
        break;                                           // the account writes are nosuid
      }
      case ChildStep::kLoopbackUp:
        if (long error = loopback_up(); error != 0) return error;
        break;
      case ChildStep::kSetns:
        result = ::syscall(SYS_setns, step.fd, static_cast<int>(step.flags));
        break;
    }
    if (result < 0) return errno;
  }
  return 0;
}

// Runs in the child, on its own stack but in the parent's memory, while the
// parent waits: only raw system calls, so that neither the C library's state
// nor a sanitizer's is touched from here. The parent blocked every signal
// before the child was made, so no handler of the parent runs here.
__attribute__((no_sanitize("address", "thread", "undefined"))) int child_main(void* arg) {
  ChildSetup& setup = *static_cast<ChildSetup*>(arg);
  // Caught signals go back to their default action before the mask opens
  // (the program would have them reset anyway); SIGPIPE is default too.
  KernelSigaction default_action{};
  default_action.handler = SIG_DFL;
  for (unsigned signal = 1; signal <= kKernelSignals; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    KernelSigaction current{};
    if (::syscall(SYS_rt_sigaction, signal, nullptr, &current, kKernelSigsetSize) != 0) {
      continue;
    }
    if (signal == SIGPIPE || (current.handler != SIG_IGN && current.handler != SIG_DFL)) {
      ::syscall(SYS_rt_sigaction, signal, &default_action, nullptr, kKernelSigsetSize);
    }
  }

  long error = 0;
  if (setup.join_procs >= 0 && ::syscall(SYS_write, setup.join_procs, "0", 1) < 0) error = errno;
  if (error == 0 && setup.plan != nullptr) error = run_plan(*setup.plan);
  for (int fd = 0; fd < 3 && error == 0; ++fd) {
    if (::syscall(SYS_dup3, setup.std_fds[fd], fd, 0) < 0) error = errno;
  }
  if (error == 0 && ::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) error = errno;
  if (error == 0 && setup.limit_processes &&
      ::syscall(SYS_prlimit64, 0, RLIMIT_NPROC, &setup.process_limit, nullptr) != 0) {
    error = errno;
  }
  if (error == 0 && setup.plan != nullptr) {
    const ChildPlan& plan = *setup.plan;
    if (plan.no_new_privs && ::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
      error = errno;
    }
    if (error == 0 && plan.new_session && ::syscall(SYS_setsid) < 0) error = errno;
    if (plan.umask >= 0) ::syscall(SYS_umask, plan.umask);
    // The account's own ids, from here to the program. Raw calls change this
    // process alone (the C library would try to change every thread of the
    // parent whose memory this is).
    if (error == 0 && plan.gid >= 0 &&
        (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
         ::syscall(SYS_setresgid, plan.gid, plan.gid, plan.gid) != 0)) {
      error = errno;
    }
    if (error == 0 && plan.uid >= 0 &&
        ::syscall(SYS_setresuid, plan.uid, plan.uid, plan.uid) != 0) {
      error = errno;
    }
    // Entered with the program's own ids: only where it may go itself.
    if (error == 0 && plan.workdir != nullptr && ::syscall(SYS_chdir, plan.workdir) != 0) {
      error = errno;
      setup.workdir_failed = true;
    }
  }
  if (error == 0) {
    const std::uint64_t empty_mask = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty_mask, nullptr, kKernelSigsetSize);
    // As execvp: a missing candidate moves on; a refused one is remembered.
    bool refused = false;
    error = ENOENT;
    for (char* const* candidate = setup.candidates; *candidate != nullptr; ++candidate) {
      ::syscall(SYS_execve, *candidate, setup.argv, setup.envp);
      const int failure = errno;
      if (failure == EACCES) {
        refused = true;
      } else if (failure != ENOENT && failure != ENOTDIR && failure != ESTALE &&
                 failure != ENODEV && failure != ETIMEDOUT) {
        error = failure;
        refused = false;
        break;
      }
    }
    if (refused) error = EACCES;
  }
  setup.error = static_cast<int>(error);
  ::syscall(SYS_exit_group, 127);
  return 127;
}

// Reads both pipes until each reaches end of stream, polling so that a full
// pipe on one side never stalls the other. False when `deadline` passed
// first.
bool drain(UniqueFd& out_fd, std::string& out, UniqueFd& err_fd, std::string& err,
           std::chrono::steady_clock::time_point deadline) {
  char chunk[4096];
  while (out_fd.valid() || err_fd.valid()) {
    pollfd fds[2];
    UniqueFd* owners[2];
    std::string* sinks[2];
    nfds_t count = 0;
    if (out_fd.valid()) {
      fds[count] = {out_fd.get(), POLLIN, 0};
      owners[count] = &out_fd;
      sinks[count++] = &out;
    }
    if (err_fd.valid()) {
      fds[count] = {err_fd.get(), POLLIN, 0};
      owners[count] = &err_fd;
      sinks[count++] = &err;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), INT_MAX))) < 0) {
      if (errno == EINTR) continue;
      return true;  // cannot wait any more; the caller still reaps the child
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        owners[i]->reset();
      }
    }
  }
  return true;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), pidfd_(std::move(other.pidfd_)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess old(std::move(*this));
    pid_ = other.pid_;
    pidfd_ = std::move(other.pidfd_);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (!pidfd_) return;
  send(SIGKILL);
  wait();
}

int ChildProcess::send(int signal) const {
  if (!pidfd_) return ESRCH;
  return pidfd_signal(pidfd_.get(), signal) == 0 ? 0 : errno;
}

bool ChildProcess::stopped_or_ended() const {
  if (!pidfd_) return true;
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info,
                 WSTOPPED | WEXITED | WNOHANG | WNOWAIT) == 0) {
      return info.si_pid != 0;
    }
    if (errno != EINTR) return true;  // ECHILD: reaped elsewhere
  }
}

bool ChildProcess::reap(int options) {
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | options) == 0) break;
    if (errno == EINTR) continue;
    // ECHILD: something else reaped it (or the kernel did, SIGCHLD being
    // ignored): it has ended, with a status nobody can tell any more.
    pidfd_.reset();
    status_ = -1;
    return true;
  }
  if (info.si_pid == 0) return false;  // WNOHANG and still running
  switch (info.si_code) {
    case CLD_EXITED:
      status_ = (info.si_status & 0xff) << 8;
      break;
    case CLD_KILLED:
      status_ = info.si_status & 0x7f;
      break;
    case CLD_DUMPED:
      status_ = (info.si_status & 0x7f) | 0x80;
      break;
    default:
      status_ = -1;
  }
  pidfd_.reset();
  return true;
}

int ChildProcess::wait() {
  if (pidfd_) reap(0);
  return status_;
}

bool ChildProcess::wait_until(std::chrono::steady_clock::time_point deadline) {
  using std::chrono::steady_clock;
  while (pidfd_) {
    if (reap(WNOHANG)) return true;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return reap(WNOHANG);
    pollfd fd{pidfd_.get(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX))) < 0 &&
        errno != EINTR) {
      return reap(WNOHANG);
    }
  }
  return true;
}

ChildProcess spawn(const std::string& program, const std::vector<std::string>& args,
                   const SpawnOptions& options) {
  std::vector<std::string> candidates = search_path(program);
  std::vector<std::string> argv_strings;
  argv_strings.reserve(args.size() + 1);
  argv_strings.push_back(program);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings;
  if (options.environment) env_strings = *options.environment;
  std::vector<char*> candidate_ptrs = pointers(candidates);
  std::vector<char*> argv = pointers(argv_strings);
  std::vector<char*> envp = pointers(env_strings);

  ChildStack stack;
  if (!stack.ok()) throw_spawn_error(program, errno);
  ChildSetup setup{};
  setup.std_fds[0] = options.stdin_fd;
  setup.std_fds[1] = options.stdout_fd;
  setup.std_fds[2] = options.stderr_fd;
  setup.candidates = candidate_ptrs.data();
  setup.argv = argv.data();
  setup.envp = options.environment ? envp.data() : environ;
  setup.limit_processes = options.process_limit.has_value();
  if (options.process_limit) setup.process_limit = {*options.process_limit, *options.process_limit};
  setup.plan = options.plan;
  setup.join_procs = -1;
  const int namespaces = options.plan != nullptr ? options.plan->clone_flags : 0;
  const int cgroup_dir = options.plan != nullptr ? options.plan->cgroup_dir : -1;

  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  int pidfd = -1;
  long pid = -ENOSYS;
  // CLONE_VFORK: this thread waits until the child runs the program or gives
  // up, so the stack and `setup` stay valid for as long as it uses them.
  if (cgroup_dir >= 0 && kHaveClone3Run) {
    clone_args args{};
    args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | CLONE_INTO_CGROUP |
                 static_cast<std::uint64_t>(namespaces);
    args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
    args.exit_signal = SIGCHLD;
    args.stack = reinterpret_cast<std::uint64_t>(stack.base());
    args.stack_size = ChildStack::kSize;
    args.cgroup = static_cast<std::uint64_t>(cgroup_dir);
    pid = lumvex_clone3_run(&args, sizeof args, child_main, &setup);
  }
  int clone_error = 0;
  if (pid == -ENOSYS || pid == -E2BIG) {
    // No clone3 (or no CLONE_INTO_CGROUP): the child joins its group itself.
    if (cgroup_dir >= 0) setup.join_procs = options.plan->cgroup_procs;
    pid = ::clone(child_main, stack.top(),
                  CLONE_VM | CLONE_VFORK | CLONE_PIDFD | namespaces | SIGCHLD, &setup, &pidfd);
    clone_error = errno;
  } else if (pid < 0) {
    clone_error = static_cast<int>(-pid);
    pid = -1;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) throw_spawn_error(program, clone_error);

  ChildProcess child(static_cast<pid_t>(pid), UniqueFd(pidfd));
  if (setup.error != 0) {
    child.wait();
    if (setup.workdir_failed) {
      throw WorkdirError("Failed to enter the working directory of `" + program +
                             "`: " + std::generic_category().message(setup.error),
                         setup.error);
    }
    throw_spawn_error(program, setup.error);
  }
  return child;
}

CapturedOutput run_captured(const std::string& program, const std::vector<std::string>& args,
                            std::chrono::steady_clock::duration timeout) {
  UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null) throw_spawn_error(program, errno);
  lift_above_std_streams(program, null);
  Pipe out = make_pipe(program);
  Pipe err = make_pipe(program);
  SpawnOptions options;
  options.stdin_fd = null.get();
  options.stdout_fd = out.write.get();
  options.stderr_fd = err.write.get();
  ChildProcess child = spawn(program, args, options);
  null.reset();
  out.write.reset();
  err.write.reset();

  CapturedOutput result;
  bool finished = false;
  try {
    finished = drain(out.read, result.out, err.read, result.err,
                     std::chrono::steady_clock::now() + timeout);
  } catch (...) {
    // Close our ends before the child is reaped (by its destructor), so that
    // a child blocked on a full pipe gets an error and exits.
    out.read.reset();
    err.read.reset();
    throw;
  }
  out.read.reset();
  err.read.reset();
  const auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  if (!finished ||
      !child.wait_until(finished ? std::chrono::steady_clock::now() + timeout : grace)) {
    // The child is killed and reaped as it goes.
    throw InternalError("The command `" + program + "` did not finish within " +
                        std::to_string(std::chrono::ceil<std::chrono::seconds>(timeout).count()) +
                        " s");
  }
  int status = child.status();
  result.success = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

namespace {

struct KillerSetup {
  long uid;
  long result;  // 0, or the errno of kill(-1) or of taking on the ids
};

__attribute__((no_sanitize("address", "thread", "undefined"))) int killer_main(void* arg) {
  KillerSetup& setup = *static_cast<KillerSetup*>(arg);
  if (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
      ::syscall(SYS_setresgid, setup.uid, setup.uid, setup.uid) != 0 ||
      ::syscall(SYS_setresuid, setup.uid, setup.uid, setup.uid) != 0) {
    setup.result = errno;
  } else {
    setup.result = ::syscall(SYS_kill, -1, SIGKILL) == 0 ? 0 : errno;
  }
  ::syscall(SYS_exit_group, 0);
  return 0;
}

}  // namespace

int kill_all_as(std::uint32_t uid) {
  if (uid == 0 || uid == ::getuid() || uid == ::geteuid()) {
    throw InternalError("refusing to end the processes of uid " + std::to_string(uid));
  }
  ChildStack stack;
  if (!stack.ok()) return errno;
  KillerSetup setup{static_cast<long>(uid), EIO};
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  int pidfd = -1;
  // The child is done (it has exited) when clone returns.
  const pid_t pid = ::clone(killer_main, stack.top(),
                            CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, &setup, &pidfd);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return clone_error;
  ChildProcess(pid, UniqueFd(pidfd)).wait();
  return static_cast<int>(setup.result);
}

PipedChild start_piped(const std::string& program, const std::vector<std::string>& args,
                       SpawnOptions options) {
  Pipe in = make_pipe(program);
  Pipe out = make_pipe(program);
  Pipe err = make_pipe(program);
  options.stdin_fd = in.read.get();
  options.stdout_fd = out.write.get();
  options.stderr_fd = err.write.get();
  PipedChild child;
  child.stdin_write = std::move(in.write);
  child.stdout_read = std::move(out.read);
  child.stderr_read = std::move(err.read);
  set_nonblocking(program, child.stdin_write);
  set_nonblocking(program, child.stdout_read);
  set_nonblocking(program, child.stderr_read);
  child.process = spawn(program, args, options);
  return child;
}

}  // namespace lumvex
