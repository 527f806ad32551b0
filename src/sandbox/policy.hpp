// SandboxPolicy: the walls of a pool's sessions, decided once when the pool
// is made from what was asked for and what the host offers.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "sandbox/cgroup.hpp"

namespace lumvex {

// What a pool's creator asks for; unset values take the defaults below.
struct WallRequest {
  std::optional<std::uint64_t> memory;  // bytes
  std::uint64_t processes = 512;
  std::optional<double> cpu;          // CPUs
  std::optional<std::uint64_t> disk;  // bytes
  bool network = true;                // false: a network of its own, loopback only
  // With `network` false: the network of its own has a way out, through a
  // user-space network stack on the host (pasta).
  bool outbound = false;
};

// Whether each wall is in force.
struct Walls {
  bool cgroup = false;     // the session's processes in control groups of their own
  bool memory = false;     // a memory cap
  bool processes = false;  // a cap on processes and threads
  bool cpu = false;        // a CPU cap
  bool disk = false;       // a bounded store for home, /tmp and /dev/shm
  bool network = false;    // a network namespace of its own
  bool tmp = false;        // private /tmp, /var/tmp, /run/lock, /dev/shm
  bool proc = false;       // a /proc that shows only the session's processes
  bool syscalls = false;   // a system-call filter on every program of the session
};

struct SandboxPolicy {
  Walls walls;
  CgroupPlan cgroups;
  CgroupLimits limits;  // what the control groups enforce
  std::uint64_t processes = 512;
  std::uint64_t disk = 0;  // the store's size, when walls.disk
  bool private_network = false;
  bool private_mounts = false;
  // The pasta program that gives a private network its way out; empty for
  // none (loopback only, or the host's network).
  std::string pasta;

  // The policy for `request` on this host. A wall asked for explicitly that
  // the host cannot give is an error text naming it; a default one that it
  // cannot give is simply not in force.
  static std::expected<SandboxPolicy, std::string> make(const WallRequest& request);
  // As make(), with what the host offers given (for tests): `pasta` is the
  // path of the host's pasta program, empty when it has none.
  static std::expected<SandboxPolicy, std::string> make(const WallRequest& request,
                                                        const CgroupHost& host, bool mounts,
                                                        std::uint64_t available_memory,
                                                        const std::string& pasta = {});
};

// The host's pasta program (from Debian's passt package): the first
// executable `pasta` on PATH or in the usual system directories; empty when
// there is none.
std::string find_pasta();

// The defaults: a quarter of the memory available to the calling process,
// and a store of at most 1 GiB (no larger than the memory cap).
inline constexpr std::uint64_t kDefaultDiskCap = std::uint64_t{1} << 30;

}  // namespace lumvex
