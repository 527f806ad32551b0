#include "sandbox/account_processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.hpp"
#include "error/internal_error.hpp"
#include "sandbox/helper_launch.hpp"
#include "sandbox/pidfd.hpp"
#include "session_helper/wire.hpp"

namespace lumvex {

namespace {

// The accounts whose processes are never touched.
bool refused(std::uint32_t uid) {
  return uid == 0 || uid == ::getuid() || uid == ::geteuid();
}

struct ProcessStatus {
  bool alive = false;  // not a zombie whose threads have all ended
  std::uint32_t uids[4] = {};
};

// The number that starts `text` (after blanks), or nullopt.
std::optional<std::uint64_t> leading_number(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// Parses /proc/<pid>/status of the process whose directory is `proc_fd`'s
// entry `name`. Nullopt when it has gone or cannot be read.
std::optional<ProcessStatus> read_status(int proc_fd, const char* name) {
  char path[32];
  std::string_view pid_text(name);
  if (pid_text.size() > 20) return std::nullopt;
  pid_text.copy(path, pid_text.size());
  std::string_view("/status").copy(path + pid_text.size(), 7);
  path[pid_text.size() + 7] = '\0';
  UniqueFd fd(::openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  // The whole text comes in one read (it is about 1.5 KiB; the fields read
  // here are in its first lines, "Threads:" before the long signal masks).
  char buffer[4096];
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  const std::size_t size = static_cast<std::size_t>(n);

  ProcessStatus status;
  bool zombie = false;
  std::uint64_t threads = 1;
  bool have_uids = false;
  std::string_view text(buffer, size);
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.starts_with("State:")) {
      line.remove_prefix(6);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      zombie = !line.empty() && (line.front() == 'Z' || line.front() == 'X');
    } else if (line.starts_with("Uid:")) {
      line.remove_prefix(4);
      have_uids = true;
      for (std::uint32_t& uid : status.uids) {
        std::optional<std::uint64_t> value = leading_number(line);
        if (!value) return std::nullopt;
        uid = static_cast<std::uint32_t>(*value);
      }
    } else if (line.starts_with("Threads:")) {
      line.remove_prefix(8);
      threads = leading_number(line).value_or(1);
    }
  }
  if (!have_uids) return std::nullopt;
  // A leader that ended while other threads of it run on shows as a zombie.
  status.alive = !zombie || threads > 1;
  return status;
}

bool is_target(const ProcessStatus& status, std::uint32_t uid) {
  if (!status.alive) return false;
  for (std::uint32_t id : status.uids) {
    if (id == uid) return true;
  }
  return false;
}

// What the descriptor of a process tells of whether it may be a target.
// Only kOther lets the caller pass over it without reading its status: the
// kernel names credentials none of which is the target's.
// Whenever that cannot be asked (a process on its way out), the status is
// read.
enum class Precheck { kOther, kReadStatus, kNotSupported };

Precheck precheck(int pidfd, std::uint32_t uid) {
  PidfdInfo info;
  if (pidfd_get_info(pidfd, info) != 0) {
    // A kernel before 6.13 does not know the request.
    return errno == ENOTTY || errno == EINVAL ? Precheck::kNotSupported : Precheck::kReadStatus;
  }
  if ((info.mask & kPidfdInfoCreds) == 0 || (info.mask & kPidfdInfoPid) == 0)
    return Precheck::kReadStatus;
  for (std::uint32_t id : {info.ruid, info.euid, info.suid, info.fsuid}) {
    if (id == uid) return Precheck::kReadStatus;
  }
  return Precheck::kOther;
}

// One pass over /proc: signals every target found and keeps a descriptor
// on each. Returns false when /proc cannot be read or a target cannot be
// held by a descriptor.
bool sweep_once(std::uint32_t uid, std::vector<UniqueFd>& killed) {
  UniqueDir proc(::opendir("/proc"));
  if (!proc) return false;
  const int proc_fd = ::dirfd(proc.get());
  const pid_t self = ::getpid();
  bool ask_kernel = true;
  while (const dirent* entry = ::readdir(proc.get())) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    std::string_view text(name);
    std::optional<std::uint64_t> pid = leading_number(text);
    if (!pid || !text.empty() || static_cast<pid_t>(*pid) == self) continue;
    // One descriptor per process serves every step below, so the process
    // asked about, looked at and signalled is always the same one.
    UniqueFd pidfd = open_pidfd(static_cast<pid_t>(*pid));
    if (!pidfd) {
      if (errno == ESRCH) continue;  // ended meanwhile
      // A target that no descriptor can hold cannot be ended safely.
      std::optional<ProcessStatus> status = read_status(proc_fd, name);
      if (!status || !is_target(*status, uid)) continue;
      return false;
    }
    // Most processes are someone else's: that is cheaper to learn from the
    // descriptor than from the text of their status.
    if (ask_kernel) {
      const Precheck answer = precheck(pidfd.get(), uid);
      if (answer == Precheck::kOther) continue;
      ask_kernel = answer != Precheck::kNotSupported;
    }
    // The status, read after the descriptor was opened, is the process's own
    // if it has not been reaped since: until then its id stays taken.
    std::optional<ProcessStatus> status = read_status(proc_fd, name);
    if (!status || !is_target(*status, uid) || is_reaped(pidfd)) continue;
    if (pidfd_signal(pidfd.get(), SIGKILL) != 0) continue;
    killed.push_back(std::move(pidfd));
  }
  return true;
}

// Waits until every process in `killed` has ended (a process descriptor
// becomes readable then), or `deadline` passes.
void wait_ended(std::vector<UniqueFd>& killed, std::chrono::steady_clock::time_point deadline) {
  std::vector<pollfd> fds;
  for (const UniqueFd& fd : killed) fds.push_back({fd.get(), POLLIN, 0});
  while (!fds.empty()) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    int ready =
        ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) return;
    std::erase_if(fds, [](const pollfd& fd) { return fd.revents != 0; });
  }
}

}  // namespace

HostResult<void> end_account_processes(std::uint32_t uid,
                                       std::chrono::steady_clock::time_point deadline) {
  if (refused(uid)) return host_error("end the processes of uid " + std::to_string(uid), EPERM);
  // Each pass kills what it finds and waits for it to end; what those
  // processes started meanwhile is found by the next pass.
  for (;;) {
    std::vector<UniqueFd> killed;
    const std::string what = "end the processes of uid " + std::to_string(uid);
    if (!sweep_once(uid, killed)) return host_error(what + " found in /proc");
    if (killed.empty()) return {};
    if (std::chrono::steady_clock::now() >= deadline) return host_error(what, ETIMEDOUT);
    wait_ended(killed, deadline);
  }
}

bool is_reaped(const UniqueFd& pidfd) {
  return pidfd_signal(pidfd.get(), 0) != 0 && errno == ESRCH;
}

HostResult<bool> account_has_processes(std::uint32_t uid) {
  const std::string what = "count the processes of uid " + std::to_string(uid);
  if (refused(uid)) return host_error(what, EPERM);
  HostResult<int> report = run_helper({wire::kHelperName, "probe", std::to_string(uid)});
  if (!report) return host_error(what, report.error().code);
  if (*report == 0) return false;
  if (*report == EAGAIN) return true;
  return host_error(what, *report);
}

HostResult<bool> kill_all_as(std::uint32_t uid) {
  return signal_as(uid, -1, SIGKILL);
}

HostResult<bool> signal_as(std::uint32_t uid, pid_t target, int signal) {
  const std::string what = "signal processes as uid " + std::to_string(uid);
  if (refused(uid)) return host_error(what, EPERM);
  HostResult<int> report = run_helper({wire::kHelperName, "kill", std::to_string(uid),
                                       std::to_string(target), std::to_string(signal)});
  if (!report) return host_error(what, report.error().code);
  if (*report == 0) return true;
  if (*report == ESRCH) return false;
  return host_error(what, *report);
}

}  // namespace lumvex
