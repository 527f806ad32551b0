#include "sandbox/policy.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>

#include "sandbox/mounts.hpp"

namespace lumvex {

std::expected<SandboxPolicy, std::string> SandboxPolicy::make(const WallRequest& request) {
  return make(request, CgroupHost::detect(), can_mount(), memory_available(),
              request.outbound ? find_pasta() : std::string());
}

std::string find_pasta() {
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
    const std::string candidate = dir + "/pasta";
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
                                                              const std::string& pasta) {
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
  return policy;
}

}  // namespace lumvex
