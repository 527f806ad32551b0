// Starting the session helper program (lumvex-session-helper, beside the
// extension module): the only way lumvex makes a process. The clone that
// makes it shares this process's memory only until it runs exec
// (sandbox/vfork_exec.hpp); the helper takes every further step in a
// process of its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"

namespace lumvex {

// Where the helper program is: beside the module (or the program) that
// holds this code, else where the build made it.
const std::string& helper_path();

// A helper just started, held through its process descriptor. It has no
// exit signal until it runs exec (then SIGCHLD, as the kernel gives every
// process that has run exec).
struct LaunchedHelper {
  pid_t pid = -1;
  UniqueFd pidfd;
};

// Ends a helper that must not outlive a scope: SIGKILL when the scope ends,
// then waits for it.
class HelperReaper {
 public:
  explicit HelperReaper(const LaunchedHelper& helper) : helper_(helper) {}
  ~HelperReaper();
  HelperReaper(const HelperReaper&) = delete;
  HelperReaper& operator=(const HelperReaper&) = delete;

 private:
  const LaunchedHelper& helper_;
};

// Starts the helper with `argv` and an empty environment, with the clone
// flags `extra_flags` (namespaces) and `control` at its descriptor 3 (none
// when negative), this thread's signals blocked meanwhile. The errno of a
// clone or exec that failed.
HostResult<LaunchedHelper> launch_helper(char* const* argv, std::uint64_t extra_flags, int control);

// Runs the helper with `args` (argv[0] first) and waits for it: its exit
// status, which the helper's kill and probe modes make 0 or an errno.
HostResult<int> run_helper(const std::vector<std::string>& args);

}  // namespace lumvex
