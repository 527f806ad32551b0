// lumvex-session-helper: every process that lumvex starts on the host
// starts through this program, so that nothing but a short clone that only
// runs exec ever shares the owning Python process's memory.
//
//   lumvex-session-helper start         (plan on the control socket, fd 3)
//   lumvex-session-helper kill UID TARGET SIGNAL
//   lumvex-session-helper probe UID
//   lumvex-session-helper transfer MODE PATH LIMIT
//   lumvex-session-helper base HOME_ROOT      (answers on fd 3)
//   lumvex-session-helper network PASTA       (answers on fd 3)
//
// start: reads a plan (wire.hpp), enters the namespaces and control groups
// it names, makes its mounts and starts its program with the account's ids.
// Three ways to go on:
// - a plain program runs in place of the helper (exec), which answers only
//   when it cannot;
// - a program that must start inside a process namespace the helper entered
//   (setns affects children only) runs as the helper's child; the helper
//   answers with its process id, waits for it and ends as it ended;
// - as a session's first process (kStay) the helper stays for as long as
//   the session is open: it reaps every orphan of the session, outlives the
//   program (the shell may end; the session's namespaces stay), and holds a
//   lifeline to the owner, a process descriptor: when the owner dies, by
//   SIGKILL too, the helper ends every process of the session, removes its
//   control groups and exits.
//
// kill: sends SIGNAL to TARGET (as kill(2) takes it) with the account's ids,
// so that it reaches only what the account itself may signal. Exit status 0,
// or the errno.
//
// probe: whether the account has any process besides this one, asked of the
// kernel's count of its processes: with a cap of two, a child can be made
// only when the prober is the account's one process. Exit status 0 (alone),
// EAGAIN (not alone) or another errno.
//
// transfer: a transfer out of a session (transfer.hpp) as the caller, for
// tests where no session can be had.
//
// base and network make, for a pool, what its sessions start from: the
// mount namespace theirs are copies of (make_base), and a private network
// made ahead of the session that joins it (make_network).
//
// The helper holds nothing of the owner but what the plan sends it: every
// other descriptor is closed on start, and its standard streams are
// /dev/null.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/mount.h>
#include <linux/sched.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd_passing.hpp"
#include "base/unique_fd.hpp"
#include "session_helper/relay.hpp"
#include "session_helper/syscall_filter.hpp"
#include "session_helper/transfer.hpp"
#include "session_helper/wire.hpp"

namespace {

// keyctl(2)'s operations and special keyrings used here.
constexpr long kKeyctlJoinSessionKeyring = 1;
constexpr long kKeyctlClear = 7;
constexpr long kUserKeyring = -4;
constexpr long kUserSessionKeyring = -5;

using namespace lumvex::wire;

struct Step {
  std::int32_t kind = kMount;
  unsigned long flags = 0;
  int fd = -1;  // kAttachTree: the tree's descriptor
  std::optional<std::string> source, target, fstype, data;
};

struct Cleanup {
  int dir = -1;
  std::string name;
};

struct Plan {
  bool stay = false;
  int std_fds[3] = {-1, -1, -1};
  int lifeline = -1;
  int claim = -1;  // held open, never used: the claim lasts as long as this process
  std::vector<std::pair<int, int>> setns;
  int base_mounts = -1;
  bool enters_pid_namespace = false;
  int join_dir = -1;
  int join_procs = -1;
  std::vector<int> join_tasks;
  std::vector<Cleanup> cleanup;
  long kill_uid = -1;
  std::vector<Step> steps;
  bool no_new_privs = false;
  bool new_session = false;
  bool controlling_terminal = false;
  std::optional<std::string> workdir;
  int umask = -1;
  long uid = -1;
  long gid = -1;
  std::optional<rlim_t> process_limit;
  std::vector<std::string> candidates;
  std::vector<std::string> args;
  std::vector<std::string> env;
  int unshare = 0;
  bool filter = false;
  long keyring_uid = -1;
  bool transfer = false;
  std::optional<std::string> pasta;
  std::optional<std::string> nft;
  std::optional<std::string> firewall;
  int host_net = -1;  // the owner's network namespace, when pasta is to run there
  int network = -1;   // a network namespace made ahead, joined instead of a new one
};

std::int64_t now_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

using lumvex::bytes_of;
using lumvex::read_all;
using lumvex::write_all;

// Signal actions back to their defaults and an open mask: the helper starts
// with whatever the owner had (ignored signals stay ignored across exec).
void reset_signals() {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    ::sigaction(signal, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Standard streams on /dev/null, and nothing else open but `keep`.
void close_inherited(int keep) {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd < 3 && null >= 0; ++fd) {
    if (fd != null) ::dup2(null, fd);
  }
  if (null > 2) ::close(null);
  const unsigned first = static_cast<unsigned>(keep) + 1;
  if (::syscall(SYS_close_range, first, ~0u, 0) != 0) {
    for (int fd = static_cast<int>(first); fd < 1024; ++fd) ::close(fd);
  }
}

// --- the plan -----------------------------------------------------------------

// Receives the plan and its descriptors from the control socket. False on a
// malformed or incomplete plan.
bool receive_plan(Plan& plan) {
  Writer::Header header{};
  std::vector<int> fds;
  if (lumvex::receive_all(kControlFd, &header, sizeof header, fds) !=
          static_cast<ssize_t>(sizeof header) ||
      header.magic != kMagic || header.length > kMaxPlan) {
    return false;
  }
  std::string payload(header.length, '\0');
  if (read_all(kControlFd, payload.data(), payload.size()) != 0) return false;

  auto fd_at = [&](std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < fds.size()
               ? fds[static_cast<std::size_t>(index)]
               : -1;
  };
  Reader reader(payload);
  while (reader.next()) {
    switch (reader.tag()) {
      case kStay:
        plan.stay = true;
        break;
      case kStdFds:
        for (int i = 0; i < 3; ++i) {
          plan.std_fds[i] = fd_at(reader.number<std::int32_t>(sizeof(std::int32_t) * i));
        }
        break;
      case kLifeline:
        plan.lifeline = fd_at(reader.number<std::int32_t>());
        break;
      case kClaim:
        plan.claim = fd_at(reader.number<std::int32_t>());
        break;
      case kSetns: {
        const int flags = reader.number<std::int32_t>(sizeof(std::int32_t));
        plan.setns.emplace_back(fd_at(reader.number<std::int32_t>()), flags);
        if ((flags & CLONE_NEWPID) != 0) plan.enters_pid_namespace = true;
        break;
      }
      case kJoinDir:
        plan.join_dir = fd_at(reader.number<std::int32_t>());
        break;
      case kJoinProcs:
        plan.join_procs = fd_at(reader.number<std::int32_t>());
        break;
      case kJoinTasks:
        plan.join_tasks.push_back(fd_at(reader.number<std::int32_t>()));
        break;
      case kCleanup: {
        // The group's directory and its name in it, opened now, while the
        // helper sees the host's files.
        const std::string path(reader.data());
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) break;
        const int dir =
            ::open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir >= 0) plan.cleanup.push_back(Cleanup{dir, path.substr(slash + 1)});
        break;
      }
      case kKillUid:
        plan.kill_uid = static_cast<long>(reader.number<std::int64_t>());
        break;
      case kStep: {
        Step step;
        step.kind = reader.number<std::int32_t>();
        step.flags = reader.number<std::uint64_t>(sizeof(std::int32_t));
        std::size_t at = sizeof(std::int32_t) + sizeof(std::uint64_t);
        std::optional<std::string>* fields[4] = {&step.source, &step.target, &step.fstype,
                                                 &step.data};
        for (std::optional<std::string>* field : fields) {
          std::string text;
          if (reader.step_string(at, text)) *field = std::move(text);
        }
        if (step.kind == kAttachTree) step.fd = fd_at(static_cast<std::int32_t>(step.flags));
        plan.steps.push_back(std::move(step));
        break;
      }
      case kBaseMounts:
        plan.base_mounts = fd_at(reader.number<std::int32_t>());
        break;
      case kNetwork:
        plan.network = fd_at(reader.number<std::int32_t>());
        break;
      case kNoNewPrivs:
        plan.no_new_privs = true;
        break;
      case kNewSession:
        plan.new_session = true;
        break;
      case kCtty:
        plan.controlling_terminal = true;
        break;
      case kWorkdir:
        plan.workdir = std::string(reader.data());
        break;
      case kUmask:
        plan.umask = reader.number<std::int32_t>();
        break;
      case kUid:
        plan.uid = static_cast<long>(reader.number<std::int64_t>());
        break;
      case kGid:
        plan.gid = static_cast<long>(reader.number<std::int64_t>());
        break;
      case kProcessLimit:
        plan.process_limit = static_cast<rlim_t>(reader.number<std::uint64_t>());
        break;
      case kCandidate:
        plan.candidates.emplace_back(reader.data());
        break;
      case kArg:
        plan.args.emplace_back(reader.data());
        break;
      case kEnv:
        plan.env.emplace_back(reader.data());
        break;
      case kUnshare:
        plan.unshare = reader.number<std::int32_t>();
        break;
      case kFilter:
        plan.filter = true;
        break;
      case kKeyringUid:
        plan.keyring_uid = static_cast<long>(reader.number<std::int64_t>());
        break;
      case kTransfer:
        plan.transfer = true;
        break;
      case kPasta:
        plan.pasta = std::string(reader.data());
        break;
      case kNft:
        plan.nft = std::string(reader.data());
        break;
      case kFirewall:
        plan.firewall = std::string(reader.data());
        break;
    }
  }
  if (!reader.ok() || (plan.candidates.empty() && !plan.transfer) || plan.args.empty()) {
    return false;
  }
  for (int fd : plan.std_fds) {
    if (fd < 0) return false;
  }
  return true;
}

// --- setting up ---------------------------------------------------------------

// Brings the interface "lo" up, in the helper's network namespace.
int loopback_up() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return errno;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  int error = 0;
  if (::ioctl(sock, SIOCGIFFLAGS, &request) != 0) {
    error = errno;
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(sock, SIOCSIFFLAGS, &request) != 0) error = errno;
  }
  ::close(sock);
  return error;
}

// A mount point of /proc/self/mountinfo, its octal escapes undone.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const int value = (text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0');
      out.push_back(static_cast<char>(value));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The mount points of this process's mount table, in its order (parents
// before their children); empty when it cannot be read.
std::vector<std::string> mount_points() {
  std::vector<std::string> points;
  const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return points;
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    // id parent major:minor root mount-point ...
    std::size_t field = 0;
    for (int skip = 0; skip < 4 && field != std::string_view::npos; ++skip) {
      field = line.find(' ', field);
      if (field != std::string_view::npos) ++field;
    }
    if (field == std::string_view::npos) continue;
    const std::size_t stop = line.find(' ', field);
    points.push_back(unescape(line.substr(field, stop - field)));
  }
  return points;
}

// Detaches `points`, deepest first.
void detach_all(std::vector<std::string>& points) {
  std::sort(points.begin(), points.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& point : points) ::umount2(point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
}

// Detaches every mount below `dir`, deepest first.
void detach_below(const std::string& dir) {
  const std::string below = dir + "/";
  std::vector<std::string> points;
  for (std::string& point : mount_points()) {
    if (point.starts_with(below)) points.push_back(std::move(point));
  }
  detach_all(points);
}

// Detaches every mount below `root` but account `name`'s home and store,
// deepest first: what other sessions mounted there leaves this copy of the
// mount table.
int detach_others(const std::string& root, const std::string& name) {
  const std::string below = root + "/";
  const std::string own[2] = {below + name, below + ".store/" + name};
  std::vector<std::string> points;
  for (std::string& point : mount_points()) {
    if (!point.starts_with(below)) continue;
    bool mine = false;
    for (const std::string& kept : own) {
      mine = mine || point == kept || point.starts_with(kept + "/");
    }
    if (!mine) points.push_back(std::move(point));
  }
  detach_all(points);
  return 0;
}

// Whether a process of no group and no capability may search directory
// `dir` (by its mode, or perhaps by an access list). Asked without
// following a link, triggering an automount or asking a network
// filesystem's server; a directory that cannot be asked counts as one
// that may be searched.
bool searchable_by_others(const std::string& dir) {
  struct statx info{};
  if (::statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
              STATX_TYPE | STATX_MODE, &info) != 0) {
    return true;
  }
  if (!S_ISDIR(info.stx_mode) || (info.stx_mode & S_IXOTH) != 0) return true;
  return ::lgetxattr(dir.c_str(), "system.posix_acl_access", nullptr, 0) >= 0 || errno != ENODATA;
}

// Detaches every mount that lies below a directory which the sessions'
// accounts may not search (a container runtime's storage, another user's
// private runtime directory): nothing of them can reach it, and a
// session's namespace need not copy it. What a session may reach stays.
void detach_out_of_reach() {
  std::map<std::string, bool> known;  // directory: searchable
  auto searchable = [&](const std::string& dir) {
    auto [at, added] = known.try_emplace(dir, false);
    if (added) at->second = searchable_by_others(dir);
    return at->second;
  };
  std::vector<std::string> points;
  for (std::string& point : mount_points()) {
    if (point.size() < 2 || point.front() != '/') continue;
    bool reachable = searchable("/");
    for (std::size_t slash = point.find('/', 1); reachable && slash != std::string::npos;
         slash = point.find('/', slash + 1)) {
      reachable = searchable(point.substr(0, slash));
    }
    if (!reachable) points.push_back(std::move(point));
  }
  detach_all(points);
}

// A new /dev at `dev` (a small tmpfs), holding only what programs expect
// and nothing that reaches the kernel's riskier drivers: null, zero, full,
// random, urandom and tty (the host's own nodes, bound one by one), a
// pseudo-terminal instance of its own at pts (with ptmx), shm (for the
// store to be bound over) and the usual links. No fuse, no net/tun, no
// disks. `dev_tree` makes all but the pseudo-terminals (a pool's base holds
// it, for its sessions to share); `minimal_dev` all.
int dev_tree(const std::string& dev) {
  static constexpr const char* kNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
  int nodes[std::size(kNodes)];
  for (std::size_t i = 0; i < std::size(kNodes); ++i) {
    nodes[i] = ::open((dev + "/" + kNodes[i]).c_str(), O_PATH | O_CLOEXEC);
  }
  int error = 0;
  if (::mount("lumvex-dev", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=65536") !=
      0) {
    error = errno;
  }
  for (std::size_t i = 0; i < std::size(kNodes) && error == 0; ++i) {
    if (nodes[i] < 0) continue;
    const std::string node = dev + "/" + kNodes[i];
    const int made = ::open(node.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (made < 0) {
      error = errno;
      break;
    }
    ::close(made);
    const std::string source = "/proc/self/fd/" + std::to_string(nodes[i]);
    if (::mount(source.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) error = errno;
  }
  for (int fd : nodes) {
    if (fd >= 0) ::close(fd);
  }
  if (error != 0) return error;
  for (const char* dir : {"/pts", "/shm"}) {
    if (::mkdir((dev + dir).c_str(), 0755) != 0) return errno;
  }
  const std::pair<const char*, const char*> links[] = {{"pts/ptmx", "/ptmx"},
                                                       {"/proc/self/fd", "/fd"},
                                                       {"/proc/self/fd/0", "/stdin"},
                                                       {"/proc/self/fd/1", "/stdout"},
                                                       {"/proc/self/fd/2", "/stderr"}};
  for (const auto& [target, name] : links) {
    if (::symlink(target, (dev + name).c_str()) != 0) return errno;
  }
  return 0;
}

int minimal_dev(const std::string& dev) {
  if (int error = dev_tree(dev); error != 0) return error;
  if (::mount("devpts", (dev + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620,gid=5") != 0) {
    return errno;
  }
  return 0;
}

const char* c_str(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

// Enters the plan's namespaces and makes its mounts: 0, or the errno.
int set_up(const Plan& plan) {
  for (const auto& [fd, flags] : plan.setns) {
    if (::setns(fd, flags) != 0) return errno;
  }
  for (const Step& step : plan.steps) {
    switch (step.kind) {
      case kMount:
      case kOptionalMount:
        if (::mount(c_str(step.source), c_str(step.target), c_str(step.fstype), step.flags,
                    c_str(step.data)) != 0) {
          if (errno == ENOENT && step.kind == kOptionalMount) break;
          return errno;
        }
        break;
      case kNosuidAll: {
        mount_attr attr{};
        attr.attr_set = MOUNT_ATTR_NOSUID;
        if (::syscall(SYS_mount_setattr, AT_FDCWD, c_str(step.target), AT_RECURSIVE, &attr,
                      sizeof attr) != 0 &&
            errno != ENOSYS) {
          return errno;
        }
        break;
      }
      case kLoopbackUp:
        if (int error = loopback_up(); error != 0) return error;
        break;
      case kDetachOthers:
        if (!step.target || !step.source) return EINVAL;
        if (int error = detach_others(*step.target, *step.source); error != 0) return error;
        break;
      case kMakeDir:
        if (!step.target) return EINVAL;
        if (::mkdir(step.target->c_str(), static_cast<mode_t>(step.flags)) != 0 &&
            errno != EEXIST) {
          return errno;
        }
        break;
      case kMinimalDev:
        if (!step.target) return EINVAL;
        if (int error = minimal_dev(*step.target); error != 0) return error;
        break;
      case kAttachTree:
        if (!step.target || step.fd < 0) return EINVAL;
        if (::syscall(SYS_move_mount, step.fd, "", AT_FDCWD, step.target->c_str(),
                      MOVE_MOUNT_F_EMPTY_PATH) != 0) {
          return errno;
        }
        ::close(step.fd);  // attached: the mount stays without it
        break;
      case kWriteFile: {
        if (!step.target || !step.data) return EINVAL;
        const int fd =
            ::open(step.target->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   static_cast<mode_t>(step.flags));
        if (fd < 0) return errno;
        const int error = write_all(fd, *step.data);
        ::close(fd);
        if (error != 0) return error;
        break;
      }
      default:
        return EINVAL;
    }
  }
  return 0;
}

// In the process that becomes the program: control groups (unless born in
// the v2 one), standard streams, every other descriptor closed at exec,
// limits, privileges, a session, the account's ids and the working
// directory. 0, or the errno (`workdir_failed` tells which step).
int prepare_program(const Plan& plan, bool born_in_group, bool& workdir_failed) {
  if (!born_in_group && plan.join_procs >= 0) {
    if (int error = write_all(plan.join_procs, "0"); error != 0) return error;
  }
  for (int fd : plan.join_tasks) {
    if (int error = write_all(fd, "0"); error != 0) return error;
  }
  for (int fd = 0; fd < 3; ++fd) {
    if (::dup2(plan.std_fds[fd], fd) < 0) return errno;
  }
  if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (plan.process_limit) {
    const rlimit limit{*plan.process_limit, *plan.process_limit};
    if (::setrlimit(RLIMIT_NPROC, &limit) != 0) return errno;
  }
  if (plan.no_new_privs && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (plan.new_session && ::setsid() < 0) return errno;
  if (plan.new_session && plan.controlling_terminal && ::ioctl(0, TIOCSCTTY, 0) != 0) return errno;
  if (plan.umask >= 0) ::umask(static_cast<mode_t>(plan.umask));
  if (plan.gid >= 0) {
    if (::setgroups(0, nullptr) != 0) return errno;
    const gid_t gid = static_cast<gid_t>(plan.gid);
    if (::setresgid(gid, gid, gid) != 0) return errno;
  }
  if (plan.uid >= 0) {
    const uid_t uid = static_cast<uid_t>(plan.uid);
    if (::setresuid(uid, uid, uid) != 0) return errno;
  }
  // A session keyring of its own: nothing of another process's keys.
  if (plan.keyring_uid >= 0 && ::syscall(SYS_keyctl, kKeyctlJoinSessionKeyring, 0) < 0) {
    return errno;
  }
  // Entered with the program's own ids: only where it may go itself.
  if (plan.workdir && ::chdir(plan.workdir->c_str()) != 0) {
    workdir_failed = true;
    return errno;
  }
  if (plan.filter) {
    if (int error = lumvex::install_syscall_filter(); error != 0) return error;
  }
  return 0;
}

// Runs the program, trying the candidates as execvp does (a missing one
// moves on; a refused one is remembered). Returns only on failure: the errno.
int exec_program(const Plan& plan) {
  std::vector<char*> argv;
  for (const std::string& arg : plan.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : plan.env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  bool refused = false;
  for (const std::string& candidate : plan.candidates) {
    ::execve(candidate.c_str(), argv.data(), envp.data());
    const int failed = errno;
    if (failed == EACCES) {
      refused = true;
    } else if (failed != ENOENT && failed != ENOTDIR && failed != ESTALE && failed != ENODEV &&
               failed != ETIMEDOUT) {
      return failed;
    }
  }
  return refused ? EACCES : ENOENT;
}

void answer(const Answer& reply) {
  write_all(kControlFd, bytes_of(reply));
}

// The helper's own transfer as the program: every descriptor but the
// standard streams goes first (the control socket's end says that it runs,
// as an exec would); gives the exit status.
int transfer_in_place(const Plan& plan) {
  if (::syscall(SYS_close_range, 3u, ~0u, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  }
  if (plan.args.front() == "relay") return lumvex::run_relay(plan.args);
  return lumvex::run_transfer(plan.args);
}

// Makes the program's process: born in the plan's v2 control group where
// clone3 allows, else joining it itself. 0 in the child, its id in the
// parent, -errno on failure. `born_in_group` tells the child which.
long start_child(const Plan& plan, bool& born_in_group) {
  if (plan.join_dir >= 0) {
    clone_args args{};
    args.flags = CLONE_INTO_CGROUP;
    args.exit_signal = SIGCHLD;
    args.cgroup = static_cast<std::uint64_t>(plan.join_dir);
    const long pid = ::syscall(SYS_clone3, &args, sizeof args);
    if (pid >= 0) {
      born_in_group = true;
      return pid;
    }
    if (errno != ENOSYS && errno != E2BIG && errno != EINVAL) return -errno;
  }
  born_in_group = false;
  const pid_t pid = ::fork();
  return pid < 0 ? -errno : pid;
}

// --- the session's first process --------------------------------------------

// Removes a session's control group (its leaves first), trying again while
// the last processes are still leaving.
void remove_group(int dir, const std::string& name, std::int64_t deadline) {
  for (;;) {
    const int group = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (group < 0) return;
    bool busy = false;
    if (DIR* stream = ::fdopendir(::dup(group))) {
      while (dirent* entry = ::readdir(stream)) {
        if (entry->d_type != DT_DIR || entry->d_name[0] == '.') continue;
        if (::unlinkat(group, entry->d_name, AT_REMOVEDIR) != 0 && errno == EBUSY) busy = true;
      }
      ::closedir(stream);
    }
    ::close(group);
    if (!busy && (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno != EBUSY)) return;
    if (now_ms() >= deadline) return;
    sleep_ms(5);
  }
}

// Takes on account `uid`'s ids (all of them, supplementary groups dropped).
int become(long uid) {
  const uid_t u = static_cast<uid_t>(uid);
  if (::setgroups(0, nullptr) != 0 || ::setresgid(u, u, u) != 0 || ::setresuid(u, u, u) != 0) {
    return errno;
  }
  return 0;
}

// Runs `work` in a child that has taken on account `uid`'s ids, and gives
// its result (0, or an errno): what a session's account may do, done as it.
template <typename Work>
int as_account(long uid, Work work) {
  const pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    int error = become(uid);
    if (error == 0) error = work();
    ::_exit(error);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : EIO;
}

// Clears account `uid`'s user and user-session keyrings: what one session
// put there never reaches the next. 0, or the errno.
int clear_keyrings(long uid) {
  return as_account(uid, [] {
    for (long keyring : {kUserKeyring, kUserSessionKeyring}) {
      if (::syscall(SYS_keyctl, kKeyctlClear, keyring) != 0 && errno != ENOKEY) return errno;
    }
    return 0;
  });
}

// Sends SIGKILL, with account `uid`'s ids, to everything the account may
// signal.
void kill_account(long uid) {
  as_account(uid, [] {
    ::kill(-1, SIGKILL);
    return 0;
  });
}

// The session ends: every process of it, with its control groups when the
// owner has gone (`owner_gone`; on a close, the owner removes them itself,
// once it has read their final figures).
[[noreturn]] void end_session(const Plan& plan, pid_t program, bool owner_gone) {
  if (::getpid() == 1) {
    ::kill(-1, SIGKILL);  // everything in the namespace but this process
  } else if (program > 0) {
    ::kill(program, SIGKILL);
  }
  for (const Cleanup& group : plan.cleanup) {
    if (!owner_gone) break;
    const std::string kill_file = group.name + "/cgroup.kill";
    const int fd = ::openat(group.dir, kill_file.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      write_all(fd, "1");
      ::close(fd);
    }
  }
  if (plan.kill_uid > 0) kill_account(plan.kill_uid);
  if (plan.keyring_uid > 0) clear_keyrings(plan.keyring_uid);
  const std::int64_t deadline = now_ms() + 2000;
  for (;;) {
    const pid_t pid = ::waitpid(-1, nullptr, WNOHANG | __WALL);
    if (pid > 0) continue;
    if (pid < 0 && errno == ECHILD) break;
    if (now_ms() >= deadline) break;
    sleep_ms(2);
  }
  if (owner_gone) {
    for (const Cleanup& group : plan.cleanup) remove_group(group.dir, group.name, deadline);
  }
  ::_exit(0);
}

// Reaps whatever has ended below the helper.
void reap_all() {
  while (::waitpid(-1, nullptr, WNOHANG | __WALL) > 0) {
  }
}

// As the session's first process: reaps and watches the owner until it
// goes, or until the owner closes the session with SIGTERM. Signals from
// inside the session do not reach it (a namespace's first process, or
// root's); the owner may also end it at once with SIGKILL.
[[noreturn]] void stay(const Plan& plan, int signals, pid_t program) {
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {plan.lifeline, POLLIN, 0}};
    const nfds_t count = plan.lifeline >= 0 ? 2 : 1;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      sleep_ms(10);
    }
    if (count == 2 && fds[1].revents != 0) end_session(plan, program, true);
    if (fds[0].revents != 0) {
      signalfd_siginfo info[8];
      ssize_t n;
      bool closing = false;
      while ((n = ::read(signals, info, sizeof info)) > 0) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof info[0]; ++i) {
          closing = closing || info[i].ssi_signo == SIGTERM;
        }
      }
      if (closing) end_session(plan, program, false);
      reap_all();
    }
  }
}

// In a child about to become a host program: its signals unblocked, then
// the program; 127 when it cannot run.
[[noreturn]] void exec_host_program(const char* const argv[], const char* const envp[]) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
  ::_exit(127);
}

// Waits for child `pid` to end, 10 s at most (then it is killed): 0 with
// its wait status in `status`, or the errno (ETIMEDOUT).
int wait_host_program(pid_t pid, int& status) {
  const std::int64_t deadline = now_ms() + 10000;
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return 0;
    if (ended < 0 && errno != EINTR) return errno;
    if (now_ms() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return ETIMEDOUT;
    }
    sleep_ms(1);
  }
}

// The private network's way out, in the session's first process (the first
// of its process namespace) before anything of the session runs: pasta, a
// user-space network stack, in the owner's network namespace, attached to
// this one through a tap interface that it configures (address kSessionAddress,
// a default route through kGatewayAddress). What the session sends out
// leaves through pasta's sockets on the host, as connections of the host's
// own; the host's routing, forwarding and firewall stay as they are. No port
// of the host leads in (--tcp-ports/--udp-ports none), no port of the
// session's loopback leads to the host's (--tcp-ns/--udp-ns none), and the
// gateway's address is not the host's loopback (--no-map-gw): the host's
// loopback services and other sessions are out of reach. pasta keeps only
// the capabilities it needs, under a system-call filter of its own; it
// runs as root because it must enter this namespace, which belongs to the
// host's user namespace. The session asks the host's own name servers
// (/etc/resolv.conf), which it reaches as any other address outside.
//
// pasta forks into the background once the namespace is configured: its
// first process's end says so, and its background process stays a process
// of this namespace, so it ends with the session, also when the owner dies.
constexpr const char* kSessionAddress = "10.0.2.15";
constexpr const char* kGatewayAddress = "10.0.2.2";
// Name queries sent here go on, through pasta's own sockets, to the host's
// first name server: also one on the host's loopback, which the session
// cannot reach itself.
constexpr const char* kNameServerAddress = "10.0.2.3";

int start_pasta(Plan& plan) {
  const int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own < 0) return errno;
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(own);
    return error;
  }
  if (child == 0) {
    // pasta opens the namespace by a path, which must be its own descriptor:
    // a path of this process's would need the right to trace it.
    const int target = ::fcntl(own, F_DUPFD, 10);
    if (target < 0 || ::setns(plan.host_net, CLONE_NEWNET) != 0) ::_exit(126);
    // The session's /dev has no tun device (nor may it): pasta gets a /dev
    // of its own, in a mount namespace of its own, with only that and null.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("lumvex-pasta-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC,
                "mode=0755,size=4096") != 0 ||
        ::mkdir("/dev/net", 0755) != 0 ||
        ::mknod("/dev/net/tun", S_IFCHR | 0600, ::makedev(10, 200)) != 0 ||
        ::mknod("/dev/null", S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
      ::_exit(126);
    }
    const std::string netns = "/proc/self/fd/" + std::to_string(target);
    const char* argv[] = {plan.pasta->c_str(),
                          "--quiet",
                          "--runas",
                          "0",
                          "--tcp-ports",
                          "none",
                          "--udp-ports",
                          "none",
                          "--tcp-ns",
                          "none",
                          "--udp-ns",
                          "none",
                          "--no-map-gw",
                          "--config-net",
                          "--address",
                          kSessionAddress,
                          "--netmask",
                          "24",
                          "--gateway",
                          kGatewayAddress,
                          "--dns-forward",
                          kNameServerAddress,
                          "--netns",
                          netns.c_str(),
                          nullptr};
    const char* envp[] = {"PATH=/usr/bin:/bin", nullptr};
    exec_host_program(argv, envp);
  }
  ::close(own);
  ::close(plan.host_net);
  plan.host_net = -1;
  int status = 0;
  if (int error = wait_host_program(child, status); error != 0) return error;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : ENETDOWN;
}

// Applies the plan's nftables rules in this network namespace (the
// session's, before anything of it runs) with `nft -f`, the rules on its
// standard input. They go with the namespace; the session's account, which
// holds no capability here, cannot change them.
int apply_firewall(const Plan& plan) {
  if (!plan.nft) return EINVAL;
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return errno;
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(input[0]);
    ::close(input[1]);
    return error;
  }
  if (child == 0) {
    if (::dup2(input[0], 0) < 0) ::_exit(126);
    const char* argv[] = {plan.nft->c_str(), "-f", "-", nullptr};
    const char* envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
    exec_host_program(argv, envp);
  }
  ::close(input[0]);
  write_all(input[1], *plan.firewall);
  ::close(input[1]);
  int status = 0;
  if (int error = wait_host_program(child, status); error != 0) return error;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EPERM;
}

// Sends `reply` with descriptor `fd` attached.
bool answer_with(const Answer& reply, int fd) {
  return lumvex::send_with_fd(kControlFd, &reply, sizeof reply, fd) == 0;
}

// For a staying helper: makes the plan's namespaces and the process that
// stays, a child that the owner adopts (it is not the owner's child, so no
// wait of the owner's can take it). This process hands it over and exits;
// the child goes on (true) once the hand-over is done.
bool become_first_process(Plan& plan) {
  Answer reply;
  if (plan.pasta) {
    // pasta runs in this network namespace (the host's sockets are its way
    // out) and only a process of the session's own process namespace may be
    // it: the first process keeps a way back here for it.
    constexpr int kBoth = CLONE_NEWNET | CLONE_NEWPID;
    plan.host_net = (plan.unshare & kBoth) == kBoth
                        ? ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)
                        : (errno = EINVAL, -1);
    if (plan.host_net < 0) {
      reply.error = errno;
      answer(reply);
      return false;
    }
  }
  // The base mount namespace (theirs are copies of it), and a private
  // network made ahead (make_network), already joined to the outside: the
  // session's, in place of a new one.
  for (const auto& [fd, type] :
       {std::pair{plan.base_mounts, CLONE_NEWNS}, std::pair{plan.network, CLONE_NEWNET}}) {
    if (fd < 0) continue;
    if (::setns(fd, type) != 0) {
      reply.error = errno;
      answer(reply);
      return false;
    }
    ::close(fd);
  }
  if (plan.network >= 0) plan.unshare &= ~CLONE_NEWNET;
  if (plan.unshare != 0 && ::unshare(plan.unshare) != 0) {
    reply.error = errno;
    answer(reply);
    return false;
  }
  int gate[2];
  if (::pipe2(gate, O_CLOEXEC) != 0) {
    reply.error = errno;
    answer(reply);
    return false;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    reply.error = errno;
    answer(reply);
    return false;
  }
  if (child == 0) {
    ::close(gate[1]);
    char byte;
    while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(gate[0]);
    return true;
  }
  ::close(gate[0]);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  reply.pid = child;
  if (pidfd < 0 || !answer_with(reply, pidfd)) {
    ::kill(child, SIGKILL);
    ::_exit(127);
  }
  ::_exit(0);  // the gate closes: the child goes on
}

int start() {
  Plan plan;
  Answer reply;
  if (!receive_plan(plan)) {
    reply.error = EPROTO;
    answer(reply);
    return 127;
  }
  ::fcntl(kControlFd, F_SETFD, FD_CLOEXEC);

  if (plan.stay && !become_first_process(plan)) return 127;
  if (plan.stay && ::getpid() != 1) ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  if (plan.pasta) reply.error = start_pasta(plan);
  if (reply.error == 0 && plan.firewall) reply.error = apply_firewall(plan);
  if (reply.error == 0) reply.error = set_up(plan);
  if (reply.error == 0 && plan.stay && plan.keyring_uid > 0) {
    reply.error = clear_keyrings(plan.keyring_uid);
  }
  if (reply.error != 0) {
    answer(reply);
    return 127;
  }

  if (!plan.stay && !plan.enters_pid_namespace) {
    // The program takes this process's place.
    bool workdir_failed = false;
    int error = prepare_program(plan, false, workdir_failed);
    if (error == 0 && plan.transfer) return transfer_in_place(plan);
    if (error == 0) error = exec_program(plan);
    reply.error = error;
    reply.workdir_failed = workdir_failed;
    answer(reply);
    return 127;
  }

  // The program is this process's child; it says why it could not run
  // through a pipe that closes when it does.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    reply.error = errno;
    answer(reply);
    return 127;
  }
  sigset_t child_signals;
  sigemptyset(&child_signals);
  sigaddset(&child_signals, SIGCHLD);
  if (plan.stay) sigaddset(&child_signals, SIGTERM);  // the owner's close
  ::sigprocmask(SIG_BLOCK, &child_signals, nullptr);
  const int signals = plan.stay ? ::signalfd(-1, &child_signals, SFD_CLOEXEC | SFD_NONBLOCK) : -1;
  bool born_in_group = false;
  const long pid = start_child(plan, born_in_group);
  if (pid == 0) {
    ::close(report[0]);
    Answer failure;
    bool workdir_failed = false;
    failure.error = prepare_program(plan, born_in_group, workdir_failed);
    if (failure.error == 0 && plan.transfer) ::_exit(transfer_in_place(plan));
    if (failure.error == 0) failure.error = exec_program(plan);
    failure.workdir_failed = workdir_failed;
    write_all(report[1], bytes_of(failure));
    ::_exit(127);
  }
  ::close(report[1]);
  if (pid < 0) {
    reply.error = static_cast<int>(-pid);
  } else {
    Answer failure;
    if (read_all(report[0], &failure, sizeof failure) == 0) {
      reply = failure;
      ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
    }
    reply.pid = pid;
  }
  ::close(report[0]);
  // The program's descriptors are its own now.
  for (int fd : plan.std_fds) ::close(fd);
  answer(reply);
  ::close(kControlFd);
  if (reply.error != 0) return 127;

  if (plan.stay) stay(plan, signals, static_cast<pid_t>(pid));

  // Ends as the program ended.
  int status = 0;
  while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
    if (errno != EINTR) return 127;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int signal = WTERMSIG(status);
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  ::sigaction(signal, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::kill(::getpid(), signal);
  return 128 + signal;
}

// A positive decimal number (or, with `negative`, a negative one too).
bool parse_number(const char* text, long& out, bool negative = false) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && (negative || out > 0);
}

int kill_as(int argc, char** argv) {
  long uid = 0, target = 0, signal = 0;
  if (argc != 5 || !parse_number(argv[2], uid) || !parse_number(argv[3], target, true) ||
      !parse_number(argv[4], signal)) {
    return EINVAL;
  }
  if (int error = become(uid); error != 0) return error;
  return ::kill(static_cast<pid_t>(target), static_cast<int>(signal)) == 0 ? 0 : errno;
}

int probe(int argc, char** argv) {
  long uid = 0;
  if (argc != 3 || !parse_number(argv[2], uid)) return EINVAL;
  if (int error = become(uid); error != 0) return error;
  const rlimit two{2, 2};
  if (::setrlimit(RLIMIT_NPROC, &two) != 0) return errno;
  const pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return 0;
}

// The mount namespace that a pool's sessions copy theirs from (this process
// was made in a new one): private, so that nothing mounted on the host
// later reaches it, and without anything below the home root `argv[2]`
// (every account's home and store: a session attaches its own). It answers
// its errno on the control socket, then waits there for end of file while
// its maker opens the namespace.
int make_base(int argc, char** argv) {
  int error = argc == 3 ? 0 : EINVAL;
  if (error == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error = errno;
  }
  if (error == 0) error = detach_others(argv[2], "");
  if (error == 0) detach_out_of_reach();
  // What every session of the pool has alike is made here once: its /dev
  // (each session mounts its own pseudo-terminals on it), and an empty,
  // read-only /sys/fs/cgroup (other sessions' figures, and the host's, are
  // not a session's to read). The host's mounts they hide go, for sessions
  // not to copy them.
  if (error == 0) {
    detach_below("/dev");
    error = dev_tree("/dev");
  }
  if (error == 0) {
    detach_below("/sys/fs/cgroup");
    if (::mount("lumvex-cgroup", "/sys/fs/cgroup", "tmpfs",
                MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555,size=4096") != 0 &&
        errno != ENOENT) {
      error = errno;
    }
  }
  if (write_all(kControlFd, bytes_of(error)) != 0) return EPIPE;
  for (char byte;;) {
    const ssize_t n = ::read(kControlFd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  return error;
}

// A descriptor sent on the control socket with one byte; -1 at its end or
// for anything else.
int receive_fd() {
  char byte;
  int fd = -1;
  const ssize_t n = lumvex::receive_with_fd(kControlFd, &byte, 1, fd);
  if (n != 1 && fd >= 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits until one of `fds` is readable or hung up: its index, or -1.
int wait_any(pollfd* fds, nfds_t count) {
  for (nfds_t i = 0; i < count; ++i) fds[i].events = POLLIN;
  for (;;) {
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents != 0) return static_cast<int>(i);
    }
  }
}

// Leaves this process's mount table (its own) for an empty one: its root
// becomes a new, empty tmpfs and every other mount is detached, so that it
// holds none of them alive (a session's store mounted on the host when the
// table was copied, say). Best effort: the process needs no file after it.
void leave_mounts() {
  if (::mount("lumvex-empty", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY,
              "size=4k,mode=0555") != 0 ||
      ::chdir("/tmp") != 0) {
    return;
  }
  if (::syscall(SYS_pivot_root, ".", ".") == 0) ::umount2(".", MNT_DETACH);
  ::chdir("/");
}

// A private network made ahead of the session that will join it (pasta
// takes tens of milliseconds to start). This process, made in a mount
// namespace of its own, receives a process descriptor of its owner on the
// control socket (its lifeline), makes a process namespace and leaves its
// first process, its child, behind: the keeper, which init adopts, so that
// nothing of it is the owner's to wait for. The keeper makes a network
// namespace, joins it to the outside with pasta (start_pasta), a process of
// its process namespace that ends with it, and answers with the namespace
// attached (or the errno). It then waits on the control socket for the
// process descriptor of the session's first process, and from then on
// holds the network until that process ends. It ends at once, pasta with
// it, when the owner ends, or when the control socket ends first (the
// network was not taken).
int make_network(int argc, char** argv) {
  Answer reply;
  const int lifeline = receive_fd();
  if (argc != 3) reply.error = EINVAL;
  if (reply.error == 0 && lifeline < 0) reply.error = EPROTO;
  if (reply.error == 0 && ::unshare(CLONE_NEWPID) != 0) reply.error = errno;
  pid_t keeper = -1;
  if (reply.error == 0 && (keeper = ::fork()) < 0) reply.error = errno;
  if (reply.error != 0) {
    answer(reply);
    return reply.error;
  }
  if (keeper > 0) return 0;

  // pasta mounts its own /dev in a copy of this mount table: nothing of
  // that may reach the host's.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) reply.error = errno;
  Plan plan;
  if (reply.error == 0) {
    plan.host_net = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (plan.host_net < 0) reply.error = errno;
  }
  if (reply.error == 0 && ::unshare(CLONE_NEWNET) != 0) reply.error = errno;
  if (reply.error == 0) {
    plan.pasta = argv[2];
    reply.error = start_pasta(plan);
  }
  const int own = reply.error == 0 ? ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC) : -1;
  if (reply.error == 0 && own < 0) reply.error = errno;
  if (reply.error != 0) {
    answer(reply);
    return reply.error;
  }
  if (!answer_with(reply, own)) return EPIPE;
  ::close(own);
  leave_mounts();
  pollfd waiting[2] = {{lifeline, 0, 0}, {kControlFd, 0, 0}};
  if (wait_any(waiting, 2) != 1) return 0;
  const int session = receive_fd();
  if (session < 0) return 0;
  ::close(kControlFd);
  waiting[1].fd = session;
  wait_any(waiting, 2);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  reset_signals();
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "start") {
    close_inherited(kControlFd);
    return start();
  }
  // A transfer with the caller's own ids and streams (sessions run it
  // through a plan; this is for checking it where no session can be had).
  if (mode == "transfer") {
    if (argc != 5) return EINVAL;
    return lumvex::run_transfer({argv[2], argv[3], argv[4]});
  }
  if (mode == "base") {
    close_inherited(kControlFd);
    return make_base(argc, argv);
  }
  if (mode == "network") {
    close_inherited(kControlFd);
    return make_network(argc, argv);
  }
  close_inherited(2);
  if (mode == "kill") return kill_as(argc, argv);
  if (mode == "probe") return probe(argc, argv);
  // Holds a namespace it was made in until its maker ends it.
  if (mode == "hold") {
    for (;;) ::pause();
  }
  return EINVAL;
}
