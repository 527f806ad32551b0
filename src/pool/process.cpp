#include "pool/process.hpp"

#include <fcntl.h>
#include <linux/mount.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
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
#include <memory>
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

// The stacks of a child (and, under a reaper, of its program): one mapping.
class ChildStack {
 public:
  static constexpr std::size_t kSize = 64 * 1024;
  explicit ChildStack(std::size_t count = 1)
      : count_(count),
        base_(::mmap(nullptr, kSize * count, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {}
  ~ChildStack() {
    if (base_ != MAP_FAILED) ::munmap(base_, kSize * count_);
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;

  bool ok() const { return base_ != MAP_FAILED; }
  void* base(std::size_t i = 0) const { return static_cast<char*>(base_) + i * kSize; }
  void* top(std::size_t i = 0) const { return static_cast<char*>(base(i)) + kSize; }  // grows down

 private:
  std::size_t count_;
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
  // The plan's vectors as plain arrays, taken by the parent: the child calls
  // no library code (instrumented builds would count its memory accesses
  // as the parent thread's, whose memory it shares).
  const ChildStep* steps;
  std::size_t step_count;
  const int* join_tasks;
  std::size_t join_task_count;
  int join_procs;  // a cgroup.procs to write "0" into first, or -1
  int error;
  bool workdir_failed;  // `error` is that of entering the working directory
  // Reaper mode: the child stays, as the reaper of its namespace, and runs
  // the program as its own child on `program_stack`; once that has started
  // (or failed), it says so on the eventfd `started`.
  bool reaper;
  void* program_stack;
  unsigned long program_stack_size;
  int started;
  // With a plan that forks into its namespace: the program's process id.
  long program_pid;
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

struct KernelMountAttr {
  std::uint64_t attr_set;
  std::uint64_t attr_clr;
  std::uint64_t propagation;
  std::uint64_t userns_fd;
};
constexpr std::uint64_t kMountAttrNosuid = 0x2;
constexpr unsigned kAtRecursive = 0x8000;
#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif

// The code below runs in children that share the parent's memory: only raw
// system calls (no errno, no C library state, no sanitizer), and nothing
// but what `setup` holds and their own stacks.
#define LUMVEX_CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

// The errno of a raw result, 0 for success.
LUMVEX_CHILD_CODE inline long failure(long result) {
  return result < 0 ? -result : 0;
}

// Brings the interface "lo" up, in the child's network namespace.
LUMVEX_CHILD_CODE long loopback_up() {
  long sock = raw_syscall(SYS_socket, AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -sock;
  ifreq request{};
  request.ifr_name[0] = 'l';
  request.ifr_name[1] = 'o';
  long error =
      failure(raw_syscall(SYS_ioctl, sock, SIOCGIFFLAGS, reinterpret_cast<long>(&request)));
  if (error == 0) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    error = failure(raw_syscall(SYS_ioctl, sock, SIOCSIFFLAGS, reinterpret_cast<long>(&request)));
  }
  raw_syscall(SYS_close, sock);
  return error;
}

// The plan's steps, in order; the errno of the first that fails, else 0.
LUMVEX_CHILD_CODE long run_plan(const ChildSetup& setup) {
  for (std::size_t i = 0; i < setup.step_count; ++i) {
    const ChildStep& step = setup.steps[i];
    long result = 0;
    switch (step.kind) {
      case ChildStep::kWrite: {
        long length = 0;
        while (step.text[length] != '\0') ++length;
        result = raw_syscall(SYS_write, step.fd, reinterpret_cast<long>(step.text), length);
        break;
      }
      case ChildStep::kMount:
      case ChildStep::kOptionalMount:
        result =
            raw_syscall(SYS_mount, reinterpret_cast<long>(step.source),
                        reinterpret_cast<long>(step.target), reinterpret_cast<long>(step.fstype),
                        static_cast<long>(step.flags), reinterpret_cast<long>(step.data));
        if (result == -ENOENT && step.kind == ChildStep::kOptionalMount) result = 0;
        break;
      case ChildStep::kNosuidAll: {
        KernelMountAttr attr{kMountAttrNosuid, 0, 0, 0};
        result = raw_syscall(SYS_mount_setattr, AT_FDCWD, reinterpret_cast<long>(step.target),
                             kAtRecursive, reinterpret_cast<long>(&attr), sizeof attr);
        // Older kernels: the places that the account writes are nosuid anyway.
        if (result == -ENOSYS) result = 0;
        break;
      }
      case ChildStep::kLoopbackUp:
        result = -loopback_up();
        break;
      case ChildStep::kSetns:
        result = raw_syscall(SYS_setns, step.fd, static_cast<long>(step.flags));
        break;
    }
    if (result < 0) return -result;
  }
  return 0;
}

// Joins the program's control groups that it was not born in.
LUMVEX_CHILD_CODE long join_groups(const ChildSetup& setup) {
  if (setup.join_procs >= 0) {
    if (long error =
            failure(raw_syscall(SYS_write, setup.join_procs, reinterpret_cast<long>("0"), 1))) {
      return error;
    }
  }
  if (setup.plan == nullptr) return 0;
  for (std::size_t i = 0; i < setup.join_task_count; ++i) {
    const int fd = setup.join_tasks[i];
    if (long error = failure(raw_syscall(SYS_write, fd, reinterpret_cast<long>("0"), 1))) {
      return error;
    }
  }
  return 0;
}

// Everything up to running the program: signal actions, control groups,
// the plan, the standard streams, the other descriptors closed (but
// with `close_others`), limits, credentials and working directory. The errno of a
// failure, else 0.
LUMVEX_CHILD_CODE long prepare_child(ChildSetup& setup, bool close_others) {
  // Caught signals go back to their default action before the mask opens
  // (the program would have them reset anyway); SIGPIPE is default too.
  KernelSigaction default_action{};
  default_action.handler = SIG_DFL;
  for (unsigned signal = 1; signal <= kKernelSignals; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    KernelSigaction current{};
    if (raw_syscall(SYS_rt_sigaction, signal, 0, reinterpret_cast<long>(&current),
                    kKernelSigsetSize) != 0) {
      continue;
    }
    if (signal == SIGPIPE || (current.handler != SIG_IGN && current.handler != SIG_DFL)) {
      raw_syscall(SYS_rt_sigaction, signal, reinterpret_cast<long>(&default_action), 0,
                  kKernelSigsetSize);
    }
  }

  // A reaper stays out of the session's groups (sharing this process's
  // memory, it must never be what the session's memory cap picks to end):
  // its program joins them instead.
  long error = setup.reaper ? 0 : join_groups(setup);
  if (error == 0 && setup.plan != nullptr) error = run_plan(setup);
  for (int fd = 0; fd < 3 && error == 0; ++fd) {
    error = failure(raw_syscall(SYS_dup3, setup.std_fds[fd], fd, 0));
  }
  // (A reaper keeps its descriptors until its program has started.)
  if (error == 0 && close_others) error = failure(raw_syscall(SYS_close_range, 3, ~0u, 0));
  if (error == 0 && setup.limit_processes) {
    error = failure(raw_syscall(SYS_prlimit64, 0, RLIMIT_NPROC,
                                reinterpret_cast<long>(&setup.process_limit), 0));
  }
  if (error == 0 && setup.plan != nullptr) {
    const ChildPlan& plan = *setup.plan;
    if (plan.no_new_privs) {
      error = failure(raw_syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0));
    }
    if (error == 0 && plan.new_session) error = failure(raw_syscall(SYS_setsid));
    if (plan.umask >= 0) raw_syscall(SYS_umask, plan.umask);
    // The account's own ids, from here to the program (raw calls change this
    // process alone, where the C library would change every thread).
    if (error == 0 && plan.gid >= 0) {
      error = failure(raw_syscall(SYS_setgroups, 0, 0));
      if (error == 0) error = failure(raw_syscall(SYS_setresgid, plan.gid, plan.gid, plan.gid));
    }
    if (error == 0 && plan.uid >= 0) {
      error = failure(raw_syscall(SYS_setresuid, plan.uid, plan.uid, plan.uid));
    }
    // Entered with the program's own ids: only where it may go itself.
    if (error == 0 && plan.workdir != nullptr) {
      error = failure(raw_syscall(SYS_chdir, reinterpret_cast<long>(plan.workdir)));
      if (error != 0) setup.workdir_failed = true;
    }
  }
  return error;
}

// Runs the program, trying the candidates as execvp does (a missing one
// moves on; a refused one is remembered). Returns only on failure: its errno.
LUMVEX_CHILD_CODE long exec_program(const ChildSetup& setup) {
  const std::uint64_t empty_mask = 0;
  raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&empty_mask), 0,
              kKernelSigsetSize);
  bool refused = false;
  long error = ENOENT;
  for (char* const* candidate = setup.candidates; *candidate != nullptr; ++candidate) {
    const long failed =
        -raw_syscall(SYS_execve, reinterpret_cast<long>(*candidate),
                     reinterpret_cast<long>(setup.argv), reinterpret_cast<long>(setup.envp));
    if (failed == EACCES) {
      refused = true;
    } else if (failed != ENOENT && failed != ENOTDIR && failed != ESTALE && failed != ENODEV &&
               failed != ETIMEDOUT) {
      return failed;
    }
  }
  return refused ? EACCES : error;
}

// The program's process under a reaper: it runs the program, or says why
// it could not.
LUMVEX_CHILD_CODE int program_main(void* arg) {
  ChildSetup& setup = *static_cast<ChildSetup*>(arg);
  long error = 0;
  if (setup.reaper) {
    error = join_groups(setup);
    if (error == 0) error = failure(raw_syscall(SYS_close_range, 3, ~0u, 0));
  }
  setup.error = static_cast<int>(error != 0 ? error : exec_program(setup));
  raw_syscall(SYS_exit_group, 127);
  return 127;
}

// The reaper: the first process of the session's process namespace. It
// starts the program as its child, then reaps every process that ends in
// the namespace (orphans come to it), and exits with the program's status
// when the program ends, which ends the whole namespace. Its own
// descriptors are closed once the program runs; it holds nothing of the
// parent's. Signals from inside the namespace do not reach it (it has no
// handler), so only the parent can end it.
[[noreturn]] LUMVEX_CHILD_CODE void reaper_main(ChildSetup& setup) {
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK;
  args.exit_signal = SIGCHLD;
  args.stack = reinterpret_cast<std::uint64_t>(setup.program_stack);
  args.stack_size = setup.program_stack_size;
  const int cgroup_dir = setup.plan != nullptr ? setup.plan->cgroup_dir : -1;
  if (cgroup_dir >= 0) {
    args.flags |= CLONE_INTO_CGROUP;
    args.cgroup = static_cast<std::uint64_t>(cgroup_dir);
  }
  long program = lumvex_clone3_run(&args, sizeof args, program_main, &setup);
  if ((program == -ENOSYS || program == -E2BIG) && cgroup_dir >= 0) {
    // No CLONE_INTO_CGROUP: the program joins its group itself.
    args.flags &= ~static_cast<std::uint64_t>(CLONE_INTO_CGROUP);
    args.cgroup = 0;
    setup.join_procs = setup.plan->cgroup_procs;
    program = lumvex_clone3_run(&args, sizeof args, program_main, &setup);
  }
  if (program < 0) setup.error = static_cast<int>(-program);
  // From here on `setup` is the parent's again.
  const int started = setup.started;
  const bool ok = program > 0 && setup.error == 0;
  const std::uint64_t one = 1;
  raw_syscall(SYS_write, started, reinterpret_cast<long>(&one), sizeof one);
  raw_syscall(SYS_close_range, 0, ~0u, 0);
  if (!ok) raw_syscall(SYS_exit_group, 127);
  for (;;) {
    int status = 0;
    const long pid = raw_syscall(SYS_wait4, -1, reinterpret_cast<long>(&status), __WALL, 0);
    if (pid == program || pid == -ECHILD) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      raw_syscall(SYS_exit_group, pid == program ? code : 0);
    }
  }
}

// Runs in the child, on its own stack but in the parent's memory: prepares
// it, then runs the program (or, as a reaper, starts it and stays). Without
// reaper mode the parent waits meanwhile (CLONE_VFORK); the parent blocked
// every signal before the child was made, so no handler of the parent runs
// here.
LUMVEX_CHILD_CODE int child_main(void* arg) {
  ChildSetup& setup = *static_cast<ChildSetup*>(arg);
  long error = prepare_child(setup, !setup.reaper);
  if (error == 0 && setup.reaper) reaper_main(setup);
  if (error == 0 && setup.plan != nullptr && setup.plan->fork_into_namespace) {
    clone_args args{};
    args.flags = CLONE_VM | CLONE_VFORK | CLONE_PARENT;  // its exit signal is this child's
    args.stack = reinterpret_cast<std::uint64_t>(setup.program_stack);
    args.stack_size = setup.program_stack_size;
    const long pid = lumvex_clone3_run(&args, sizeof args, program_main, &setup);
    if (pid > 0) {
      setup.program_pid = pid;  // running the program, or failed (setup.error)
      raw_syscall(SYS_exit_group, 0);
    }
    error = -pid;
  }
  if (error == 0) error = exec_program(setup);
  setup.error = static_cast<int>(error);
  if (setup.reaper) {
    const std::uint64_t one = 1;
    raw_syscall(SYS_write, setup.started, reinterpret_cast<long>(&one), sizeof one);
  }
  raw_syscall(SYS_exit_group, 127);
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
    : pid_(other.pid_),
      pidfd_(std::move(other.pidfd_)),
      status_(other.status_),
      memory_(std::move(other.memory_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess old(std::move(*this));
    pid_ = other.pid_;
    pidfd_ = std::move(other.pidfd_);
    status_ = other.status_;
    memory_ = std::move(other.memory_);
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
                 WSTOPPED | WEXITED | WNOHANG | WNOWAIT | __WALL) == 0) {
      return info.si_pid != 0;
    }
    if (errno != EINTR) return true;  // ECHILD: reaped elsewhere
  }
}

bool ChildProcess::reap(int options) {
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | __WALL | options) ==
        0) {
      break;
    }
    if (errno == EINTR) continue;
    // ECHILD: something else reaped it (or the kernel did, SIGCHLD being
    // ignored): it has ended, with a status nobody can tell any more.
    pidfd_.reset();
    memory_.reset();
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
  memory_.reset();
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

  // A reaper keeps its stack (and its program's) for as long as it lives.
  const bool reaper = options.reaper && kHaveClone3Run;
  const bool forks = options.plan != nullptr && options.plan->fork_into_namespace;
  if (forks && !kHaveClone3Run) throw_spawn_error(program, ENOSYS);
  auto stacks = std::make_shared<ChildStack>(reaper || forks ? 2 : 1);
  if (!stacks->ok()) throw_spawn_error(program, errno);
  UniqueFd started;
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
  if (options.plan != nullptr) {
    setup.steps = options.plan->steps.data();
    setup.step_count = options.plan->steps.size();
    setup.join_tasks = options.plan->join_tasks.data();
    setup.join_task_count = options.plan->join_tasks.size();
  }
  setup.join_procs = -1;
  setup.started = -1;
  if (forks) {
    setup.program_stack = stacks->base(1);
    setup.program_stack_size = ChildStack::kSize;
  }
  if (reaper) {
    started.reset(::eventfd(0, EFD_CLOEXEC));
    if (!started) throw_spawn_error(program, errno);
    setup.reaper = true;
    setup.started = started.get();
    setup.program_stack = stacks->base(1);
    setup.program_stack_size = ChildStack::kSize;
  }
  const int namespaces = options.plan != nullptr ? options.plan->clone_flags : 0;
  const int cgroup_dir = options.plan != nullptr ? options.plan->cgroup_dir : -1;
  // CLONE_VFORK: this thread waits until the child runs the program or gives
  // up, so the stack and `setup` stay valid for as long as it uses them. A
  // reaper stays: this thread waits for its word instead (below).
  const std::uint64_t vfork = reaper ? 0 : CLONE_VFORK;

  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  int pidfd = -1;
  long pid = -ENOSYS;
  if ((cgroup_dir >= 0 || reaper) && kHaveClone3Run) {
    clone_args args{};
    args.flags = CLONE_VM | vfork | CLONE_PIDFD | static_cast<std::uint64_t>(namespaces);
    if (cgroup_dir >= 0 && !reaper) {
      args.flags |= CLONE_INTO_CGROUP;
      args.cgroup = static_cast<std::uint64_t>(cgroup_dir);
    }
    args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
    args.exit_signal = 0;  // no exit signal: see ChildProcess
    args.stack = reinterpret_cast<std::uint64_t>(stacks->base(0));
    args.stack_size = ChildStack::kSize;
    pid = lumvex_clone3_run(&args, sizeof args, child_main, &setup);
  }
  int clone_error = 0;
  if ((pid == -ENOSYS || pid == -E2BIG) && !reaper) {
    // No clone3 (or no CLONE_INTO_CGROUP): the child joins its group itself.
    if (cgroup_dir >= 0) setup.join_procs = options.plan->cgroup_procs;
    pid = ::clone(child_main, stacks->top(0), CLONE_VM | CLONE_VFORK | CLONE_PIDFD | namespaces,
                  &setup, &pidfd);
    clone_error = errno;
  } else if (pid < 0) {
    clone_error = static_cast<int>(-pid);
    pid = -1;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) throw_spawn_error(program, clone_error);

  ChildProcess child(static_cast<pid_t>(pid), UniqueFd(pidfd));
  if (forks) {
    // The child has ended; the program is this process's child now.
    child.wait();
    if (setup.program_pid > 0) {
      const pid_t program_pid = static_cast<pid_t>(setup.program_pid);
      if (setup.error != 0) {
        int status = 0;
        ::waitpid(program_pid, &status, __WALL);
      } else {
        UniqueFd program_fd = open_pidfd(program_pid);
        if (!program_fd) {
          ::kill(program_pid, SIGKILL);
          ::waitpid(program_pid, nullptr, __WALL);
          throw_spawn_error(program, errno);
        }
        child = ChildProcess(program_pid, std::move(program_fd));
      }
    } else if (setup.error == 0) {
      throw_spawn_error(program, ECHILD);
    }
  }
  if (reaper) {
    // The reaper says when the program runs (or why it cannot); `setup` and
    // the strings stay until then.
    pollfd ready{started.get(), POLLIN, 0};
    int polled;
    do {
      polled = ::poll(&ready, 1, 10000);
    } while (polled < 0 && errno == EINTR);
    if (polled <= 0) {
      child.send(SIGKILL);
      child.wait();
      throw_spawn_error(program, ETIMEDOUT);
    }
    child.keep(std::move(stacks));
  }
  if (setup.error != 0) {
    if (!forks) child.wait();
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
  long target;  // as kill() takes it
  long signal;
  long result;  // 0, or the errno of kill() or of taking on the ids
};

LUMVEX_CHILD_CODE int killer_main(void* arg) {
  KillerSetup& setup = *static_cast<KillerSetup*>(arg);
  long error = failure(raw_syscall(SYS_setgroups, 0, 0));
  if (error == 0) error = failure(raw_syscall(SYS_setresgid, setup.uid, setup.uid, setup.uid));
  if (error == 0) error = failure(raw_syscall(SYS_setresuid, setup.uid, setup.uid, setup.uid));
  if (error == 0) error = failure(raw_syscall(SYS_kill, setup.target, setup.signal));
  setup.result = error;
  raw_syscall(SYS_exit_group, 0);
  return 0;
}

}  // namespace

namespace {

struct ProbeSetup {
  long uid;
  long result;  // 0: alone; EAGAIN: the account has other processes; else the errno
  void* stack;
};

LUMVEX_CHILD_CODE int exit_at_once(void*) {
  raw_syscall(SYS_exit_group, 0);
  return 0;
}

// As the account, with a cap of two processes for it: a new process can be
// made only if the prober is the account's one process.
LUMVEX_CHILD_CODE int prober_main(void* arg) {
  ProbeSetup& setup = *static_cast<ProbeSetup*>(arg);
  const rlimit two{2, 2};
  long error = failure(raw_syscall(SYS_setgroups, 0, 0));
  if (error == 0) error = failure(raw_syscall(SYS_setresgid, setup.uid, setup.uid, setup.uid));
  if (error == 0) error = failure(raw_syscall(SYS_setresuid, setup.uid, setup.uid, setup.uid));
  if (error == 0) {
    error = failure(raw_syscall(SYS_prlimit64, 0, RLIMIT_NPROC, reinterpret_cast<long>(&two), 0));
  }
  if (error == 0) {
    clone_args args{};
    args.flags = CLONE_VM | CLONE_VFORK;
    args.exit_signal = SIGCHLD;
    args.stack = reinterpret_cast<std::uint64_t>(setup.stack);
    args.stack_size = ChildStack::kSize;
    const long pid = lumvex_clone3_run(&args, sizeof args, exit_at_once, nullptr);
    if (pid < 0) {
      error = -pid;
    } else {
      int status = 0;
      raw_syscall(SYS_wait4, pid, reinterpret_cast<long>(&status), __WALL, 0);
    }
  }
  setup.result = error;
  raw_syscall(SYS_exit_group, 0);
  return 0;
}

}  // namespace

HostResult<bool> account_has_processes(std::uint32_t uid) {
  const std::string what = "count the processes of uid " + std::to_string(uid);
  if (uid == 0 || uid == ::getuid() || uid == ::geteuid()) return host_error(what, EPERM);
  if (!kHaveClone3Run) return host_error(what, ENOSYS);
  ChildStack stacks(2);
  if (!stacks.ok()) return host_error(what);
  ProbeSetup setup{static_cast<long>(uid), EIO, stacks.base(1)};
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = 0;
  args.stack = reinterpret_cast<std::uint64_t>(stacks.base(0));
  args.stack_size = ChildStack::kSize;
  const long pid = lumvex_clone3_run(&args, sizeof args, prober_main, &setup);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return host_error(what, static_cast<int>(-pid));
  ChildProcess(static_cast<pid_t>(pid), UniqueFd(pidfd)).wait();
  if (setup.result == 0) return false;
  if (setup.result == EAGAIN) return true;
  return host_error(what, static_cast<int>(setup.result));
}

HostResult<bool> kill_all_as(std::uint32_t uid) {
  return signal_as(uid, -1, SIGKILL);
}

HostResult<bool> signal_as(std::uint32_t uid, pid_t target, int signal) {
  const std::string what = "signal processes as uid " + std::to_string(uid);
  if (uid == 0 || uid == ::getuid() || uid == ::geteuid()) {
    throw InternalError("refusing to signal processes as uid " + std::to_string(uid));
  }
  ChildStack stack;
  if (!stack.ok()) return host_error(what);
  KillerSetup setup{static_cast<long>(uid), target, signal, EIO};
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  int pidfd = -1;
  // The child is done (it has exited) when clone returns.
  const pid_t pid =
      ::clone(killer_main, stack.top(), CLONE_VM | CLONE_VFORK | CLONE_PIDFD, &setup, &pidfd);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return host_error(what, clone_error);
  ChildProcess(pid, UniqueFd(pidfd)).wait();
  if (setup.result == 0) return true;
  if (setup.result == ESRCH) return false;
  return host_error(what, static_cast<int>(setup.result));
}

PipedChild start_piped(const std::string& program, const std::vector<std::string>& args,
                       SpawnOptions options, bool with_input) {
  Pipe in;
  if (with_input) {
    in = make_pipe(program);
  } else {
    in.read.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!in.read) throw_spawn_error(program, errno);
    lift_above_std_streams(program, in.read);
  }
  Pipe out = make_pipe(program);
  Pipe err = make_pipe(program);
  options.stdin_fd = in.read.get();
  options.stdout_fd = out.write.get();
  options.stderr_fd = err.write.get();
  PipedChild child;
  child.stdin_write = std::move(in.write);
  child.stdout_read = std::move(out.read);
  child.stderr_read = std::move(err.read);
  if (child.stdin_write) set_nonblocking(program, child.stdin_write);
  set_nonblocking(program, child.stdout_read);
  set_nonblocking(program, child.stderr_read);
  child.process = spawn(program, args, options);
  return child;
}

}  // namespace lumvex
