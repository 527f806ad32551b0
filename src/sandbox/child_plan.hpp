// ChildPlan: the steps a new child process takes, as raw system calls,
// between its creation and the program it runs: joining control groups,
// entering namespaces, mounting, switching to an account. Everything a step
// needs (paths, option texts, descriptors) is prepared by the parent before
// the child exists, because the child shares the parent's memory until the
// program starts and may neither allocate nor take a lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace lumvex {

struct ChildStep {
  enum Kind : int {
    kWrite,         // write `text` to descriptor `fd` (joining a control group: "0")
    kMount,         // mount(source, target, fstype, flags, data)
    kNosuidAll,     // every mount from "/" down becomes nosuid (mount_setattr)
    kLoopbackUp,    // bring the interface "lo" up
    kSetns,         // setns(fd, flags)
    kOptionalMount  // as kMount, but a missing target is skipped
  };
  Kind kind = kWrite;
  int fd = -1;
  const char* text = nullptr;
  const char* source = nullptr;
  const char* target = nullptr;
  const char* fstype = nullptr;
  unsigned long flags = 0;
  const char* data = nullptr;
};

class ChildPlan {
 public:
  // Namespaces the child is created in (CLONE_NEW* flags).
  int clone_flags = 0;
  // A cgroup v2 directory the child is born in (CLONE_INTO_CGROUP), and its
  // cgroup.procs, which the child writes "0" into itself where clone3 is
  // missing; -1 for none.
  int cgroup_dir = -1;
  int cgroup_procs = -1;
  // cgroup v1 `tasks` files that the process that runs the program writes
  // "0" into (single-threaded, it moves its one thread, which does not wait
  // for an RCU grace period as moving through cgroup.procs does).
  std::vector<int> join_tasks;
  std::vector<ChildStep> steps;
  // Set: the child and everything it runs can never gain privileges
  // (set-uid bits and file capabilities are ignored).
  bool no_new_privs = false;
  // Set: the program runs in a child of the child (made with CLONE_PARENT,
  // so it is still the caller's child), which is what puts it inside a
  // process namespace that a kSetns step entered.
  bool fork_into_namespace = false;
  // Set: the program starts a session of its own (no controlling terminal,
  // a process group of its own).
  bool new_session = false;
  // Working directory and file-creation mask the program starts with; the
  // directory is entered with the credentials below, so it must be one the
  // account may enter.
  const char* workdir = nullptr;
  int umask = -1;
  // Credentials to switch to before the program runs (as the account
  // itself: supplementary groups dropped, group and user set); -1 keeps the
  // caller's.
  long uid = -1;
  long gid = -1;

  // A stable copy of `text` whose pointer lives as long as the plan.
  const char* keep(std::string text) { return strings_.emplace_back(std::move(text)).c_str(); }

 private:
  std::deque<std::string> strings_;  // a deque: pointers stay valid as it grows
};

}  // namespace lumvex
