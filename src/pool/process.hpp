// Running host programs: a captured run (stdin from /dev/null, standard output
// and standard error collected in full, then waited for), and a piped start
// that leaves the child running with its three standard streams on pipes.
//
// Every child is the session helper program (lumvex-session-helper, beside
// the extension module), started by a clone with CLONE_PIDFD that shares
// this process's memory only until it runs exec (sandbox/vfork_exec.hpp). So
// it is held through a process descriptor from the moment it exists: it is
// signalled and waited for through that descriptor, never by a process id
// that may have been reused once something else reaped the child. The
// helper gets its plan (namespaces, control groups, mounts, ids, the
// program) over a socket, takes the steps in a process of its own and runs
// the program, or says why it could not.
//
// A program inherits nothing but its three standard streams: every other
// descriptor is closed before it runs, whatever the parent left
// inheritable. It starts with an empty signal mask and default signal
// actions, whatever the calling process has set.
//
// Nothing here touches the Python interpreter, so callers may release its
// lock around every call.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"
#include "error/internal_error.hpp"
#include "sandbox/child_plan.hpp"

namespace lumvex {

// A child process held through its process descriptor. Destroying one that
// has not been reaped kills it (SIGKILL) and reaps it.
//
// A session's helper is not this process's child but its grandchild (its
// parent, the helper started here, hands it over and exits), so that no
// wait for any child made elsewhere in the process ever waits for it or
// takes it: it is held as an adopted process, whose end is seen on its
// descriptor and whose status nobody here collects (the host's init reaps
// it).
//
// Children are made without an exit signal (no SIGCHLD): the kernel then
// counts them as "clone" children, which a waitpid(-1) or os.wait() made
// elsewhere in the process does not reap, so no other code can take a
// child's status (or, for a session, end it early).
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(pid_t pid, UniqueFd pidfd, bool adopted = false)
      : pid_(pid), pidfd_(std::move(pidfd)), adopted_(adopted) {}
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Closes the process descriptor without ending or reaping the child (in a
  // forked copy of the parent, whose child it is not).
  void abandon() { pidfd_.reset(); }

  // Process id while not reaped, -1 afterwards.
  pid_t pid() const { return pidfd_ ? pid_ : -1; }
  bool reaped() const { return !pidfd_; }
  // The process descriptor (readable once the child has ended), -1 once
  // reaped.
  int fd() const { return pidfd_.get(); }

  // Sends `signal`. Returns 0, or the errno of the failure: ESRCH once the
  // child has ended (also when something else has reaped it).
  int send(int signal) const;

  // Waits until the child ends or `deadline` passes, and reaps it. Returns
  // false only when the deadline passed first. A child that something else
  // reaped counts as ended (its status is unknown: -1).
  bool wait_until(std::chrono::steady_clock::time_point deadline);

  // Waits for the child to end and reaps it. Returns its raw wait status,
  // -1 when something else reaped it.
  int wait();

  // Raw wait status of the reaped child (-1 when unknown or not yet reaped).
  int status() const { return status_; }

 private:
  // Collects the status of an ended child; `options` adds WNOHANG.
  bool reap(int options);

  pid_t pid_ = -1;
  UniqueFd pidfd_;  // empty once reaped
  int status_ = -1;
  bool adopted_ = false;  // not this process's child: see above
};

struct SpawnOptions {
  // Descriptors that become the child's standard input, output and error.
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  // "NAME=value" entries of the child's environment; the calling process's
  // environment when absent.
  std::optional<std::vector<std::string>> environment;
  // Caps the processes of the child's real user (RLIMIT_NPROC, soft and
  // hard), for the child and everything it starts.
  std::optional<rlim_t> process_limit;
  // Namespaces to create and steps to take before the program runs (see
  // ChildPlan); it must outlive the call. With `plan->stay`, the child is
  // the helper, which stays as the program's parent and the reaper of its
  // namespaces; when the plan enters a process namespace, the helper is the
  // program's parent too, and ends as the program ends.
  const ChildPlan* plan = nullptr;
  // Where to put the program's process id (as this process sees it), which
  // differs from the child's when the helper stays its parent.
  pid_t* program_pid = nullptr;
  // Set: the program is the helper's own transfer (`program` its mode,
  // `args` its arguments; session_helper/transfer.hpp), run with the plan's
  // ids and walls.
  bool transfer = false;
};

// A program that the helper could not start (`error` is the errno of the
// step that failed: a full process cap, a missing program, ...).
class ProgramStartError : public InternalError {
 public:
  ProgramStartError(const std::string& what, int error) : InternalError(what), error_(error) {}
  int error() const { return error_; }

 private:
  int error_;
};

// The same, when the step was entering the program's working directory.
class WorkdirError : public ProgramStartError {
 public:
  using ProgramStartError::ProgramStartError;
};

// Starts `program` (looked up on PATH as execvp does) with `args`. Throws
// InternalError "Failed to execute the command `<program>`: <description>"
// when it cannot be started: WorkdirError when the plan's working directory
// is the cause, ProgramStartError when the helper ran but the program's own
// start failed.
ChildProcess spawn(const std::string& program, const std::vector<std::string>& args,
                   const SpawnOptions& options);

struct CapturedOutput {
  bool success = false;  // exited normally with status 0
  std::string out;
  std::string err;
};

// How long a captured run may take.
inline constexpr std::chrono::seconds kCapturedTimeout{30};

// Runs `program` with `args` in the calling process's environment and waits
// for it, at most `timeout`. Throws as spawn() does, and InternalError when
// the program has not finished in time (it is killed then).
CapturedOutput run_captured(const std::string& program, const std::vector<std::string>& args,
                            std::chrono::steady_clock::duration timeout = kCapturedTimeout);

// A running child whose standard streams are pipes held by the parent. The
// parent's ends are close-on-exec and non-blocking.
struct PipedChild {
  ChildProcess process;
  UniqueFd stdin_write;
  UniqueFd stdout_read;
  UniqueFd stderr_read;
};

// Starts `program` with `args` and `options` (whose descriptors are
// replaced by the pipes; without `with_input`, standard input is /dev/null
// and stdin_write is empty), not waiting for it. Throws as spawn() does.
PipedChild start_piped(const std::string& program, const std::vector<std::string>& args,
                       SpawnOptions options, bool with_input = true);

}  // namespace lumvex
