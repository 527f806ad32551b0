// ChildPlan: the steps a new process takes between its creation and the
// program it runs: joining control groups, entering namespaces, mounting,
// switching to an account. The session helper program takes them, in a
// process of its own (see pool/process.hpp); the plan names the
// descriptors that the helper receives along with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace lumvex {

struct ChildStep {
  enum Kind : int {
    kMount,          // mount(source, target, fstype, flags, data)
    kOptionalMount,  // as kMount, but a missing target is skipped
    kNosuidAll,      // every mount from `target` down becomes nosuid (mount_setattr)
    kLoopbackUp,     // bring the interface "lo" up
    kSetns,          // setns(fd, flags): fd a namespace or process descriptor
    kDetachOthers,   // detach every mount below `target` but those of account `source`
    kMakeDir,        // mkdir(target, flags as the mode); one that exists is fine
    kMinimalDev,     // a new /dev at `target`: the safe devices, its own pseudo-terminals
    kAttachTree,     // attach the detached mount tree `fd` (open_tree) at `target`
    kWriteFile       // a new file at `target` (mode `flags`, no link followed) holding `data`
  };
  Kind kind = kMount;
  int fd = -1;
  const char* source = nullptr;
  const char* target = nullptr;
  const char* fstype = nullptr;
  unsigned long flags = 0;
  const char* data = nullptr;
};

class ChildPlan {
 public:
  // Namespaces the helper is created in (CLONE_NEW* flags); it is their
  // first process.
  int clone_flags = 0;
  // A mount namespace (descriptor) that the helper enters before it makes
  // its own, so that its mount table is a copy of that one rather than of
  // this process's; -1 for none.
  int base_mounts = -1;
  // A network namespace (descriptor) that the helper enters in place of
  // making one (with CLONE_NEWNET in clone_flags): a private network made
  // ahead, already joined to the outside; -1 for none.
  int network = -1;
  // A cgroup v2 directory the program is born in (CLONE_INTO_CGROUP), and
  // its cgroup.procs, which the program writes "0" into itself where clone3
  // is refused; -1 for none.
  int cgroup_dir = -1;
  int cgroup_procs = -1;
  // cgroup v1 `tasks` files that the program's process writes "0" into
  // (single-threaded, it moves its one thread, which does not wait for an
  // RCU grace period as moving through cgroup.procs does).
  std::vector<int> join_tasks;
  std::vector<ChildStep> steps;
  // Set: the program and everything it runs can never gain privileges
  // (set-uid bits and file capabilities are ignored).
  bool no_new_privs = false;
  // Set: the program starts a session of its own (no controlling terminal,
  // a process group of its own).
  bool new_session = false;
  // Set with new_session: the program's standard input (a terminal) becomes
  // the controlling terminal of that session.
  bool controlling_terminal = false;
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

  // Set: the helper stays as the first process of its namespaces, the
  // reaper of everything the program leaves, for as long as it lives; it
  // ends the session when the process of `lifeline` (a process descriptor
  // of the owner) ends: every process of the session, with SIGKILL, and the
  // control groups of `cleanup` (their paths, each a directory in root's own
  // hierarchy), and, with `kill_uid`, everything that account may signal.
  bool stay = false;
  // The program runs under the session's system-call filter
  // (session_helper/syscall_filter.hpp).
  bool syscall_filter = false;
  // The account whose kernel keyrings (user and user-session) a staying
  // helper clears before the program starts and when the owner dies; with
  // it, the program starts with a session keyring of its own. -1: none.
  long keyring_uid = -1;
  int lifeline = -1;
  // The account's host-wide claim (a locked file), held by a staying helper
  // for as long as it lives, so that the claim outlasts a killed owner
  // until the session's processes and control groups are gone; -1: none.
  int claim = -1;
  std::vector<std::string> cleanup;
  long kill_uid = -1;
  // For a staying helper with a network namespace of its own: the pasta
  // program that connects that namespace to the outside through the host's
  // sockets (started by the helper, it ends with the session's processes).
  const char* pasta = nullptr;
  // With pasta: the nft program and the rules (for `nft -f`) that the helper
  // applies in the new network namespace before anything of the session runs.
  const char* nft = nullptr;
  const char* firewall = nullptr;

  // A stable copy of `text` whose pointer lives as long as the plan.
  const char* keep(std::string text) { return strings_.emplace_back(std::move(text)).c_str(); }

 private:
  std::deque<std::string> strings_;  // a deque: pointers stay valid as it grows
};

}  // namespace lumvex
