// Running host programs: a captured run (stdin from /dev/null, standard output
// and standard error collected in full, then waited for), and a piped start
// that leaves the child running with its three standard streams on pipes.
//
// Children are started with posix_spawnp, so starting one is safe in a
// multi-threaded process. Every pipe is created close-on-exec, so no pipe end
// leaks into another child. Each child starts with an empty signal mask and
// the default action for SIGPIPE, whatever the calling process has set.
//
// Both calls block (run_captured until the program exits); neither touches
// the Python interpreter, so callers may release its lock around them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "pool/unique_fd.hpp"

namespace lumvex {

struct CapturedOutput {
  bool success = false;  // exited normally with status 0
  std::string out;
  std::string err;
};

// Runs `program` (looked up on PATH) with `args` and waits for it. Throws
// InternalError "Failed to execute the command `<program>`: <description>"
// when the program cannot be started.
CapturedOutput run_captured(const std::string& program, const std::vector<std::string>& args);

// A running child whose standard streams are pipes held by the parent.
struct PipedChild {
  pid_t pid = -1;
  UniqueFd stdin_write;
  UniqueFd stdout_read;
  UniqueFd stderr_read;
};

// Starts `program` (looked up on PATH) with `args`, not waiting for it. Throws
// InternalError as run_captured does when it cannot be started.
PipedChild start_piped(const std::string& program, const std::vector<std::string>& args);

// Waits for `pid` to end (retrying on EINTR) and collects its status.
// Returns the raw wait status, or -1 if waitpid failed.
int wait_child(pid_t pid);

}  // namespace lumvex
