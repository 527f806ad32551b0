// Control groups for sessions: what the host offers (cgroup v2, v1
// hierarchies, or both as on hosts that mount v1 controllers beside an empty
// v2 hierarchy), and one session's groups: made with its limits before its
// first process starts, ended at once (v2: cgroup.kill; v1: freeze, kill,
// thaw), read for usage, removed after close.
//
// A session's groups are <hierarchy>/lumvex/<account> in every hierarchy
// the plan uses. Its processes live in leaves of the "kill" hierarchy (the
// shell in "shell", commands in leaves of their own), so that one command's
// processes can be ended without the shell's, and its figures read apart.
// In v1 the memory hierarchy (when it accounts hierarchically) and the
// hierarchy that counts CPU time have the same leaves, for the same
// figures; in the other v1 hierarchies processes join the session's group
// itself. The session's limits stay on the session's group, which its
// leaves share. The files are root's, so nothing the account runs can leave
// its groups or change their limits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"
#include "sandbox/child_plan.hpp"

namespace lumvex {

// The mount points of the control-group hierarchies that this process may
// write to.
struct CgroupHost {
  std::optional<std::string> v2;  // a cgroup2 mount offering cgroup.kill
  std::string v2_controllers;     // what its root offers ("memory pids cpu ...")
  std::optional<std::string> memory, pids, cpu, cpuacct, freezer;  // v1 mounts

  // From /proc/self/mountinfo (and the hierarchies' own files).
  static CgroupHost detect();
  // From the text of a mountinfo file alone (nothing is checked on disk).
  static CgroupHost parse(std::string_view mountinfo);
};

// A hierarchy used for one job.
struct Hierarchy {
  std::string root;  // its mount point
  bool v2 = false;

  friend bool operator==(const Hierarchy&, const Hierarchy&) = default;
};

// Which hierarchy does what for a pool's sessions; unset ones are not
// available on the host.
struct CgroupPlan {
  std::optional<Hierarchy> kill;  // membership, ending and counting processes
  std::optional<Hierarchy> memory, pids, cpu, cpu_usage;

  // v2 where it offers the controller, else v1.
  static CgroupPlan choose(const CgroupHost& host);
  // Every distinct hierarchy of the plan.
  std::vector<Hierarchy> hierarchies() const;
};

struct CgroupLimits {
  std::optional<std::uint64_t> memory;     // bytes, swap included where accounted
  std::optional<std::uint64_t> processes;  // processes and threads at once
  std::optional<double> cpu;               // CPUs
};

struct SessionUsage {
  std::uint64_t memory_peak = 0;
  std::uint64_t oom_kills = 0;
  double cpu_seconds = 0;
  std::uint64_t processes = 0;
};

// The figures of one leaf (one command): zeros where the host cannot tell
// them apart from the session's.
struct LeafUsage {
  std::uint64_t memory_peak = 0;  // bytes
  std::uint64_t oom_kills = 0;    // its processes the kernel ended for want of memory
  double cpu_seconds = 0;
};

// What a new process needs to join a session's groups: it is born in the v2
// leaf (or joins it itself), and, single-threaded, moves its own thread into
// each v1 group through `tasks`, which unlike cgroup.procs does not wait for
// an RCU grace period.
struct CgroupJoin {
  UniqueFd v2_dir;
  UniqueFd v2_procs;
  std::vector<UniqueFd> v1_tasks;

  // Adds the joins to `plan` (the descriptors must outlive the start).
  void add_to(ChildPlan& plan) const;
};

class SessionCgroup {
 public:
  using Clock = std::chrono::steady_clock;

  SessionCgroup() = default;
  SessionCgroup(SessionCgroup&&) noexcept = default;
  SessionCgroup& operator=(SessionCgroup&&) noexcept = default;

  // Makes the session's groups for account `name` with `limits`, after
  // ending and removing what an earlier holder of the account left there.
  // Returns an empty group (no hierarchy) when the plan has none.
  static HostResult<SessionCgroup> create(const CgroupPlan& plan, const std::string& name,
                                          const CgroupLimits& limits, Clock::time_point deadline);

  bool active() const { return !dirs_.empty(); }

  // Makes the leaf `leaf` and opens what a new process needs to join the
  // session there.
  HostResult<CgroupJoin> join(std::string_view leaf) const;

  // Ends every process of the session (or of leaf `leaf` alone) and waits
  // until none is left.
  HostResult<void> kill(Clock::time_point deadline, std::string_view leaf = {}) const;

  // The figures of leaf `leaf` now (a few small files read; zeros for what
  // is not there).
  LeafUsage leaf_usage(std::string_view leaf) const;

  // Removes the leaf `leaf` (its processes must have ended). `oom_kills` is
  // what its figures counted last: where the session's own count does not
  // include its leaves' (v1), it is kept for the session's figures.
  HostResult<void> remove_leaf(std::string_view leaf, Clock::time_point deadline,
                               std::uint64_t oom_kills = 0) const;

  // Removes every group of the session (its processes must have ended).
  HostResult<void> remove(Clock::time_point deadline);

  // The session's group in each hierarchy (<root>/lumvex/<name>).
  std::vector<std::string> paths() const;

  // The session's figures now (memory peak, OOM kills, CPU time, processes).
  SessionUsage usage() const;

 private:
  struct Dir {
    Hierarchy hierarchy;
    std::string path;  // <root>/lumvex/<name>
  };

  const Dir* find(const std::optional<Hierarchy>& hierarchy) const;
  // Whether processes join leaves in this hierarchy (else the session's
  // group).
  bool has_leaves(const Hierarchy& hierarchy) const;

  std::optional<Hierarchy> kill_;
  std::optional<Hierarchy> memory_, cpu_usage_;
  std::vector<Dir> dirs_;
  // The memory figures can be read per leaf: v2 with the memory controller
  // given to the leaves, or v1 accounting hierarchically.
  bool memory_leaves_ = false;
  // OOM kills counted by v1 memory leaves already removed.
  std::unique_ptr<std::atomic<std::uint64_t>> removed_oom_kills_;
};

// Bytes of memory available to this process: the host's RAM, or the limit
// of its own control group (or an ancestor's) when that is smaller.
std::uint64_t memory_available();

}  // namespace lumvex
