#include "pool/terminal_session.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.hpp"
#include "base/thread_annotations.hpp"
#include "base/unique_fd.hpp"
#include "base/utf8.hpp"
#include "error/internal_error.hpp"
#include "pool/process.hpp"
#include "sandbox/account_processes.hpp"
#include "sandbox/cgroup.hpp"
#include "sandbox/host_text.hpp"
#include "sandbox/mounts.hpp"
#include "sandbox/pidfd.hpp"

namespace lumvex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCreateHomeFailed = "Failed to create the temporary home directory";
constexpr const char* kKillFailed = "Failed to kill the terminal session";
// The control group (a leaf of the session's) that the shell runs in.
constexpr const char* kShellLeaf = "shell";
// The host's resolver file, and the address at which pasta forwards a
// session's name queries to the host's first name server.
constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kForwardedNameServer = "10.0.2.3";

enum Stream { kInput = 0, kOutput = 1, kError = 2 };

std::string os_error_text(int error) {
  return std::generic_category().message(error) + " (os error " + std::to_string(error) + ")";
}

// Takes an account from the pool. The pool's mutex is held only here. An
// InternalError from get_user (a host program that cannot be started) leaves
// the pool consistent, so it is rethrown only after the guard is gone and
// does not poison the pool.
ClaimedAccount take_account(SharedPool& shared, bool retry) {
  std::optional<ClaimedAccount> account;
  std::exception_ptr error;
  {
    PoolGuard pool(shared);
    try {
      account = pool->get_user(retry);
    } catch (const InternalError&) {
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
  if (!account) throw InternalError("Failed to get a user account from the pool");
  return std::move(*account);
}

// Blocks SIGPIPE for the calling thread while alive; a SIGPIPE raised in the
// meantime by a write to a pipe without reader is consumed before the mask is
// restored, unless one was already pending when the block began.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_set_);
    sigaddset(&pipe_set_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_mask_);
  }
  ~SigpipeBlock() {
    if (raised_ && !was_pending_) {
      const timespec zero{0, 0};
      while (::sigtimedwait(&pipe_set_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  void note_epipe() { raised_ = true; }

 private:
  sigset_t pipe_set_;
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool raised_ = false;
};

// The text given to `su -c`: the shell's HOME is the session's home, and the
// tail is the fixed "cd /; exec /bin/bash".
std::string shell_command(const std::string& home) {
  std::string quoted = "'";
  for (char c : home) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return "export HOME=" + quoted + "; cd /; exec /bin/bash";
}

// The shell's whole environment: PATH, TERM, LANG and LC_* of this process,
// and the account's HOME, USER, LOGNAME and SHELL. Nothing else of this
// process (tokens, credentials) reaches the account.
std::vector<std::string> session_environment(const std::string& home, const std::string& name) {
  std::vector<std::string> env;
  bool have_path = false;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    const bool path = text.starts_with("PATH=");
    if (path || text.starts_with("TERM=") || text.starts_with("LANG=") ||
        (text.starts_with("LC_") && text.find('=') != std::string_view::npos)) {
      env.emplace_back(text);
      have_path = have_path || path;
    }
  }
  if (!have_path) env.emplace_back("PATH=/usr/local/bin:/usr/bin:/bin");
  env.push_back("HOME=" + home);
  env.push_back("USER=" + name);
  env.push_back("LOGNAME=" + name);
  env.emplace_back("SHELL=/bin/bash");
  return env;
}

// The addresses of host `name` (IPv4 and IPv6, as text), or an error text.
std::expected<std::vector<std::string>, std::string> resolve_host(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (error != 0) {
    return std::unexpected("allow: cannot resolve \"" + name + "\": " + ::gai_strerror(error));
  }
  std::vector<std::string> addresses;
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw =
        at->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(at->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(at->ai_addr)->sin6_addr);
    if ((at->ai_family == AF_INET || at->ai_family == AF_INET6) &&
        ::inet_ntop(at->ai_family, raw, text, sizeof text) != nullptr &&
        std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
      addresses.emplace_back(text);
    }
  }
  ::freeaddrinfo(found);
  return addresses;
}

// The processes whose parent is `pid` (from /proc; empty when it is gone).
std::vector<pid_t> children_of(pid_t pid);

enum class Wait { kReady, kClosed, kInterrupted, kFailed };

// Waits until `fd` has `events` or `wake` is readable (the session's helper
// has ended: close has begun).
Wait wait_for(int fd, short events, int wake) {
  pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
  if (::poll(fds, 2, -1) < 0) return errno == EINTR ? Wait::kInterrupted : Wait::kFailed;
  if (fds[0].revents != 0) return Wait::kClosed;
  return Wait::kReady;
}

// How long a main process that the OOM killer has chosen is given to end
// when the deadline comes meanwhile.
constexpr std::chrono::milliseconds kOomSettle{250};

// Whether a command with wait status `status`, whose leaf counted
// `oom_kills`, was ended for want of memory: its main process ended by
// SIGKILL, or is a shell that reports a child so ended (status 128 + 9).
bool killed_for_memory(int status, std::uint64_t oom_kills) {
  if (oom_kills == 0 || status == -1) return false;
  return (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
         (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGKILL);
}

// Whether the process `pid` has ended or has a SIGKILL pending (is ending).
bool ending(pid_t pid) {
  if (pid <= 0) return true;
  HostResult<std::string> text = read_text("/proc/" + std::to_string(pid) + "/status");
  if (!text) return true;
  std::string_view rest(*text);
  bool killed = false;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.starts_with("State:")) {
      if (line.find_first_of("ZX") != std::string_view::npos) return true;
    } else if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) {
      line.remove_prefix(line.find(':') + 1);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      std::uint64_t mask = 0;
      if (std::from_chars(line.data(), line.data() + line.size(), mask, 16).ec == std::errc()) {
        killed = killed || (mask & (std::uint64_t{1} << (SIGKILL - 1))) != 0;
      }
    }
  }
  return killed;
}

}  // namespace

// The live parts of a session, which close() tears down: the session's
// helper (its first process, which stays for as long as the session is
// open) and the shell's three pipes. Calls that wait on the session wait on
// the helper's process descriptor too, which close() makes readable by
// ending the helper.
struct TerminalSession::Channel {
  PipedChild child;
};

// A started command (see start()): its helper, held until its ending has
// been collected, and what is needed to signal and end it.
struct TerminalSession::StartedEntry {
  ChildProcess helper;
  std::string leaf;                 // its control group leaf; empty without control groups
  pid_t pid = -1;                   // its main process, the leader of its process group
  bool closed = false;              // close() ended it
  bool released = false;            // forgotten by its caller while it ran
  std::optional<RunResult> result;  // once collected
};

struct TerminalSession::State {
  Mutex close_mutex ACQUIRED_BEFORE(mutex);  // one close at a time
  Mutex mutex;
  CondVar idle;                                      // calls dropped to 0 while closing
  std::optional<Channel> channel GUARDED_BY(mutex);  // absent once closed
  int calls GUARDED_BY(mutex) = 0;                   // stream calls using the channel's descriptors
  bool closing GUARDED_BY(mutex) = false;
  UniqueFd claim GUARDED_BY(close_mutex);  // the account's host-wide claim, while open

  // One call at a time per stream. They guard no field: they keep two calls
  // from reading (or writing) one pipe at once.
  Mutex streams[3];

  // Set once by make(), before the session is handed out.
  std::string home;
  std::string name;
  PoolHandle pool;
  std::uint32_t uid = 0;

  // The session's walls: its control groups, its store and its namespaces
  // (which commands enter through the helper's process descriptor). Set by
  // make(); close() ends and removes them only once every call has left
  // the session.
  SessionCgroup cgroup;
  AccountStore store;
  // The template under the home, while open (its layers stay while any
  // session or template holds them).
  TemplateRef layers GUARDED_BY(close_mutex);
  int namespaces = 0;  // CLONE_NEW* flags of the session's own namespaces
  std::optional<SessionUsage> final_usage GUARDED_BY(close_mutex);
  std::atomic<std::uint64_t> commands{0};  // numbers the commands' leaves
  std::map<std::uint64_t, StartedEntry> started GUARDED_BY(mutex);
  std::uint64_t last_started GUARDED_BY(mutex) = 0;
  // The relays of the exposed ports; they end with the session.
  std::vector<ChildProcess> relays GUARDED_BY(mutex);
};

// A call that uses the session's walls (its helper's descriptor, its
// control groups): close() waits for it to leave before it tears them down.
class TerminalSession::SessionCall {
 public:
  explicit SessionCall(State& state) : SessionCall(state, [](const Channel&) {}) {}
  // `also` runs on the session's channel, under the session's mutex, once
  // the call has entered.
  template <typename F>
  SessionCall(State& state, F&& also) : state_(state) {
    MutexLock lock(state_.mutex);
    if (!state_.channel || state_.closing) return;
    ++state_.calls;
    entered_ = true;
    wake_ = state_.channel->child.process.fd();
    also(*state_.channel);
  }
  ~SessionCall() {
    if (!entered_) return;
    MutexLock lock(state_.mutex);
    if (--state_.calls == 0 && state_.closing) state_.idle.notify_all();
  }
  SessionCall(const SessionCall&) = delete;
  SessionCall& operator=(const SessionCall&) = delete;

  explicit operator bool() const { return entered_; }
  int wake() const { return wake_; }

 private:
  State& state_;
  bool entered_ = false;
  int wake_ = -1;
};

// One call on a stream: holds the stream for its duration and counts among
// the calls that close() waits out before it closes their descriptors.
class TerminalSession::StreamCall {
 public:
  StreamCall(State& state, int stream)
      : stream_lock_(state.streams[stream]), call_(state, [&](const Channel& channel) {
          const PipedChild& child = channel.child;
          fd_ = stream == kInput    ? child.stdin_write.get()
                : stream == kOutput ? child.stdout_read.get()
                                    : child.stderr_read.get();
        }) {}

  explicit operator bool() const { return static_cast<bool>(call_); }
  int fd() const { return fd_; }
  int wake() const { return call_.wake(); }

 private:
  MutexLock stream_lock_;  // taken before the call enters, released after it leaves
  int fd_ = -1;
  SessionCall call_;
};

namespace {

// Ends what an earlier holder of the account left running outside its
// control groups (a job started through a host service, say). The kernel's
// count of the account's processes tells at a fixed cost whether there is
// any; if so, one kill(-1) as the account reaches all of them at once, a
// process being started meanwhile included, and nothing it reaches runs
// another instruction.
HostResult<void> end_leftovers(std::uint32_t uid) {
  HostResult<bool> any = account_has_processes(uid);
  if (any && !*any) return {};
  HostResult<bool> killed = kill_all_as(uid);
  if (!killed) return std::unexpected(killed.error());
  return {};
}

// Waits for the session's helper, asked to end, to be gone; one that takes
// longer than a moment (it clears the account's keyrings as it goes) is
// ended with SIGKILL. False when it is still there at `deadline`.
bool end_helper(ChildProcess& helper, Clock::time_point deadline) {
  if (helper.wait_until(std::min(deadline, Clock::now() + std::chrono::seconds(1)))) return true;
  helper.send(SIGKILL);
  return helper.wait_until(deadline);
}

// A closed session's home goes with its template's mounts, so that
// nothing mounted holds the template's layers once no session or template
// object does.
void release_layers(TemplateRef& layers, const std::string& name) {
  if (!layers) return;
  if (HostResult<UniqueFd> root = open_home_root(std::string(kHomeRoot)); root) {
    (void)detach_account_mounts(root->get(), std::string(kHomeRoot), name);
  }
  layers.reset();
}

// The pool's user namespace that maps the template owner to `uid` (made on
// first use; the claimed account is this session's alone meanwhile). The
// descriptor stays the pool's.
HostResult<int> account_idmap(SharedPool& pool, std::uint32_t uid) {
  {
    MutexLock lock(pool.idmap_mutex);
    for (const auto& [owner, fd] : pool.idmaps) {
      if (owner == uid) return fd.get();
    }
  }
  HostResult<UniqueFd> made = template_idmap(uid);
  if (!made) return std::unexpected(made.error());
  MutexLock lock(pool.idmap_mutex);
  return pool.idmaps.emplace_back(uid, std::move(*made)).second.get();
}

// The files of a session's private network with a way out. With an
// allow-list, its own hosts file: the allowed names answer from it (the
// name servers are out of reach unless allowed). Else, where the host's
// name server is on the host's own loopback (a local cache, a container
// runtime's resolver), its own resolver file naming pasta's forwarder,
// which passes the queries on to it: over the host's file, or in the
// session's own /run where the host's is a link into /run.
std::vector<SessionFile> network_files(const SandboxPolicy& policy,
                                       const std::vector<std::vector<std::string>>& allowed) {
  std::vector<SessionFile> files;
  if (policy.pasta.empty()) return files;
  if (policy.allow) {
    std::string hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";
    for (std::size_t i = 0; i < allowed.size(); ++i) {
      for (const std::string& address : allowed[i]) {
        hosts += address + "\t" + (*policy.allow)[i].address + "\n";
      }
    }
    files.push_back({"/etc/hosts", std::move(hosts)});
    return files;
  }
  HostResult<std::string> host = read_text(kResolvConf);
  if (!host) return files;
  std::optional<std::string> own = forwarded_resolver(*host, kForwardedNameServer);
  std::error_code ec;
  const std::filesystem::path where = std::filesystem::canonical(kResolvConf, ec);
  if (own && !ec) files.push_back({where.native(), std::move(*own)});
  return files;
}

// The private network of a new session (in `ns`, its namespace): the one
// the pool made ahead, else a new one; the pool then starts the next. None
// where it could not be made: the session's helper then starts pasta
// itself, and says why that failed if it does.
std::optional<PrivateNetwork> take_network(SharedPool& pool, UniqueFd& ns) {
  std::optional<PrivateNetwork> taken;
  {
    MutexLock lock(pool.network_mutex);
    taken.swap(pool.next_network);
  }
  if (!taken) {
    if (HostResult<PrivateNetwork> made = PrivateNetwork::start(pool.policy.pasta)) {
      taken = std::move(*made);
    }
  }
  if (taken) {
    if (HostResult<UniqueFd> opened = taken->open()) {
      ns = std::move(*opened);
    } else {
      taken.reset();
    }
  }
  HostResult<PrivateNetwork> next = PrivateNetwork::start(pool.policy.pasta);
  MutexLock lock(pool.network_mutex);
  if (next && !pool.next_network) pool.next_network = std::move(*next);
  return taken;
}

// The pool's base mount namespace (made on first use; the descriptor stays
// the pool's), or -1 where it cannot be made.
int base_mounts(SharedPool& pool, const std::string& home_root) {
  MutexLock lock(pool.base_mutex);
  if (!pool.base_mounts && !pool.base_unavailable) {
    HostResult<UniqueFd> made = make_base_mounts(home_root);
    if (made) {
      pool.base_mounts = std::move(*made);
    } else {
      pool.base_unavailable = true;
    }
  }
  return pool.base_mounts.get();
}

[[noreturn]] void throw_host(const HostError& error) {
  throw InternalError(error.message());
}

}  // namespace

std::expected<TerminalSession, std::string> TerminalSession::make(PoolHandle pool,
                                                                  TemplateRef layers) {
  if (!layers) layers = pool->default_template;
  if (layers && !pool->policy.private_mounts) {
    return std::unexpected(
        "Failed to start the session from a template: templates need sessions with a store of "
        "their own (root with the right to mount)");
  }
  // An account whose last close failed is tried once: if what it left cannot
  // be ended now either, it goes back aside and another account is taken.
  // The allow-list's host names are resolved first, with the host's
  // resolver (a name that has no address fails before an account is taken):
  // the session reaches the addresses they have as it starts.
  std::vector<std::vector<std::string>> allowed;
  if (pool->policy.allow) {
    for (const AllowEntry& entry : *pool->policy.allow) {
      allowed.emplace_back();
      if (!entry.name) continue;
      std::expected<std::vector<std::string>, std::string> found = resolve_host(entry.address);
      if (!found) return std::unexpected(found.error());
      allowed.back() = std::move(*found);
    }
  }
  for (bool retry = true;; retry = false) {
    ClaimedAccount account = take_account(*pool, retry);
    const bool retried = account.retried;
    const std::uint32_t uid = account.uid;
    try {
      return make_with(pool, std::move(account), layers, allowed);
    } catch (const InternalError&) {
      if (!retried) throw;
      PoolGuard guard(*pool);
      guard->park_user(uid);
    }
  }
}

std::expected<TerminalSession, std::string> TerminalSession::make_with(
    const PoolHandle& pool, ClaimedAccount account, const TemplateRef& layers,
    const std::vector<std::vector<std::string>>& allowed) {
  const SandboxPolicy& policy = pool->policy;
  auto state = std::make_unique<State>();
  MutexLock one_close(state->close_mutex);

  // From here on a failure keeps the account out of the pool: it may be in an
  // unknown state on the host. The claim made sure that no live session
  // anywhere runs as the account, so whatever still runs as it is left over
  // and goes before the home is touched.
  const Clock::time_point deadline = Clock::now() + kEndTimeout;
  if (policy.walls.cgroup) {
    HostResult<SessionCgroup> made =
        SessionCgroup::create(policy.cgroups, account.name, policy.limits, deadline);
    if (!made) throw_host(made.error());
    state->cgroup = std::move(*made);
    if (HostResult<void> ended = end_leftovers(account.uid); !ended) {
      throw InternalError("Failed to end the processes left running by the user account " +
                          account.name + ": " + ended.error().message());
    }
  } else if (HostResult<void> ended = end_account_processes(account.uid, deadline); !ended) {
    throw InternalError("Failed to end the processes left running by the user account " +
                        account.name + ": " + ended.error().message());
  }

  HostResult<UniqueFd> opened_root = open_home_root(std::string(kHomeRoot));
  if (!opened_root) throw InternalError(kCreateHomeFailed);
  UniqueFd root = std::move(*opened_root);
  std::error_code ec;
  std::filesystem::path canonical_root = std::filesystem::canonical(kHomeRoot, ec);
  std::string home = canonical_root.native() + "/" + account.name;
  if (policy.private_mounts) {
    // A new store replaces the old one whatever it held; the home is its.
    int idmap = -1;
    if (layers) {
      HostResult<int> found = account_idmap(*pool, account.uid);
      if (!found) {
        return std::unexpected("Failed to start the session from a template: " +
                               found.error().message());
      }
      idmap = *found;
    }
    HostResult<AccountStore> store =
        AccountStore::reset(root.get(), std::string(kHomeRoot), account.name, account.uid,
                            policy.disk, layers.get(), idmap);
    if (!store && layers) {
      return std::unexpected("Failed to start the session from a template: " +
                             store.error().message());
    }
    if (!store)
      throw InternalError(std::string(kCreateHomeFailed) + ": " + store.error().message());
    state->store = std::move(*store);
    if (ec || !is_valid_utf8(home)) return std::unexpected(kCreateHomeFailed);
  } else {
    // Whatever is at the home path goes: a store that a walled session of
    // the account left, a directory with everything below it, or a link
    // itself, never what a link points to.
    if (!detach_account_mounts(root.get(), std::string(kHomeRoot), account.name) ||
        !remove_tree_at(root.get(), account.name)) {
      throw InternalError("Failed to remove the existing temporary home directory");
    }
    HostResult<UniqueFd> made_home = make_private_dir_at(root.get(), account.name);
    if (!made_home) throw InternalError(kCreateHomeFailed);
    UniqueFd home_fd = std::move(*made_home);
    if (ec || !is_valid_utf8(home)) return std::unexpected(kCreateHomeFailed);
    if (::fchown(home_fd.get(), account.uid, account.uid) != 0) {
      return std::unexpected("Failed to change the ownership of the home directory: " +
                             os_error_text(errno));
    }
  }

  // The shell's walls, set up by its first process before `su` runs: its
  // control groups, its namespaces and its view of the files.
  ChildPlan plan;
  CgroupJoin join;
  if (state->cgroup.active()) {
    HostResult<CgroupJoin> made = state->cgroup.join(kShellLeaf);
    if (!made) throw_host(made.error());
    join = std::move(*made);
    join.add_to(plan);
  }
  UniqueFd store_tree;
  if (policy.private_mounts) {
    if (const int base = base_mounts(*pool, canonical_root.native()); base >= 0) {
      if (HostResult<UniqueFd> tree = state->store.clone_tree(); tree) {
        store_tree = std::move(*tree);
        plan.base_mounts = base;
      }
    }
    add_session_mounts(plan, state->store, canonical_root.native(), account.name,
                       policy.private_network, store_tree.get(), network_files(policy, allowed));
  }
  plan.no_new_privs = true;
  plan.syscall_filter = policy.walls.syscalls;
  plan.keyring_uid = account.uid;
  plan.workdir = "/";
  plan.umask = 022;
  // The helper stays as the session's first process, with a lifeline to
  // this one: if this process dies, the session ends with it.
  plan.stay = true;
  UniqueFd lifeline = open_pidfd(::getpid());
  if (!lifeline) {
    throw InternalError("Failed to open this process's descriptor: " +
                        std::generic_category().message(errno));
  }
  plan.lifeline = lifeline.get();
  plan.claim = account.claim.get();
  plan.cleanup = state->cgroup.paths();
  if ((plan.clone_flags & CLONE_NEWPID) == 0) plan.kill_uid = account.uid;
  UniqueFd network;
  std::optional<PrivateNetwork> made_ahead;
  if (!policy.pasta.empty() && (plan.clone_flags & CLONE_NEWNET) != 0) {
    made_ahead = take_network(*pool, network);
    if (network) {
      plan.network = network.get();
    } else {
      plan.pasta = policy.pasta.c_str();
    }
    if (policy.allow) {
      plan.nft = policy.nft.c_str();
      plan.firewall = plan.keep(firewall_rules(*policy.allow, allowed));
    }
  }

  SpawnOptions options;
  options.environment = session_environment(home, account.name);
  options.process_limit = policy.processes;
  options.plan = &plan;
  PipedChild child = start_piped(
      "su", {"-s", "/bin/bash", "-P", "-c", shell_command(home), account.name}, std::move(options));
  // The network made ahead lives as long as the session's first process.
  if (made_ahead) made_ahead->hand_over(child.process.fd());
  state->namespaces = plan.clone_flags;
  state->layers = layers;
  state->home = std::move(home);
  state->name = account.name;
  state->pool = pool;
  state->uid = account.uid;
  {
    MutexLock lock(state->mutex);
    state->channel.emplace(Channel{std::move(child)});
    state->claim = std::move(account.claim);
  }
  return TerminalSession(std::move(state));
}

TerminalSession::TerminalSession(std::unique_ptr<State> state) : state_(std::move(state)) {}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept = default;

TerminalSession::~TerminalSession() {
  try {
    close();
  } catch (const InternalError&) {
    // Nothing to report to from a destructor; see the header.
  }
}

void TerminalSession::close() {
  if (!state_) return;
  State& state = *state_;
  MutexLock one_close(state.close_mutex);
  std::optional<Channel> channel;
  std::vector<UniqueFd> helper_children;
  {
    MutexLock lock(state.mutex);
    if (!state.channel) return;
    state.closing = true;
    // The helper's end wakes the calls waiting on the session. Asked with
    // SIGTERM, it ends every process of the session at once (it is the
    // first process of the session's process namespace) and clears the
    // account's keyrings before it exits. Without that namespace or control
    // groups, what the helper started (`su`, root's) is held first, to be
    // ended below.
    ChildProcess& helper = state.channel->child.process;
    if (!state.cgroup.active() && (state.namespaces & CLONE_NEWPID) == 0) {
      for (pid_t child : children_of(helper.pid())) {
        if (UniqueFd fd = open_pidfd(child)) helper_children.push_back(std::move(fd));
      }
    }
    // Started commands still running now end with the session, by its close.
    for (auto& [id, entry] : state.started) {
      if (!entry.result && !entry.helper.wait_until(Clock::now())) entry.closed = true;
    }
    helper.send(SIGTERM);
    // Wait until the calls have let go of the descriptors, closed below.
    while (state.calls != 0) state.idle.wait(state.mutex);
    channel = std::move(state.channel);
    state.channel.reset();
    state.closing = false;
  }

  // The relays ended with the session's processes; their helpers are
  // reaped here.
  std::vector<ChildProcess> relays;
  {
    MutexLock lock(state.mutex);
    relays.swap(state.relays);
  }
  // The claim ends with the session, also when ending it fails below; an
  // account left in an unknown state is set aside and tried again later.
  UniqueFd claim = std::move(state.claim);
  try {
    end_processes(state, *channel, helper_children, state.final_usage);
  } catch (const InternalError&) {
    state.store.detach();
    release_layers(state.layers, state.name);
    claim.reset();
    {
      PoolGuard guard(*state.pool);
      guard->park_user(state.uid);
    }
    throw;
  }
  state.store.detach();
  release_layers(state.layers, state.name);

  // Nothing runs as the account any more: another pool may have it now.
  claim.reset();
  PoolGuard guard(*state.pool);
  guard->release_user(state.uid);
}

std::expected<TemplateRef, std::string> TerminalSession::snapshot() {
  if (!state_) return std::unexpected("Failed to snapshot the terminal session: it is closed");
  State& state = *state_;
  // Close waits: the store stays while it is copied.
  MutexLock one_close(state.close_mutex);
  {
    MutexLock lock(state.mutex);
    if (!state.channel) {
      return std::unexpected("Failed to snapshot the terminal session: it is closed");
    }
  }
  auto failed = [](const HostError& error) {
    return std::unexpected("Failed to snapshot the terminal session: " + error.message());
  };
  HostResult<UniqueFd> root = open_home_root(std::string(kHomeRoot));
  if (!root) return failed(root.error());
  constexpr int kDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd from;
  if (state.store.valid()) {
    // The store's own directory: what the session wrote, never the overlay.
    UniqueFd stores(::openat(root->get(), ".store", kDir));
    UniqueFd top(stores ? ::openat(stores.get(), state.name.c_str(), kDir) : -1);
    if (top) from = UniqueFd(::openat(top.get(), state.layers ? "upper" : "home", kDir));
  } else {
    from = UniqueFd(::openat(root->get(), state.name.c_str(), kDir));
  }
  if (!from) return failed(HostError{"open the session's files", errno});
  // A session that changed nothing is its template, as it was.
  if (state.layers) {
    HostResult<bool> empty = directory_is_empty(from.get());
    if (!empty) return failed(empty.error());
    if (*empty) return state.layers;
  }
  TemplateLayer::Source source =
      state.layers ? TemplateLayer::Source::kUpper : TemplateLayer::Source::kDirectory;
  TemplateRef below = state.layers;
  // The layer holds at most what the session may store (a home without a
  // store too: its snapshot takes no more of the host's memory than a
  // store's would), in files of 8 KiB on average.
  const std::uint64_t limit = transfer_limit();
  TemplateLayer::Bounds bounds{limit, std::max(kMinInodes, limit / kBytesPerInode)};
  if (below && below->depth() >= kMaxTemplateLayers) {
    // A stack as deep as it may be: the home as the session sees it becomes
    // one new first layer (a copy of everything, once per so many snapshots).
    UniqueFd stores(::openat(root->get(), ".store", kDir));
    UniqueFd top(stores ? ::openat(stores.get(), state.name.c_str(), kDir) : -1);
    from = UniqueFd(top ? ::openat(top.get(), "home", kDir) : -1);
    if (!from) return failed(HostError{"open the session's files", errno});
    source = TemplateLayer::Source::kDirectory;
    for (const TemplateLayer* layer = below.get(); layer != nullptr; layer = layer->below().get()) {
      bounds.bytes += layer->bytes();
      bounds.entries += layer->entries();
    }
    below = nullptr;
  }
  HostResult<TemplateRef> made = TemplateLayer::make(from.get(), source, std::move(below), bounds);
  if (!made) return failed(made.error());
  return std::move(*made);
}

void TerminalSession::end_processes(State& state, Channel& channel,
                                    std::vector<UniqueFd>& helper_children,
                                    std::optional<SessionUsage>& final_usage) {
  ChildProcess& helper = channel.child.process;
  const Clock::time_point deadline = Clock::now() + kEndTimeout;
  auto close_pipes = [&] {
    channel.child.stdin_write.reset();
    channel.child.stdout_read.reset();
    channel.child.stderr_read.reset();
  };
  if (state.cgroup.active()) {
    // Everything the session started, detached or not, `su` included, ends
    // at once with its control group.
    HostResult<void> killed = state.cgroup.kill(deadline);
    close_pipes();
    if (!killed) throw InternalError(std::string(kKillFailed) + ": " + killed.error().message());
    if (!end_helper(helper, deadline)) {
      throw InternalError(std::string(kKillFailed) + ": the session helper did not end");
    }
    final_usage = state.cgroup.usage();
    if (HostResult<void> removed = state.cgroup.remove(deadline); !removed) {
      throw InternalError(std::string(kKillFailed) + ": " + removed.error().message());
    }
    return;
  }

  // Without control groups: what the helper started ends by its process
  // descriptor, and whatever else runs as the account through /proc.
  for (const UniqueFd& child : helper_children) pidfd_signal(child.get(), SIGKILL);
  const HostResult<void> ended = end_account_processes(state.uid, deadline);
  close_pipes();
  if (!end_helper(helper, deadline)) {
    throw InternalError(std::string(kKillFailed) + ": the session helper did not end");
  }
  if (!ended) throw InternalError(std::string(kKillFailed) + ": " + ended.error().message());
}

StreamResult TerminalSession::write(std::string_view data) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  StreamCall call(*state_, kInput);
  if (!call) return std::unexpected(StreamError::kFailed);
  SigpipeBlock block;
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::write(call.fd(), data.data() + sent, data.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      Wait result = errno == EINTR ? Wait::kInterrupted : wait_for(call.fd(), POLLOUT, call.wake());
      if (result == Wait::kReady) continue;
      if (result == Wait::kInterrupted) {
        if (sent > 0) return sent;
        return std::unexpected(StreamError::kInterrupted);
      }
      return std::unexpected(StreamError::kFailed);
    }
    if (n < 0 && errno == EPIPE) block.note_epipe();
    return std::unexpected(StreamError::kFailed);
  }
  return sent;
}

StreamResult TerminalSession::read_stdout(std::span<char> buffer) {
  return read_from(kOutput, buffer);
}

StreamResult TerminalSession::read_stderr(std::span<char> buffer) {
  return read_from(kError, buffer);
}

StreamResult TerminalSession::read_from(int stream, std::span<char> buffer) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  StreamCall call(*state_, stream);
  if (!call) return std::unexpected(StreamError::kFailed);
  if (buffer.empty()) return 0;
  for (;;) {
    ssize_t n = ::read(call.fd(), buffer.data(), buffer.size());
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) {
      // The shell's end of the stream, unless close() ended the shell.
      MutexLock lock(state_->mutex);
      if (state_->closing) return std::unexpected(StreamError::kFailed);
      return 0;
    }
    if (errno == EINTR) return std::unexpected(StreamError::kInterrupted);
    if (errno != EAGAIN) return std::unexpected(StreamError::kFailed);
    switch (wait_for(call.fd(), POLLIN, call.wake())) {
      case Wait::kReady:
        continue;
      case Wait::kInterrupted:
        return std::unexpected(StreamError::kInterrupted);
      case Wait::kClosed:
      case Wait::kFailed:
        return std::unexpected(StreamError::kFailed);
    }
  }
}

void TerminalSession::disown() NO_THREAD_SAFETY_ANALYSIS {
  // The state is left behind on purpose: destroying it would take its
  // locks, whose copies may be held for ever.
  State* state = state_.release();
  if (state == nullptr) return;
  if (state->channel) {
    state->channel->child.process.abandon();
    state->channel->child.stdin_write.reset();
    state->channel->child.stdout_read.reset();
    state->channel->child.stderr_read.reset();
  }
  for (auto& [id, entry] : state->started) entry.helper.abandon();
  state->claim.reset();
  state->store.abandon();
}

namespace {

std::vector<pid_t> children_of(pid_t pid) {
  const std::string path =
      "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  HostResult<std::string> text = read_text(path);
  std::vector<pid_t> children;
  if (!text) return children;
  std::size_t at = 0;
  while (at < text->size()) {
    pid_t child = 0;
    auto [end, ec] = std::from_chars(text->data() + at, text->data() + text->size(), child);
    if (ec != std::errc()) break;
    children.push_back(child);
    at = static_cast<std::size_t>(end - text->data()) + 1;
  }
  return children;
}

// The foreground process group of `pid`'s terminal (field tpgid of its
// stat), 0 when it has none or is gone.
pid_t terminal_group_of(pid_t pid) {
  HostResult<std::string> text = read_text("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return 0;
  // Fields after the command name, which ends with the last ')'.
  std::size_t at = text->rfind(')');
  if (at == std::string::npos) return 0;
  std::string_view rest(*text);
  rest.remove_prefix(at + 1);
  long fields[6] = {};
  for (long& field : fields) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!rest.empty() && (rest.front() < '0' || rest.front() > '9') && rest.front() != '-') {
      rest.remove_prefix(1);  // the state letter
      field = 0;
      continue;
    }
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), field);
    if (ec != std::errc()) return 0;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
  }
  // state ppid pgrp session tty_nr tpgid
  return fields[5] > 0 ? static_cast<pid_t>(fields[5]) : 0;
}

}  // namespace

std::expected<bool, StreamError> TerminalSession::send_signal(int signal) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  pid_t top = -1;
  {
    MutexLock lock(state.mutex);
    if (!state.channel || state.closing) return std::unexpected(StreamError::kFailed);
    top = state.channel->child.process.pid();
  }
  // `su` runs the shell on a terminal of its own; `su` is the session
  // helper's child. The shell's stat names the terminal's foreground group,
  // which is signalled as the account: whatever that number names now, only
  // the account's own processes can receive it.
  for (pid_t s : children_of(top)) {
    for (pid_t shell : children_of(s)) {
      const pid_t group = terminal_group_of(shell);
      if (group <= 0) continue;
      HostResult<bool> sent = signal_as(state.uid, -group, signal);
      if (!sent) throw_host(sent.error());
      return *sent;
    }
  }
  return std::unexpected(StreamError::kFailed);
}

std::expected<std::uint16_t, StreamError> TerminalSession::expose(std::uint16_t port) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  int wake = -1;
  {
    MutexLock lock(state.mutex);
    if (!state.channel || state.closing) return std::unexpected(StreamError::kFailed);
    ++state.calls;
    wake = state.channel->child.process.fd();
  }
  struct Leave {
    State& state;
    ~Leave() {
      MutexLock lock(state.mutex);
      if (--state.calls == 0 && state.closing) state.idle.notify_all();
    }
  } leave{state};

  // The listener, on this side's loopback: only this host's processes reach it.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw InternalError("Failed to make a listener for the exposed port: " +
                        std::generic_category().message(errno));
  }
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null) throw InternalError("Failed to open /dev/null");

  const SandboxPolicy& policy = state.pool->policy;
  // A command's plan, in a leaf of its own that stays until the session ends.
  ChildPlan plan;
  CgroupJoin join;
  RunRequest request;
  request.workdir = "/";
  command_plan(state, request, wake, "expose-" + std::to_string(++state.commands), plan, join);
  SpawnOptions options;
  options.stdin_fd = listener.get();
  options.stdout_fd = null.get();
  options.stderr_fd = null.get();
  options.environment = std::vector<std::string>{};
  options.process_limit = policy.processes;
  options.plan = &plan;
  options.transfer = true;
  ChildProcess relay = spawn("relay", {std::to_string(port)}, options);
  MutexLock lock(state.mutex);
  if (!state.channel || state.closing) return std::unexpected(StreamError::kFailed);
  state.relays.push_back(std::move(relay));
  return ntohs(address.sin_port);
}

std::uint64_t TerminalSession::transfer_limit() const {
  if (!state_) return 0;
  const SandboxPolicy& policy = state_->pool->policy;
  return policy.walls.disk ? policy.disk : kDefaultDiskCap;
}

std::vector<std::string> TerminalSession::environment() const {
  if (!state_) return {};
  return session_environment(state_->home, state_->name);
}

void TerminalSession::command_plan(State& state, const RunRequest& request, int wake,
                                   const std::string& leaf, ChildPlan& plan, CgroupJoin& join) {
  const SandboxPolicy& policy = state.pool->policy;
  if (state.cgroup.active()) {
    HostResult<CgroupJoin> made = state.cgroup.join(leaf);
    if (!made) throw_host(made.error());
    join = std::move(*made);
    join.add_to(plan);
  }
  if (state.namespaces != 0) {
    // The session's namespaces, all at once, through its helper's process
    // descriptor (the helper lives while a call is in the session).
    ChildStep step;
    step.kind = ChildStep::kSetns;
    step.fd = wake;
    step.flags = static_cast<unsigned long>(state.namespaces);
    plan.steps.push_back(step);
  }
  plan.no_new_privs = true;
  plan.syscall_filter = policy.walls.syscalls;
  plan.keyring_uid = state.uid;
  plan.new_session = true;
  plan.uid = state.uid;
  plan.gid = state.uid;
  plan.umask = 022;
  plan.workdir = request.workdir.c_str();
}

namespace {

// Starts a command with `start`. False when it could not run (its working
// directory, or what the session does inside its walls, such as a full
// process cap: the command fails, not the session), the reason in
// `out.workdir_error` or `out.start_error`, and what remains of its control
// group leaf gone with it.
template <typename Out, typename Start>
bool start_command(const SessionCgroup& cgroup, const std::string& leaf, Out& out, Start&& start) {
  try {
    start();
    return true;
  } catch (const WorkdirError& error) {
    out.workdir_error = error.error();
  } catch (const ProgramStartError& error) {
    out.start_error = error.error();
  }
  if (cgroup.active()) {
    [[maybe_unused]] HostResult<void> removed =
        cgroup.remove_leaf(leaf, Clock::now() + TerminalSession::kEndTimeout);
  }
  return false;
}

}  // namespace

std::expected<TerminalSession::RunResult, StreamError> TerminalSession::run(
    const RunRequest& request) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  // A call on the session: close() waits for it to leave (waking it first).
  SessionCall call(state);
  if (!call) return std::unexpected(StreamError::kFailed);
  const int wake = call.wake();

  const SandboxPolicy& policy = state.pool->policy;
  const std::string leaf = "command-" + std::to_string(++state.commands);
  ChildPlan plan;
  CgroupJoin join;
  command_plan(state, request, wake, leaf, plan, join);

  pid_t command_pid = -1;
  SpawnOptions options;
  options.environment = request.environment;
  options.process_limit = policy.processes;
  options.plan = &plan;
  options.program_pid = &command_pid;
  options.transfer = !request.transfer.empty();
  RunResult result;
  PipedChild command;
  auto closing = [&] {
    MutexLock lock(state.mutex);
    return state.closing;
  };
  const bool started = start_command(state.cgroup, leaf, result, [&] {
    if (request.transfer.empty()) {
      command = start_piped("/bin/bash", {"-c", request.command}, std::move(options),
                            request.input.has_value());
    } else {
      command = start_piped(request.transfer.front(),
                            {request.transfer.begin() + 1, request.transfer.end()},
                            std::move(options), request.input.has_value());
    }
  });
  if (!started) {
    if (closing()) return std::unexpected(StreamError::kFailed);
    return result;
  }
  ChildProcess& child = command.process;
  UniqueFd& in_write = command.stdin_write;
  UniqueFd& out_read = command.stdout_read;
  UniqueFd& err_read = command.stderr_read;

  std::optional<Clock::time_point> deadline;
  if (request.timeout) {
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(*request.timeout);
  }
  // The command's processes end with its leaf, or (without control groups)
  // with its process group.
  auto end_command = [&] {
    if (state.cgroup.active()) {
      if (HostResult<void> killed = state.cgroup.kill(Clock::now() + kEndTimeout, leaf); !killed) {
        throw_host(killed.error());
      }
    } else if (command_pid > 0) {
      ::kill(-command_pid, SIGKILL);
    }
  };
  const bool counted = state.cgroup.active();
  PumpEnd end;
  {
    SigpipeBlock block;
    end = pump(in_write, request.input ? std::string_view(*request.input) : std::string_view(),
               out_read, result.out, err_read, result.err, request.max_output, deadline, wake);
  }
  if (end == PumpEnd::kEnded && !child.wait_until(deadline.value_or(Clock::time_point::max()))) {
    end = PumpEnd::kDeadline;
  }
  if (end == PumpEnd::kEnded && closing()) end = PumpEnd::kWoken;  // close() ended it
  bool oom_first = false;
  if (end == PumpEnd::kDeadline && counted && !closing()) {
    // The OOM killer counts a kill after sending SIGKILL: a main process
    // that it has chosen is on its way out, and is given a moment to go, so
    // that the deadline does not take the credit.
    if (state.cgroup.leaf_usage(leaf).oom_kills > 0 && ending(command_pid) &&
        child.wait_until(Clock::now() + kOomSettle)) {
      oom_first = killed_for_memory(child.status(), 1);
    }
  }
  if (end == PumpEnd::kEnded) {
    result.status = child.status();
  } else {
    end_command();
    child.send(SIGKILL);
    child.wait();
    // What the streams still hold is the command's output so far.
    if (out_read || err_read) {
      in_write.reset();
      pump(in_write, {}, out_read, result.out, err_read, result.err, request.max_output,
           Clock::now() + std::chrono::milliseconds(100), -1);
    }
    if (end == PumpEnd::kFailed) return std::unexpected(StreamError::kFailed);
    if (end == PumpEnd::kWoken) {
      result.end = RunResult::End::kClosed;
      result.killed_by = KilledBy::kClose;
    } else if (oom_first) {
      result.status = child.status();
    } else {
      result.end = RunResult::End::kTimedOut;
      result.killed_by = KilledBy::kTimeout;
    }
  }
  // The command's own figures, from its leaf before the leaf goes. A leaf
  // whose command left processes running in the background stays until the
  // session ends.
  if (counted) result.usage = state.cgroup.leaf_usage(leaf);
  if (result.end == RunResult::End::kExited) {
    const int status = result.status;
    if (killed_for_memory(status, result.usage.oom_kills)) {
      result.killed_by = KilledBy::kOom;
    } else if (status != -1 && WIFSIGNALED(status)) {
      result.killed_by = KilledBy::kSignal;
    }
  }
  if (counted) {
    [[maybe_unused]] HostResult<void> removed =
        state.cgroup.remove_leaf(leaf, Clock::now(), result.usage.oom_kills);
  }
  return result;
}

namespace {

// The processes of process group `group` that started at or after
// `since` (seconds since boot), from /proc.
std::vector<pid_t> group_members(pid_t group, double since) {
  std::vector<pid_t> members;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    pid_t pid = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc()) continue;
    HostResult<std::string> text = read_text("/proc/" + name + "/stat");
    if (!text) continue;
    // The fields after the command name, which ends with the last ')':
    // state is the first, pgrp the third, starttime the twentieth.
    const std::size_t close = text->rfind(')');
    if (close == std::string::npos) continue;
    std::string_view rest = std::string_view(*text).substr(close + 1);
    std::uint64_t pgrp = 0, start = 0;
    for (int field = 1; field <= 20 && !rest.empty(); ++field) {
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      const std::size_t end = std::min(rest.find(' '), rest.size());
      if (field == 3 || field == 20) {
        std::from_chars(rest.data(), rest.data() + end, field == 3 ? pgrp : start);
      }
      rest.remove_prefix(end);
    }
    if (pgrp == static_cast<std::uint64_t>(group) && ticks > 0 &&
        static_cast<double>(start) / static_cast<double>(ticks) >= since) {
      members.push_back(pid);
    }
  }
  return members;
}

// Whether process descriptor `fd` is readable (its process has ended).
bool has_ended(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

UniqueFd duplicate(int fd) {
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!copy) throw InternalError("Failed to duplicate a descriptor: " + os_error_text(errno));
  return copy;
}

void set_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    throw InternalError("Failed to set a descriptor's mode: " + os_error_text(errno));
  }
}

}  // namespace

std::expected<TerminalSession::Started, StreamError> TerminalSession::start(
    const RunRequest& request, bool terminal) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  SessionCall call(state);
  if (!call) return std::unexpected(StreamError::kFailed);

  const std::string leaf = "command-" + std::to_string(++state.commands);
  ChildPlan plan;
  CgroupJoin join;
  command_plan(state, request, call.wake(), leaf, plan, join);
  pid_t command_pid = -1;
  SpawnOptions options;
  options.environment = request.environment;
  options.process_limit = state.pool->policy.processes;
  options.plan = &plan;
  options.program_pid = &command_pid;

  // Commands forgotten while they ran and ended since go now (their
  // processes reaped, their leaves removed if nothing is left in them).
  std::vector<std::string> gone;
  {
    MutexLock lock(state.mutex);
    for (auto it = state.started.begin(); it != state.started.end();) {
      StartedEntry& entry = it->second;
      if (!entry.released || !entry.helper.wait_until(Clock::now())) {
        ++it;
        continue;
      }
      if (!entry.leaf.empty()) gone.push_back(entry.leaf);
      it = state.started.erase(it);
    }
  }
  for (const std::string& old : gone) {
    [[maybe_unused]] HostResult<void> removed = state.cgroup.remove_leaf(old, Clock::now());
  }

  Started started;
  ChildProcess child;
  const bool began = start_command(state.cgroup, leaf, started, [&] {
    if (terminal) {
      // A pseudo-terminal of the host's: the command holds only its end of
      // it (no path to it is given), which becomes its controlling
      // terminal.
      UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      if (!master || ::unlockpt(master.get()) != 0) {
        throw InternalError("Failed to open a pseudo-terminal: " + os_error_text(errno));
      }
      const winsize size{24, 80, 0, 0};
      ::ioctl(master.get(), TIOCSWINSZ, &size);
      UniqueFd peer(::ioctl(master.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC));
      if (!peer) throw InternalError("Failed to open a pseudo-terminal: " + os_error_text(errno));
      plan.controlling_terminal = true;
      options.stdin_fd = options.stdout_fd = options.stderr_fd = peer.get();
      child = spawn("/bin/bash", {"-c", request.command}, options);
      started.input = duplicate(master.get());
      started.output = std::move(master);
    } else {
      PipedChild piped = start_piped("/bin/bash", {"-c", request.command}, std::move(options));
      for (const UniqueFd* fd : {&piped.stdin_write, &piped.stdout_read, &piped.stderr_read}) {
        set_blocking(fd->get());
      }
      child = std::move(piped.process);
      started.input = std::move(piped.stdin_write);
      started.output = std::move(piped.stdout_read);
      started.error = std::move(piped.stderr_read);
    }
  });
  if (!began) {
    return started;
  }
  started.ended = duplicate(child.fd());
  started.pid = command_pid;
  MutexLock lock(state.mutex);
  started.id = ++state.last_started;
  StartedEntry& entry = state.started[started.id];
  entry.helper = std::move(child);
  entry.leaf = state.cgroup.active() ? leaf : std::string();
  entry.pid = command_pid;
  return started;
}

std::expected<std::optional<TerminalSession::RunResult>, StreamError> TerminalSession::poll_started(
    std::uint64_t id) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  SessionCall call(state);  // keeps the control groups while their figures are read
  MutexLock lock(state.mutex);
  auto found = state.started.find(id);
  if (found == state.started.end()) return std::unexpected(StreamError::kFailed);
  StartedEntry& entry = found->second;
  if (entry.result) return entry.result;
  if (!entry.helper.wait_until(Clock::now())) return std::optional<RunResult>();
  RunResult result;
  result.status = entry.helper.status();
  if (call && !entry.leaf.empty()) result.usage = state.cgroup.leaf_usage(entry.leaf);
  if (entry.closed) {
    result.end = RunResult::End::kClosed;
    result.killed_by = KilledBy::kClose;
  } else if (killed_for_memory(result.status, result.usage.oom_kills)) {
    result.killed_by = KilledBy::kOom;
  } else if (result.status != -1 && WIFSIGNALED(result.status)) {
    result.killed_by = KilledBy::kSignal;
  }
  entry.result = result;
  return entry.result;
}

std::expected<bool, StreamError> TerminalSession::signal_started(std::uint64_t id, int signal,
                                                                 double since) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  SessionCall call(state);
  if (!call) return std::unexpected(StreamError::kFailed);
  pid_t group = -1;
  {
    MutexLock lock(state.mutex);
    auto found = state.started.find(id);
    if (found == state.started.end()) return std::unexpected(StreamError::kFailed);
    const StartedEntry& entry = found->second;
    if (entry.result || entry.helper.reaped() || has_ended(entry.helper.fd())) return false;
    group = entry.pid;
  }
  if (group <= 0) return false;
  // As the account: whatever the numbers name by now, only the account's
  // own processes can receive it.
  std::vector<pid_t> targets;
  if (since >= 0) {
    for (pid_t member : group_members(group, since)) {
      if (member != group) targets.push_back(member);
    }
  } else {
    targets.push_back(-group);
  }
  bool sent = false;
  for (pid_t target : targets) {
    HostResult<bool> one = signal_as(state.uid, target, signal);
    if (!one) throw_host(one.error());
    sent = sent || *one;
  }
  return sent;
}

std::expected<void, StreamError> TerminalSession::kill_started(std::uint64_t id) {
  if (!state_) return std::unexpected(StreamError::kFailed);
  State& state = *state_;
  SessionCall call(state);
  if (!call) return std::unexpected(StreamError::kFailed);
  std::string leaf;
  pid_t group = -1;
  {
    MutexLock lock(state.mutex);
    auto found = state.started.find(id);
    if (found == state.started.end()) return std::unexpected(StreamError::kFailed);
    leaf = found->second.leaf;
    group = found->second.pid;
  }
  if (!leaf.empty()) {
    // Everything it started, detached or not, is in its leaf.
    if (HostResult<void> killed = state.cgroup.kill(Clock::now() + kEndTimeout, leaf); !killed) {
      throw_host(killed.error());
    }
  } else if (group > 0) {
    [[maybe_unused]] HostResult<bool> sent = signal_as(state.uid, -group, SIGKILL);
  }
  return {};
}

void TerminalSession::release_started(std::uint64_t id) {
  if (!state_) return;
  State& state = *state_;
  SessionCall call(state);
  std::string leaf;
  std::uint64_t oom_kills = 0;
  {
    MutexLock lock(state.mutex);
    auto found = state.started.find(id);
    if (found == state.started.end()) return;
    StartedEntry& entry = found->second;
    if (!entry.helper.wait_until(Clock::now())) {
      entry.released = true;  // runs on; a later start() collects it
      return;
    }
    leaf = entry.leaf;
    if (entry.result) oom_kills = entry.result->usage.oom_kills;
    state.started.erase(found);
  }
  if (call && !leaf.empty()) {
    // A leaf with something left running in it stays until the session ends.
    [[maybe_unused]] HostResult<void> removed =
        state.cgroup.remove_leaf(leaf, Clock::now(), oom_kills);
  }
}

bool TerminalSession::is_open() const {
  if (!state_) return false;
  MutexLock lock(state_->mutex);
  return state_->channel.has_value();
}

pid_t TerminalSession::pid() const {
  if (!state_) return -1;
  MutexLock lock(state_->mutex);
  return state_->channel ? state_->channel->child.process.pid() : -1;
}

int TerminalSession::stdout_fd() const {
  if (!state_) return -1;
  MutexLock lock(state_->mutex);
  return state_->channel ? state_->channel->child.stdout_read.get() : -1;
}

std::uint32_t TerminalSession::uid() const {
  return state_ ? state_->uid : 0;
}

const std::string& TerminalSession::name() const {
  static const std::string empty;
  return state_ ? state_->name : empty;
}

SessionUsage TerminalSession::usage() const {
  if (!state_) return {};
  MutexLock one_close(state_->close_mutex);
  if (state_->final_usage) return *state_->final_usage;
  return state_->cgroup.usage();
}

const std::string& TerminalSession::home() const {
  static const std::string empty;
  return state_ ? state_->home : empty;
}

}  // namespace lumvex
