#include "pool/process.hpp"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>

#include "base/fd_passing.hpp"
#include "error/internal_error.hpp"
#include "sandbox/helper_launch.hpp"
#include "sandbox/pidfd.hpp"
#include "session_helper/wire.hpp"

namespace lumvex {

namespace {

[[noreturn]] void throw_spawn_error(const std::string& program, int error) {
  throw InternalError("Failed to execute the command `" + program +
                      "`: " + std::generic_category().message(error));
}

// Moves a descriptor above `floor`, so that dup3 onto a lower one in the
// child always makes a fresh (inheritable) copy.
void lift_above(const std::string& program, UniqueFd& fd, int floor) {
  if (fd.get() > floor) return;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, floor + 1);
  if (lifted < 0) throw_spawn_error(program, errno);
  fd.reset(lifted);
}

void lift_above_std_streams(const std::string& program, UniqueFd& fd) {
  lift_above(program, fd, STDERR_FILENO);
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

// The helper's answer; nullopt when the socket closed without one (the
// program runs in the helper's place). A descriptor that comes with it goes
// to `fd`.
std::optional<wire::Answer> receive_answer(const std::string& program, int socket,
                                           UniqueFd* fd = nullptr) {
  wire::Answer answer;
  char* at = reinterpret_cast<char*>(&answer);
  std::size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (got < sizeof answer) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw_spawn_error(program, ETIMEDOUT);
    pollfd ready{socket, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      throw_spawn_error(program, errno);
    }
    std::vector<int> fds;
    const ssize_t n = receive_some(socket, at + got, sizeof answer - got, fds, MSG_DONTWAIT);
    for (int received : fds) {
      UniqueFd owned(received);
      if (fd != nullptr) *fd = std::move(owned);
    }
    if (n == 0) {
      if (got == 0) return std::nullopt;
      throw_spawn_error(program, EPROTO);
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw_spawn_error(program, errno);
    }
    got += static_cast<std::size_t>(n);
  }
  return answer;
}

// The plan's message and the descriptors it names.
struct Message {
  std::string bytes;
  std::vector<int> fds;
};

Message encode(const std::vector<std::string>& candidates, const std::vector<std::string>& argv,
               const SpawnOptions& options) {
  wire::Writer writer;
  Message message;
  auto index = [&](int fd) {
    if (message.fds.size() >= wire::kMaxFds) throw InternalError("too many descriptors for a plan");
    message.fds.push_back(fd);
    return static_cast<std::int32_t>(message.fds.size() - 1);
  };
  std::string std_fds;
  for (int fd : {options.stdin_fd, options.stdout_fd, options.stderr_fd}) {
    const std::int32_t at = index(fd);
    std_fds.append(reinterpret_cast<const char*>(&at), sizeof at);
  }
  writer.text(wire::kStdFds, std_fds);
  if (options.process_limit) {
    writer.u64(wire::kProcessLimit, static_cast<std::uint64_t>(*options.process_limit));
  }
  if (const ChildPlan* plan = options.plan) {
    if (plan->stay) {
      writer.flag(wire::kStay);
      if (plan->clone_flags != 0) writer.i32(wire::kUnshare, plan->clone_flags);
      if (plan->base_mounts >= 0) writer.i32(wire::kBaseMounts, index(plan->base_mounts));
      if (plan->network >= 0) writer.i32(wire::kNetwork, index(plan->network));
    }
    if (plan->lifeline >= 0) writer.i32(wire::kLifeline, index(plan->lifeline));
    if (plan->claim >= 0) writer.i32(wire::kClaim, index(plan->claim));
    for (const std::string& path : plan->cleanup) writer.text(wire::kCleanup, path);
    if (plan->kill_uid >= 0) writer.i64(wire::kKillUid, plan->kill_uid);
    if (plan->pasta != nullptr) writer.text(wire::kPasta, plan->pasta);
    if (plan->nft != nullptr) writer.text(wire::kNft, plan->nft);
    if (plan->firewall != nullptr) writer.text(wire::kFirewall, plan->firewall);
    if (plan->cgroup_dir >= 0) writer.i32(wire::kJoinDir, index(plan->cgroup_dir));
    if (plan->cgroup_procs >= 0) writer.i32(wire::kJoinProcs, index(plan->cgroup_procs));
    for (int fd : plan->join_tasks) writer.i32(wire::kJoinTasks, index(fd));
    for (const ChildStep& step : plan->steps) {
      switch (step.kind) {
        case ChildStep::kSetns:
          writer.pair(wire::kSetns, index(step.fd), static_cast<std::int32_t>(step.flags));
          break;
        case ChildStep::kMount:
        case ChildStep::kOptionalMount:
          writer.step(step.kind == ChildStep::kMount ? wire::kMount : wire::kOptionalMount,
                      step.flags, step.source, step.target, step.fstype, step.data);
          break;
        case ChildStep::kNosuidAll:
          writer.step(wire::kNosuidAll, 0, nullptr, step.target, nullptr, nullptr);
          break;
        case ChildStep::kLoopbackUp:
          writer.step(wire::kLoopbackUp, 0, nullptr, nullptr, nullptr, nullptr);
          break;
        case ChildStep::kDetachOthers:
          writer.step(wire::kDetachOthers, 0, step.source, step.target, nullptr, nullptr);
          break;
        case ChildStep::kMakeDir:
          writer.step(wire::kMakeDir, step.flags, nullptr, step.target, nullptr, nullptr);
          break;
        case ChildStep::kMinimalDev:
          writer.step(wire::kMinimalDev, 0, nullptr, step.target, nullptr, nullptr);
          break;
        case ChildStep::kAttachTree:
          writer.step(wire::kAttachTree, static_cast<std::uint64_t>(index(step.fd)), nullptr,
                      step.target, nullptr, nullptr);
          break;
        case ChildStep::kWriteFile:
          writer.step(wire::kWriteFile, step.flags, nullptr, step.target, nullptr, step.data);
          break;
      }
    }
    if (plan->no_new_privs) writer.flag(wire::kNoNewPrivs);
    if (plan->syscall_filter) writer.flag(wire::kFilter);
    if (plan->keyring_uid >= 0) writer.i64(wire::kKeyringUid, plan->keyring_uid);
    if (plan->new_session) writer.flag(wire::kNewSession);
    if (plan->controlling_terminal) writer.flag(wire::kCtty);
    if (plan->workdir != nullptr) writer.text(wire::kWorkdir, plan->workdir);
    if (plan->umask >= 0) writer.i32(wire::kUmask, plan->umask);
    if (plan->uid >= 0) writer.i64(wire::kUid, plan->uid);
    if (plan->gid >= 0) writer.i64(wire::kGid, plan->gid);
  }
  if (options.transfer) {
    writer.flag(wire::kTransfer);
  } else {
    for (const std::string& candidate : candidates) writer.text(wire::kCandidate, candidate);
  }
  for (const std::string& arg : argv) writer.text(wire::kArg, arg);
  if (options.environment) {
    for (const std::string& entry : *options.environment) writer.text(wire::kEnv, entry);
  } else {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      writer.text(wire::kEnv, *entry);
    }
  }
  message.bytes = writer.finish();
  if (message.bytes.size() > wire::kMaxPlan + sizeof(wire::Writer::Header)) {
    throw_spawn_error(argv.front(), E2BIG);
  }
  return message;
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
      adopted_(other.adopted_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess old(std::move(*this));
    pid_ = other.pid_;
    pidfd_ = std::move(other.pidfd_);
    status_ = other.status_;
    adopted_ = other.adopted_;
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

bool ChildProcess::reap(int options) {
  if (adopted_) {
    // Its end is all there is to see; its parent reaps it.
    pollfd ended{pidfd_.get(), POLLIN, 0};
    int polled;
    do {
      polled = ::poll(&ended, 1, (options & WNOHANG) != 0 ? 0 : -1);
    } while (polled < 0 && errno == EINTR);
    if (polled == 0) return false;
    pidfd_.reset();
    status_ = -1;
    return true;
  }
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
  std::vector<std::string> argv_strings;
  argv_strings.reserve(args.size() + 1);
  argv_strings.push_back(program);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  const Message message = encode(search_path(program), argv_strings, options);

  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    throw_spawn_error(program, errno);
  }
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  lift_above(program, theirs, wire::kControlFd);
  std::string name = wire::kHelperName;
  std::string mode = "start";
  char* const argv[] = {name.data(), mode.data(), nullptr};
  // A staying helper makes its namespaces itself (see wire::Answer).
  const bool stay = options.plan != nullptr && options.plan->stay;
  const std::uint64_t namespaces =
      options.plan != nullptr && !stay ? static_cast<std::uint64_t>(options.plan->clone_flags) : 0;
  // Until it is handed over, a child that fails here is killed and reaped
  // by its destructor.
  HostResult<LaunchedHelper> launched = launch_helper(argv, namespaces, theirs.get());
  if (!launched) throw_spawn_error(program, launched.error().code);
  ChildProcess child(launched->pid, std::move(launched->pidfd));
  theirs.reset();
  const int send_error =
      send_with_fds(ours.get(), message.bytes.data(), message.bytes.size(), message.fds);
  if (stay && send_error == 0) {
    UniqueFd pidfd;
    std::optional<wire::Answer> handover = receive_answer(program, ours.get(), &pidfd);
    if (!handover || handover->error != 0 || !pidfd) {
      throw_spawn_error(program, handover && handover->error != 0 ? handover->error : EPROTO);
    }
    child.wait();  // the helper started here; the one that stays is handed over
    child = ChildProcess(static_cast<pid_t>(handover->pid), std::move(pidfd), true);
  }
  std::optional<wire::Answer> answer;
  try {
    answer = receive_answer(program, ours.get());
  } catch (const InternalError&) {
    if (send_error != 0) throw_spawn_error(program, send_error);
    throw;
  }
  if (!answer) {
    if (send_error != 0) throw_spawn_error(program, send_error);
    // The program runs in the helper's place.
    if (options.program_pid != nullptr) *options.program_pid = child.pid();
    return child;
  }
  if (answer->error != 0) {
    child.wait();
    const std::string reason = std::generic_category().message(answer->error);
    if (answer->workdir_failed != 0) {
      throw WorkdirError("Failed to enter the working directory of `" + program + "`: " + reason,
                         answer->error);
    }
    throw ProgramStartError("Failed to execute the command `" + program + "`: " + reason,
                            answer->error);
  }
  if (options.program_pid != nullptr) *options.program_pid = static_cast<pid_t>(answer->pid);
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
