// SandboxPolicy: the walls of a pool's sessions, decided once when the pool
// is made from what was asked for and what the host offers.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // Nothing asked of the network: a private one with a way out (as with
  // `network` false and `outbound`) where the host can give it, else the
  // host's (`network` true).
  bool private_if_possible = false;
  // With `outbound`: the only destinations outside the session that it may
  // reach, each an address, a CIDR range or a host name, with an optional
  // port ("192.0.2.7", "10.0.0.0/8:443", "[2001:db8::1]:53",
  // "pypi.org:443"); absent: everywhere.
  std::optional<std::vector<std::string>> allow;
};

// One destination of an allow-list: an address or range (`address` with its
// prefix length), or a host name to resolve when a session starts; any port
// when `port` is 0.
struct AllowEntry {
  std::string address;  // an IPv4 or IPv6 address, or a host name
  int prefix = -1;      // CIDR prefix length; -1: the whole address
  bool ipv6 = false;
  bool name = false;  // `address` is a host name
  std::uint16_t port = 0;

  friend bool operator==(const AllowEntry&, const AllowEntry&) = default;
};

// Parses one allow-list entry; an error text (naming it) when it is none.
std::expected<AllowEntry, std::string> parse_allow_entry(std::string_view text);

// The firewall of a session's private network (nftables' language, for
// `nft -f`): every packet leaving it but over loopback goes only to the
// entries (`addresses` gives each name's addresses, as resolved); the rest
// is refused at once (TCP with a reset, anything else with an ICMP error).
std::string firewall_rules(const std::vector<AllowEntry>& entries,
                           const std::vector<std::vector<std::string>>& addresses);

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
  // With an allow-list: its entries, and the nft program that applies them
  // in the session's network namespace.
  std::optional<std::vector<AllowEntry>> allow;
  std::string nft;

  // The policy for `request` on this host. A wall asked for explicitly that
  // the host cannot give is an error text naming it; a default one that it
  // cannot give is simply not in force.
  static std::expected<SandboxPolicy, std::string> make(const WallRequest& request);
  // As make(), with what the host offers given (for tests): `pasta` is the
  // path of the host's pasta program, empty when it has none.
  static std::expected<SandboxPolicy, std::string> make(const WallRequest& request,
                                                        const CgroupHost& host, bool mounts,
                                                        std::uint64_t available_memory,
                                                        const std::string& pasta = {},
                                                        const std::string& nft = {});
};

// The host's pasta program (from Debian's passt package): the first
// executable `pasta` on PATH or in the usual system directories; empty when
// there is none.
std::string find_pasta();
// The host's program `name`, found as find_pasta() finds pasta.
std::string find_program(const std::string& name);

// The defaults: a quarter of the memory available to the calling process,
// and a store of at most 1 GiB (no larger than the memory cap).
inline constexpr std::uint64_t kDefaultDiskCap = std::uint64_t{1} << 30;

}  // namespace lumvex
