#include "sandbox/policy.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

#include "sandbox/mounts.hpp"

namespace lumvex {

std::expected<SandboxPolicy, std::string> SandboxPolicy::make(const WallRequest& request) {
  std::string pasta;
  if (request.outbound) {
    pasta = find_pasta();
  } else if (request.private_if_possible && ::access("/dev/net/tun", F_OK) == 0) {
    // pasta makes its tap device through the host's tun driver.
    pasta = find_pasta();
  }
  return make(request, CgroupHost::detect(), can_mount(), memory_available(), pasta,
              request.allow ? find_program("nft") : std::string());
}

std::string find_pasta() {
  return find_program("pasta");
}

std::string find_program(const std::string& name) {
  std::string dirs;
  if (const char* path = std::getenv("PATH")) dirs = path;
  dirs += ":/usr/bin:/usr/sbin:/usr/local/bin:/bin";
  std::size_t at = 0;
  while (at <= dirs.size()) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(at, end - at);
    at = end + 1;
    if (!dir.starts_with('/')) continue;  // only absolute places: the owner's cwd is no place
    const std::string candidate = dir + "/" + name;
    struct stat info{};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

std::expected<SandboxPolicy, std::string> SandboxPolicy::make(const WallRequest& request,
                                                              const CgroupHost& host, bool mounts,
                                                              std::uint64_t available_memory,
                                                              const std::string& pasta,
                                                              const std::string& nft) {
  if (request.private_if_possible && request.network && mounts && !pasta.empty()) {
    WallRequest chosen = request;
    chosen.private_if_possible = false;
    chosen.network = false;
    chosen.outbound = true;
    return make(chosen, host, mounts, available_memory, pasta, nft);
  }
  SandboxPolicy policy;
  policy.cgroups = CgroupPlan::choose(host);
  const CgroupPlan& plan = policy.cgroups;
  Walls& walls = policy.walls;
  walls.cgroup = plan.kill.has_value();

  const std::uint64_t default_memory = std::max<std::uint64_t>(available_memory / 4, 64 << 20);
  if (plan.memory && walls.cgroup) {
    walls.memory = true;
    policy.limits.memory = request.memory.value_or(default_memory);
  } else if (request.memory) {
    return std::unexpected(
        "memory: this host offers no memory control group to cap a session with");
  }

  policy.processes = request.processes;
  walls.processes = true;  // the account's process cap holds everywhere
  if (plan.pids && walls.cgroup) policy.limits.processes = request.processes;

  if (request.cpu) {
    if (!plan.cpu || !walls.cgroup) {
      return std::unexpected("cpu: this host offers no cpu control group to cap a session with");
    }
    walls.cpu = true;
    policy.limits.cpu = request.cpu;
  }

  policy.private_mounts = mounts;
  walls.tmp = mounts;
  walls.proc = mounts;
  // The filter is the helper's, for the architectures it knows.
#if defined(__x86_64__) || defined(__aarch64__)
  walls.syscalls = ::access("/proc/sys/kernel/seccomp/actions_avail", R_OK) == 0;
#endif
  if (mounts) {
    walls.disk = true;
    std::uint64_t cap = policy.limits.memory.value_or(default_memory);
    policy.disk = request.disk.value_or(std::min(kDefaultDiskCap, cap));
  } else if (request.disk) {
    return std::unexpected(
        "disk: this process may not mount the file systems that bound a session's files");
  }

  if (!request.network) {
    if (!mounts) {
      return std::unexpected("network: this process may not create a network namespace");
    }
    if (request.outbound) {
      if (pasta.empty()) {
        return std::unexpected(
            "network: this host has no pasta program (Debian package passt) to give a private "
            "network its way out");
      }
      policy.pasta = pasta;
    }
    walls.network = true;
    policy.private_network = true;
  }
  if (request.allow) {
    if (policy.pasta.empty()) {
      return std::unexpected("allow: an allow-list needs network=\"private\"");
    }
    if (nft.empty()) {
      return std::unexpected(
          "allow: this host has no nft program (Debian package nftables) to enforce an "
          "allow-list with");
    }
    std::vector<AllowEntry> entries;
    for (const std::string& text : *request.allow) {
      std::expected<AllowEntry, std::string> entry = parse_allow_entry(text);
      if (!entry) return std::unexpected("allow: " + entry.error());
      entries.push_back(std::move(*entry));
    }
    policy.allow = std::move(entries);
    policy.nft = nft;
  }
  return policy;
}

namespace {

bool is_host_name(std::string_view text) {
  if (text.empty() || text.size() > 253 || text.front() == '.' || text.front() == '-') {
    return false;
  }
  for (char c : text) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::expected<AllowEntry, std::string> parse_allow_entry(std::string_view text) {
  const std::string quoted = "\"" + std::string(text) + "\"";
  AllowEntry entry;
  std::string_view host = text;
  std::optional<std::string_view> port;
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return std::unexpected(quoted + " lacks its ']'");
    std::string_view rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::unexpected(quoted + " is not address:port");
      port = rest.substr(1);
    }
    entry.ipv6 = true;
  } else if (std::count(host.begin(), host.end(), ':') == 1) {
    const std::size_t colon = host.find(':');
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  } else if (host.find(':') != std::string_view::npos) {
    entry.ipv6 = true;  // a bare IPv6 address or range
  }
  if (port) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
    if (port->empty() || ec != std::errc() || end != port->data() + port->size() || value < 1 ||
        value > 65535) {
      return std::unexpected(quoted + " has no port from 1 to 65535");
    }
    entry.port = static_cast<std::uint16_t>(value);
  }
  if (const std::size_t slash = host.find('/'); slash != std::string_view::npos) {
    std::string_view bits = host.substr(slash + 1);
    int value = -1;
    auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), value);
    if (bits.empty() || ec != std::errc() || end != bits.data() + bits.size()) {
      return std::unexpected(quoted + " has no prefix length");
    }
    entry.prefix = value;
    host = host.substr(0, slash);
  }
  entry.address = std::string(host);
  unsigned char bytes[16];
  if (::inet_pton(AF_INET6, entry.address.c_str(), bytes) == 1) {
    entry.ipv6 = true;
  } else if (!entry.ipv6 && ::inet_pton(AF_INET, entry.address.c_str(), bytes) == 1) {
    entry.ipv6 = false;
  } else if (!entry.ipv6 && entry.prefix < 0 && is_host_name(entry.address) &&
             !std::all_of(
                 entry.address.begin(), entry.address.end(),
                 [](char c) { return c == '.' || (c >= '0' && c <= '9'); })) {
    entry.name = true;
  } else {
    return std::unexpected(quoted + " is no address, range or host name");
  }
  if (entry.prefix > (entry.ipv6 ? 128 : 32)) {
    return std::unexpected(quoted + " has a prefix length out of range");
  }
  return entry;
}

std::string firewall_rules(const std::vector<AllowEntry>& entries,
                           const std::vector<std::vector<std::string>>& addresses) {
  std::string rules =
      "table inet lumvex {\n"
      "  chain out {\n"
      "    type filter hook output priority 0; policy accept;\n"
      "    oif lo accept\n";
  auto allow = [&](const std::string& address, int prefix, const AllowEntry& entry) {
    const bool v6 = address.find(':') != std::string::npos;
    rules += std::string("    ") + (v6 ? "ip6" : "ip") + " daddr " + address;
    if (prefix >= 0) rules += "/" + std::to_string(prefix);
    if (entry.port != 0) {
      rules += " meta l4proto { tcp, udp } th dport " + std::to_string(entry.port);
    }
    rules += " accept\n";
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const AllowEntry& entry = entries[i];
    if (!entry.name) {
      allow(entry.address, entry.prefix, entry);
    } else if (i < addresses.size()) {
      for (const std::string& address : addresses[i]) allow(address, -1, entry);
    }
  }
  rules +=
      "    meta l4proto tcp reject with tcp reset\n"
      "    reject with icmpx type admin-prohibited\n"
      "  }\n"
      "}\n";
  return rules;
}

}  // namespace lumvex
