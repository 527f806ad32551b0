#include "pool/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "error/internal_error.hpp"

namespace lumvex {

namespace {

[[noreturn]] void throw_spawn_error(const std::string& program, int error) {
  throw InternalError("Failed to execute the command `" + program +
                      "`: " + std::generic_category().message(error));
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Moves a descriptor above the standard streams, so that dup2 onto 0, 1 or 2
// in the child always makes a fresh (inheritable) copy.
void lift_above_std_streams(const std::string& program, UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) throw_spawn_error(program, errno);
  fd.reset(lifted);
}

// A close-on-exec pipe whose ends are both above the standard streams.
Pipe make_pipe(const std::string& program) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_spawn_error(program, errno);
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  lift_above_std_streams(program, pipe.read);
  lift_above_std_streams(program, pipe.write);
  return pipe;
}

// RAII holders for the spawn attribute objects.
class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  bool ok() const { return ok_; }
  void dup2(int fd, int target) {
    if (ok_) ok_ = ::posix_spawn_file_actions_adddup2(&actions_, fd, target) == 0;
  }
  void open_null(int target) {
    if (ok_)
      ok_ = ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", O_RDONLY, 0) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// Empty signal mask and the default action for SIGPIPE.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (::posix_spawnattr_init(&attr_) != 0) return;
    initialised_ = true;
    sigset_t empty;
    sigset_t pipe_only;
    sigemptyset(&empty);
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ok_ = ::posix_spawnattr_setsigmask(&attr_, &empty) == 0 &&
          ::posix_spawnattr_setsigdefault(&attr_, &pipe_only) == 0 &&
          ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  ~SpawnAttributes() {
    if (initialised_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  bool ok() const { return ok_; }
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool initialised_ = false;
  bool ok_ = false;
};

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const FileActions& actions) {
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) throw_spawn_error(program, ENOMEM);

  std::vector<std::string> strings;
  strings.reserve(args.size() + 1);
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int error =
      ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (error != 0) throw_spawn_error(program, error);
  return pid;
}

// Reaps a started child if the caller leaves early by an exception.
class ReapOnExit {
 public:
  explicit ReapOnExit(pid_t pid) : pid_(pid) {}
  ~ReapOnExit() {
    if (pid_ > 0) wait_child(pid_);
  }
  ReapOnExit(const ReapOnExit&) = delete;
  ReapOnExit& operator=(const ReapOnExit&) = delete;
  int wait() { return wait_child(std::exchange(pid_, -1)); }

 private:
  pid_t pid_;
};

// Reads both pipes until each reaches end of stream, polling so that a full
// pipe on one side never stalls the other.
void drain(UniqueFd& out_fd, std::string& out, UniqueFd& err_fd, std::string& err) {
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
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // cannot wait any more; the caller still reaps the child
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
}

}  // namespace

int wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

CapturedOutput run_captured(const std::string& program, const std::vector<std::string>& args) {
  Pipe out = make_pipe(program);
  Pipe err = make_pipe(program);
  FileActions actions;
  actions.open_null(STDIN_FILENO);
  actions.dup2(out.write.get(), STDOUT_FILENO);
  actions.dup2(err.write.get(), STDERR_FILENO);
  ReapOnExit child(spawn(program, args, actions));
  out.write.reset();
  err.write.reset();

  CapturedOutput result;
  try {
    drain(out.read, result.out, err.read, result.err);
  } catch (...) {
    // Close our ends before the child is reaped, so that a child blocked on
    // a full pipe gets an error and exits instead of waiting for ever.
    out.read.reset();
    err.read.reset();
    throw;
  }
  out.read.reset();
  err.read.reset();
  int status = child.wait();
  result.success = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

PipedChild start_piped(const std::string& program, const std::vector<std::string>& args) {
  Pipe in = make_pipe(program);
  Pipe out = make_pipe(program);
  Pipe err = make_pipe(program);
  FileActions actions;
  actions.dup2(in.read.get(), STDIN_FILENO);
  actions.dup2(out.write.get(), STDOUT_FILENO);
  actions.dup2(err.write.get(), STDERR_FILENO);
  PipedChild child;
  child.pid = spawn(program, args, actions);
  child.stdin_write = std::move(in.write);
  child.stdout_read = std::move(out.read);
  child.stderr_read = std::move(err.read);
  return child;
}

}  // namespace lumvex
