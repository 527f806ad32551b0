#include "sandbox/cgroup.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include "base/poll_until.hpp"
#include "sandbox/host_text.hpp"

namespace lumvex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kGroupName = "lumvex";
constexpr std::uint64_t kCpuPeriodMicros = 100000;

// Undoes the octal escapes (\040 for a blank) of a mountinfo field.
std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

bool has_word(std::string_view words, std::string_view word) {
  for (std::string_view part : split(words, ' ')) {
    if (part == word) return true;
  }
  return false;
}

bool writable_dir(const std::optional<std::string>& path) {
  return path && ::access(path->c_str(), W_OK) == 0;
}

HostResult<void> make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return host_error("create " + path);
  return {};
}

// Removes the group `path` once the kernel lets it go (a group whose last
// process has just ended may still be busy for a moment).
HostResult<void> remove_dir(const std::string& path, Clock::time_point deadline) {
  int error = 0;
  bool gone = poll_until(
      [&] {
        if (::rmdir(path.c_str()) == 0 || errno == ENOENT) return true;
        error = errno;
        return error != EBUSY ? true : false;
      },
      deadline);
  if (!gone || (error != 0 && error != EBUSY && ::access(path.c_str(), F_OK) == 0)) {
    return host_error("remove " + path, error != 0 ? error : EBUSY);
  }
  return {};
}

// Names of the child groups of `path`.
HostResult<std::vector<std::string>> child_groups(const std::string& path) {
  UniqueDir dir(::opendir(path.c_str()));
  if (!dir) {
    if (errno == ENOENT) return std::vector<std::string>{};
    return host_error("list " + path);
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string_view name(entry->d_name);
    if (entry->d_type == DT_DIR && name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

// Process ids listed in <group>/cgroup.procs.
HostResult<std::vector<pid_t>> group_processes(const std::string& group) {
  HostResult<std::string> text = read_text(group + "/cgroup.procs");
  if (!text) return std::unexpected(text.error());
  std::vector<pid_t> pids;
  for (std::string_view line : split(*text, '\n')) {
    pid_t pid = 0;
    if (!line.empty() &&
        std::from_chars(line.data(), line.data() + line.size(), pid).ec == std::errc()) {
      pids.push_back(pid);
    }
  }
  return pids;
}

// The value after `key` and a blank in a "key value" per line text.
std::optional<std::uint64_t> keyed_value(std::string_view text, std::string_view key) {
  for (std::string_view line : split(text, '\n')) {
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ') {
      std::uint64_t value = 0;
      line.remove_prefix(key.size() + 1);
      if (std::from_chars(line.data(), line.data() + line.size(), value).ec == std::errc()) {
        return value;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> number_in(const std::string& path) {
  HostResult<std::string> text = read_text(path);
  if (!text) return std::nullopt;
  std::uint64_t value = 0;
  if (std::from_chars(text->data(), text->data() + text->size(), value).ec != std::errc()) {
    return std::nullopt;
  }
  return value;
}

// The memory figures of the group `group`: its peak and the kills of its
// processes for want of memory.
void read_memory(const std::string& group, bool v2, std::uint64_t& peak, std::uint64_t& oom_kills) {
  if (v2) {
    peak = number_in(group + "/memory.peak").value_or(0);
    if (auto events = read_text(group + "/memory.events")) {
      oom_kills = keyed_value(*events, "oom_kill").value_or(0);
    }
  } else {
    peak = number_in(group + "/memory.max_usage_in_bytes").value_or(0);
    if (auto control = read_text(group + "/memory.oom_control")) {
      oom_kills = keyed_value(*control, "oom_kill").value_or(0);
    }
  }
}

// CPU time (user and system) of the group `group`, in seconds.
double read_cpu(const std::string& group, bool v2) {
  if (v2) {
    if (auto stat = read_text(group + "/cpu.stat")) {
      return static_cast<double>(keyed_value(*stat, "usage_usec").value_or(0)) / 1e6;
    }
    return 0;
  }
  return static_cast<double>(number_in(group + "/cpuacct.usage").value_or(0)) / 1e9;
}

}  // namespace

CgroupHost CgroupHost::parse(std::string_view mountinfo) {
  CgroupHost host;
  for (std::string_view line : split(mountinfo, '\n')) {
    std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    std::vector<std::string_view> fields = split(line.substr(0, dash), ' ');
    std::vector<std::string_view> tail = split(line.substr(dash + 3), ' ');
    if (fields.size() < 5 || tail.size() < 3) continue;
    std::string point = unescape(fields[4]);
    if (tail[0] == "cgroup2") {
      if (!host.v2) host.v2 = point;
      continue;
    }
    if (tail[0] != "cgroup") continue;
    for (std::string_view option : split(tail[2], ',')) {
      if (option == "memory" && !host.memory) host.memory = point;
      if (option == "pids" && !host.pids) host.pids = point;
      if (option == "cpu" && !host.cpu) host.cpu = point;
      if (option == "cpuacct" && !host.cpuacct) host.cpuacct = point;
      if (option == "freezer" && !host.freezer) host.freezer = point;
    }
  }
  return host;
}

CgroupHost CgroupHost::detect() {
  HostResult<std::string> mountinfo = read_text("/proc/self/mountinfo");
  CgroupHost host = parse(mountinfo ? *mountinfo : std::string());
  for (std::optional<std::string>* path :
       {&host.v2, &host.memory, &host.pids, &host.cpu, &host.cpuacct, &host.freezer}) {
    if (!writable_dir(*path)) path->reset();
  }
  if (host.v2) {
    HostResult<std::string> controllers = read_text(*host.v2 + "/cgroup.controllers");
    if (controllers) {
      host.v2_controllers = *controllers;
      while (!host.v2_controllers.empty() && host.v2_controllers.back() == '\n') {
        host.v2_controllers.pop_back();
      }
    }
  }
  return host;
}

CgroupPlan CgroupPlan::choose(const CgroupHost& host) {
  CgroupPlan plan;
  std::optional<Hierarchy> v2;
  if (host.v2) v2 = Hierarchy{*host.v2, true};
  auto pick = [&](std::string_view controller, const std::optional<std::string>& v1) {
    std::optional<Hierarchy> chosen;
    if (v2 && has_word(host.v2_controllers, controller)) {
      chosen = v2;
    } else if (v1) {
      chosen = Hierarchy{*v1, false};
    }
    return chosen;
  };
  plan.kill =
      v2 ? v2 : (host.freezer ? std::optional(Hierarchy{*host.freezer, false}) : std::nullopt);
  plan.memory = pick("memory", host.memory);
  plan.pids = pick("pids", host.pids);
  plan.cpu = pick("cpu", host.cpu);
  if (v2) {
    plan.cpu_usage = v2;  // cpu.stat is there whatever the controllers
  } else if (host.cpuacct) {
    plan.cpu_usage = Hierarchy{*host.cpuacct, false};
  }
  return plan;
}

std::vector<Hierarchy> CgroupPlan::hierarchies() const {
  std::vector<Hierarchy> all;
  for (const std::optional<Hierarchy>* h : {&kill, &memory, &pids, &cpu, &cpu_usage}) {
    if (*h && std::find(all.begin(), all.end(), **h) == all.end()) all.push_back(**h);
  }
  return all;
}

const SessionCgroup::Dir* SessionCgroup::find(const std::optional<Hierarchy>& hierarchy) const {
  if (!hierarchy) return nullptr;
  for (const Dir& dir : dirs_) {
    if (dir.hierarchy == *hierarchy) return &dir;
  }
  return nullptr;
}

HostResult<SessionCgroup> SessionCgroup::create(const CgroupPlan& plan, const std::string& name,
                                                const CgroupLimits& limits,
                                                Clock::time_point deadline) {
  SessionCgroup group;
  group.kill_ = plan.kill;
  group.memory_ = plan.memory;
  group.cpu_usage_ = plan.cpu_usage;
  for (const Hierarchy& h : plan.hierarchies()) {
    group.dirs_.push_back(Dir{h, h.root + "/" + std::string(kGroupName) + "/" + name});
  }
  if (group.dirs_.empty()) return group;

  // Whatever an earlier holder of the account left goes first.
  {
    SessionCgroup stale;
    stale.kill_ = plan.kill;
    for (const Dir& dir : group.dirs_) {
      if (::access(dir.path.c_str(), F_OK) == 0) stale.dirs_.push_back(dir);
    }
    if (!stale.dirs_.empty()) {
      if (auto killed = stale.kill(deadline); !killed) return std::unexpected(killed.error());
      if (auto removed = stale.remove(deadline); !removed) return std::unexpected(removed.error());
    }
  }

  for (const Dir& dir : group.dirs_) {
    const std::string base = dir.hierarchy.root + "/" + std::string(kGroupName);
    if (auto made = make_dir(base); !made) return std::unexpected(made.error());
    if (dir.hierarchy.v2) {
      // The v2 controllers this plan uses are enabled for lumvex's groups.
      for (const auto& [controller, used] : {std::pair{"memory", plan.memory == dir.hierarchy},
                                             std::pair{"pids", plan.pids == dir.hierarchy},
                                             std::pair{"cpu", plan.cpu == dir.hierarchy}}) {
        if (!used) continue;
        const std::string enable = std::string("+") + controller;
        for (const std::string& parent : {dir.hierarchy.root, base}) {
          HostResult<std::string> now = read_text(parent + "/cgroup.subtree_control");
          if (now && has_word(*now, controller)) continue;
          if (auto written = write_text(parent + "/cgroup.subtree_control", enable); !written) {
            return std::unexpected(written.error());
          }
        }
      }
    }
    if (auto made = make_dir(dir.path); !made) return std::unexpected(made.error());
  }

  // Memory figures per leaf: in v2 the leaves get the memory controller (the
  // session's group holds no process itself); v1 needs hierarchical
  // accounting, without which a leaf would escape the session's cap.
  group.removed_oom_kills_ = std::make_unique<std::atomic<std::uint64_t>>(0);
  if (const Dir* dir = group.find(plan.memory)) {
    if (dir->hierarchy.v2) {
      group.memory_leaves_ =
          plan.kill == dir->hierarchy &&
          write_text(dir->path + "/cgroup.subtree_control", "+memory").has_value();
    } else {
      const std::string file = dir->path + "/memory.use_hierarchy";
      if (number_in(file) != 1u) {
        // Refused where the parent does not account so: no leaves then.
        [[maybe_unused]] HostResult<void> enabled = write_text(file, "1");
      }
      group.memory_leaves_ = number_in(file) == 1u;
    }
  }

  auto set = [&](const std::optional<Hierarchy>& h, const std::string& file,
                 const std::string& value) -> HostResult<void> {
    const Dir* dir = group.find(h);
    if (dir == nullptr) return host_error("no hierarchy for " + file, ENOENT);
    return write_text(dir->path + "/" + file, value);
  };
  if (limits.memory) {
    const std::string bytes = std::to_string(*limits.memory);
    const Dir* dir = group.find(plan.memory);
    if (dir == nullptr) return host_error("no memory control group", ENOENT);
    if (plan.memory->v2) {
      if (auto r = set(plan.memory, "memory.max", bytes); !r) return std::unexpected(r.error());
      if (::access((dir->path + "/memory.swap.max").c_str(), F_OK) == 0) {
        if (auto r = set(plan.memory, "memory.swap.max", "0"); !r)
          return std::unexpected(r.error());
      }
    } else {
      if (auto r = set(plan.memory, "memory.limit_in_bytes", bytes); !r) {
        return std::unexpected(r.error());
      }
      if (::access((dir->path + "/memory.memsw.limit_in_bytes").c_str(), F_OK) == 0) {
        if (auto r = set(plan.memory, "memory.memsw.limit_in_bytes", bytes); !r) {
          return std::unexpected(r.error());
        }
      }
    }
  }
  if (limits.processes) {
    if (auto r = set(plan.pids, "pids.max", std::to_string(*limits.processes)); !r) {
      return std::unexpected(r.error());
    }
  }
  if (limits.cpu) {
    const auto quota = static_cast<std::uint64_t>(
        std::max(1000.0, std::round(*limits.cpu * static_cast<double>(kCpuPeriodMicros))));
    if (plan.cpu && plan.cpu->v2) {
      if (auto r = set(plan.cpu, "cpu.max",
                       std::to_string(quota) + " " + std::to_string(kCpuPeriodMicros));
          !r) {
        return std::unexpected(r.error());
      }
    } else {
      if (auto r = set(plan.cpu, "cpu.cfs_period_us", std::to_string(kCpuPeriodMicros)); !r) {
        return std::unexpected(r.error());
      }
      if (auto r = set(plan.cpu, "cpu.cfs_quota_us", std::to_string(quota)); !r) {
        return std::unexpected(r.error());
      }
    }
  }
  return group;
}

void CgroupJoin::add_to(ChildPlan& plan) const {
  plan.cgroup_dir = v2_dir.get();
  plan.cgroup_procs = v2_procs.get();
  for (const UniqueFd& fd : v1_tasks) plan.join_tasks.push_back(fd.get());
}

std::vector<std::string> SessionCgroup::paths() const {
  std::vector<std::string> result;
  for (const Dir& dir : dirs_) result.push_back(dir.path);
  return result;
}

bool SessionCgroup::has_leaves(const Hierarchy& hierarchy) const {
  if (kill_ && hierarchy == *kill_) return true;
  if (hierarchy.v2) return false;  // a v2 hierarchy is the kill one whenever there is one
  return (memory_leaves_ && memory_ && hierarchy == *memory_) ||
         (cpu_usage_ && hierarchy == *cpu_usage_);
}

HostResult<CgroupJoin> SessionCgroup::join(std::string_view leaf) const {
  CgroupJoin join;
  for (const Dir& dir : dirs_) {
    std::string path = dir.path;
    if (has_leaves(dir.hierarchy)) {
      path += "/" + std::string(leaf);
      if (auto made = make_dir(path); !made) return std::unexpected(made.error());
    } else if (dir.hierarchy.v2) {
      continue;  // a v2 hierarchy is the kill one whenever there is one
    }
    if (dir.hierarchy.v2) {
      join.v2_dir.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      join.v2_procs.reset(::open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
      if (!join.v2_dir || !join.v2_procs) return host_error("open " + path);
    } else {
      UniqueFd fd(::open((path + "/tasks").c_str(), O_WRONLY | O_CLOEXEC));
      if (!fd) return host_error("open " + path + "/tasks");
      join.v1_tasks.push_back(std::move(fd));
    }
  }
  return join;
}

HostResult<void> SessionCgroup::kill(Clock::time_point deadline, std::string_view leaf) const {
  const Dir* dir = find(kill_);
  if (dir == nullptr) return {};
  const std::string target = leaf.empty() ? dir->path : dir->path + "/" + std::string(leaf);
  if (::access(target.c_str(), F_OK) != 0) return {};

  if (dir->hierarchy.v2) {
    if (auto r = write_text(target + "/cgroup.kill", "1"); !r) return r;
    std::optional<HostError> failure;
    bool empty = poll_until(
        [&] {
          HostResult<std::string> events = read_text(target + "/cgroup.events");
          if (!events) {
            failure = events.error();
            return true;
          }
          return keyed_value(*events, "populated") == 0u;
        },
        deadline);
    if (failure) return std::unexpected(*failure);
    if (!empty) return host_error("end the processes of " + target, ETIMEDOUT);
    return {};
  }

  // v1: frozen, the processes can neither start others nor end, so every
  // process id read from the groups stays theirs while it is signalled.
  if (auto r = write_text(target + "/freezer.state", "FROZEN"); !r) return r;
  bool frozen = poll_until(
      [&] {
        HostResult<std::string> state = read_text(target + "/freezer.state");
        return state && state->starts_with("FROZEN");
      },
      deadline);
  std::vector<std::string> groups{target};
  HostResult<std::vector<std::string>> children = child_groups(target);
  if (!children) return std::unexpected(children.error());
  for (const std::string& child : *children) groups.push_back(target + "/" + child);
  std::optional<HostError> failure;
  if (frozen) {
    for (const std::string& group : groups) {
      HostResult<std::vector<pid_t>> pids = group_processes(group);
      if (!pids) {
        failure = pids.error();
        break;
      }
      for (pid_t pid : *pids) ::kill(pid, SIGKILL);
    }
  }
  if (auto r = write_text(target + "/freezer.state", "THAWED"); !r && !failure) failure = r.error();
  if (failure) return std::unexpected(*failure);
  if (!frozen) return host_error("freeze " + target, ETIMEDOUT);
  bool empty = poll_until(
      [&] {
        for (const std::string& group : groups) {
          HostResult<std::vector<pid_t>> pids = group_processes(group);
          if (!pids) {
            failure = pids.error();
            return true;
          }
          if (!pids->empty()) return false;
        }
        return true;
      },
      deadline);
  if (failure) return std::unexpected(*failure);
  if (!empty) return host_error("end the processes of " + target, ETIMEDOUT);
  return {};
}

LeafUsage SessionCgroup::leaf_usage(std::string_view leaf) const {
  LeafUsage usage;
  const Dir* memory = memory_leaves_ ? find(memory_) : nullptr;
  if (memory != nullptr) {
    read_memory(memory->path + "/" + std::string(leaf), memory->hierarchy.v2, usage.memory_peak,
                usage.oom_kills);
  }
  const Dir* cpu = find(cpu_usage_);
  if (cpu != nullptr && has_leaves(cpu->hierarchy)) {
    usage.cpu_seconds = read_cpu(cpu->path + "/" + std::string(leaf), cpu->hierarchy.v2);
  }
  return usage;
}

HostResult<void> SessionCgroup::remove_leaf(std::string_view leaf, Clock::time_point deadline,
                                            std::uint64_t oom_kills) const {
  HostResult<void> result;
  for (const Dir& dir : dirs_) {
    if (!has_leaves(dir.hierarchy)) continue;
    HostResult<void> removed = remove_dir(dir.path + "/" + std::string(leaf), deadline);
    if (!removed) {
      if (result) result = std::move(removed);
      continue;
    }
    if (!dir.hierarchy.v2 && memory_leaves_ && memory_ && dir.hierarchy == *memory_) {
      removed_oom_kills_->fetch_add(oom_kills, std::memory_order_relaxed);
    }
  }
  return result;
}

HostResult<void> SessionCgroup::remove(Clock::time_point deadline) {
  for (const Dir& dir : dirs_) {
    HostResult<std::vector<std::string>> children = child_groups(dir.path);
    if (!children) return std::unexpected(children.error());
    for (const std::string& child : *children) {
      if (auto r = remove_dir(dir.path + "/" + child, deadline); !r) return r;
    }
    if (auto r = remove_dir(dir.path, deadline); !r) return r;
  }
  dirs_.clear();
  return {};
}

SessionUsage SessionCgroup::usage() const {
  SessionUsage usage;
  if (const Dir* dir = find(memory_)) {
    read_memory(dir->path, dir->hierarchy.v2, usage.memory_peak, usage.oom_kills);
    if (!dir->hierarchy.v2 && memory_leaves_) {
      // v1 counts a kill in the victim's own group only: the leaves' counts,
      // and those of the leaves gone, are the session's too.
      if (auto children = child_groups(dir->path)) {
        for (const std::string& child : *children) {
          std::uint64_t peak = 0, kills = 0;
          read_memory(dir->path + "/" + child, false, peak, kills);
          usage.oom_kills += kills;
        }
      }
      usage.oom_kills += removed_oom_kills_->load(std::memory_order_relaxed);
    }
  }
  if (const Dir* dir = find(cpu_usage_)) usage.cpu_seconds = read_cpu(dir->path, dir->hierarchy.v2);
  if (const Dir* dir = find(kill_)) {
    std::vector<std::string> groups{dir->path};
    if (auto children = child_groups(dir->path)) {
      for (const std::string& child : *children) groups.push_back(dir->path + "/" + child);
    }
    for (const std::string& group : groups) {
      if (auto pids = group_processes(group)) usage.processes += pids->size();
    }
  }
  return usage;
}

std::uint64_t memory_available() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  std::uint64_t available =
      pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page)
                            : UINT64_MAX;
  HostResult<std::string> own = read_text("/proc/self/cgroup");
  if (!own) return available;
  HostResult<std::string> mountinfo = read_text("/proc/self/mountinfo");
  CgroupHost mounted = CgroupHost::parse(mountinfo ? *mountinfo : std::string());
  for (std::string_view line : split(*own, '\n')) {
    std::vector<std::string_view> parts = split(line, ':');
    if (parts.size() < 3) continue;
    std::string path(parts[2]);
    std::optional<std::string> root;
    std::string file;
    if (parts[0] == "0" && parts[1].empty() && mounted.v2) {
      root = mounted.v2;
      file = "memory.max";
    } else if (std::ranges::count(split(parts[1], ','), std::string_view("memory")) > 0) {
      root = mounted.memory;
      file = "memory.limit_in_bytes";
    }
    if (!root) continue;
    // The group and every ancestor up to the hierarchy's root.
    for (;;) {
      if (auto limit = number_in(*root + path + "/" + file))
        available = std::min(available, *limit);
      if (path.empty() || path == "/") break;
      path.erase(path.rfind('/'));
    }
  }
  return available;
}

}  // namespace lumvex
