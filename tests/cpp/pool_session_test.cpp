#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "error/internal_error.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "pool_test_support.hpp"
#include "sandbox/account_processes.hpp"
#include "sandbox/mounts.hpp"
#include "sandbox/policy.hpp"

namespace lumvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HostLock;
using testing::read_to_end;
using testing::read_until;
using testing::StandInPath;

const auto kFailed = std::unexpected(StreamError::kFailed);

std::string home_of(const std::string& name) {
  return std::string(TerminalSession::kHomeRoot) + "/" + name;
}

bool is_reaped(pid_t pid) {
  errno = 0;
  return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

bool is_empty_dir(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec)) && fs::is_empty(path, ec);
}

// What the descriptors of a process refer to, e.g. "pipe:[1234]", by number.
std::map<std::string, std::string> fd_targets(const std::string& pid) {
  std::map<std::string, std::string> targets;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + pid + "/fd", ec)) {
    targets[entry.path().filename()] = fs::read_symlink(entry.path(), ec).native();
  }
  return targets;
}

// Pipes the child holds besides its standard streams that were not already
// open in this process before the sessions were made (a test harness may
// hand down descriptors of its own).
std::set<std::string> extra_pipes(pid_t child, const std::map<std::string, std::string>& before) {
  std::set<std::string> known;
  for (const auto& [fd, target] : before) known.insert(target);
  std::set<std::string> extra;
  for (const auto& [fd, target] : fd_targets(std::to_string(child))) {
    if (fd == "0" || fd == "1" || fd == "2") continue;
    if (target.starts_with("pipe:") && !known.contains(target)) extra.insert(fd + " " + target);
  }
  return extra;
}

// Polls `done` for up to `timeout`.
template <typename F>
bool eventually(F&& done, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Sessions whose `id`, `useradd` and `su` are stand-ins: `su` logs its
// arguments and runs a plain /bin/sh on the session's pipes, so output and
// error stay apart. Changing the home directory's owner needs root.
class FakeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::is_root()) GTEST_SKIP() << "changing a directory's owner needs root";
    path_.fake_accounts();
    path_.script("su", "for a; do echo \"$a\"; done > \"$DIR/su_args\"\nexec /bin/sh");
  }

  // A round trip through the shell, so that it is known to be running.
  void expect_alive(TerminalSession& session) {
    ASSERT_TRUE(session.write("echo alive\n"));
    EXPECT_EQ(read_until(session, "alive\n", 5s), "alive\n");
  }

  HostLock lock_;
  const std::map<std::string, std::string> fds_before_ = fd_targets("self");
  StandInPath path_;
  PoolHandle pool_ = make_shared_pool();
};

// What the child of a new session gets: the six arguments (HOME set ahead of
// the fixed tail), a private home, a small fixed environment, no descriptor
// but its three pipes and a cap on the account's processes.
TEST_F(FakeSessionTest, StartsSuInsideTheSessionsWalls) {
  path_.script("su",
               "for a; do echo \"$a\"; done > \"$DIR/su_args\"\n"
               "export -p > \"$DIR/su_env\"\nexec /bin/sh");
  ::setenv("LUMVEX_TEST_TOKEN", "secret", 1);
  ::setenv("LC_TIME", "C", 1);
  // An inheritable descriptor on a root-only file must not reach the child.
  const std::string secret = path_.dir() + "/secret";
  std::ofstream(secret) << "root only";
  ::chmod(secret.c_str(), 0600);
  UniqueFd inherited(::open(secret.c_str(), O_RDONLY));  // not close-on-exec
  const mode_t old_umask = ::umask(0);
  auto session = TerminalSession::make(pool_);
  ::umask(old_umask);
  ::unsetenv("LUMVEX_TEST_TOKEN");
  ::unsetenv("LC_TIME");
  ASSERT_TRUE(session) << session.error();
  expect_alive(*session);

  const std::string home = home_of("test_UKUKKUUK");
  EXPECT_EQ(path_.read_file("su_args"), "-s\n/bin/bash\n-P\n-c\nexport HOME='" + home +
                                            "'; cd /; exec /bin/bash\ntest_UKUKKUUK\n");
  // Only the fixed set of variables (PWD is the stand-in shell's own).
  std::map<std::string, std::string> env;
  std::istringstream exported(path_.read_file("su_env"));
  for (std::string line; std::getline(exported, line);) {
    std::size_t eq = line.find('=');
    env[line.substr(7, eq - 7)] = line.substr(eq + 1);
  }
  const std::set<std::string> allowed{"HOME", "LANG",  "LOGNAME", "PATH",
                                      "PWD",  "SHELL", "TERM",    "USER"};
  for (const auto& [name, value] : env) {
    EXPECT_TRUE(name.starts_with("LC_") || allowed.contains(name)) << name << "=" << value;
  }
  EXPECT_EQ(env["HOME"], "'" + home + "'");
  EXPECT_EQ(env["USER"], "'test_UKUKKUUK'");
  EXPECT_EQ(env["LC_TIME"], "'C'");
  EXPECT_EQ(env["PATH"], "'" + path_.dir() + "'");

  EXPECT_EQ(session->home(), home);
  EXPECT_EQ(session->uid(), 1001u);
  EXPECT_TRUE(is_empty_dir(home));
  struct stat info{};
  ASSERT_EQ(::lstat(home.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 1001u);
  EXPECT_EQ(info.st_gid, 1001u);
  EXPECT_EQ(info.st_mode & 07777, 0700u);  // whatever the umask
  // `su` is the child of the session's helper.
  std::string children;
  std::ifstream("/proc/" + std::to_string(session->pid()) + "/task/" +
                std::to_string(session->pid()) + "/children") >>
      children;
  ASSERT_FALSE(children.empty());
  std::set<std::string> fds;
  for (const auto& [fd, target] : fd_targets(children)) fds.insert(fd);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  std::ifstream limits("/proc/" + children + "/limits");
  std::string line;
  while (std::getline(limits, line) && !line.starts_with("Max processes")) {
  }
  std::istringstream fields(line.substr(std::string_view("Max processes").size()));
  std::string soft, hard;
  fields >> soft >> hard;
  EXPECT_EQ(soft + " " + hard, "512 512");
}

// The shared parent of the home directories: others may not write to it
// (so nobody can swap a home directory for a link before its owner is
// changed), and one that belongs to someone else is refused.
TEST_F(FakeSessionTest, HomeRootIsClosedToOthersAndMustBeOurs) {
  const std::string root(TerminalSession::kHomeRoot);
  fs::create_directories(root);
  ASSERT_EQ(::chmod(root.c_str(), 0777), 0);
  {
    auto session = TerminalSession::make(pool_);
    ASSERT_TRUE(session) << session.error();
    struct stat info{};
    ASSERT_EQ(::lstat(root.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
  }
  ASSERT_EQ(::chown(root.c_str(), 4242, 4242), 0);
  try {
    (void)TerminalSession::make(pool_);
    ADD_FAILURE() << "a home root owned by another user was accepted";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "Failed to create the temporary home directory");
  }
  ASSERT_EQ(::chown(root.c_str(), 0, 0), 0);
  auto again = TerminalSession::make(pool_);
  EXPECT_TRUE(again) << again.error();
}

TEST_F(FakeSessionTest, PipeEndsDoNotLeakIntoLaterChildren) {
  auto first = TerminalSession::make(pool_);
  auto second = TerminalSession::make(pool_);
  ASSERT_TRUE(first && second);
  expect_alive(*second);
  EXPECT_EQ(extra_pipes(second->pid(), fds_before_), std::set<std::string>{});
  // The first shell's streams end when it exits, with the second still alive.
  ASSERT_TRUE(first->write("exit\n"));
  EXPECT_EQ(read_to_end(*first, 5s), "");
}

TEST_F(FakeSessionTest, OutputAndErrorStreams) {
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->write("echo to-out; echo to-err >&2\n"));
  EXPECT_EQ(read_until(*session, "to-out\n", 5s), "to-out\n");
  EXPECT_EQ(read_until(*session, "to-err\n", 5s, /*from_stderr=*/true), "to-err\n");
  EXPECT_TRUE(session->write(""));

  // An empty buffer gives 0 at once, although nothing is waiting in the pipe.
  auto empty_read = std::async(std::launch::async, [&] {
    return std::make_pair(session->read_stdout({}), session->read_stderr({}));
  });
  ASSERT_EQ(empty_read.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(empty_read.get(), std::make_pair(StreamResult(0), StreamResult(0)));

  // A short buffer takes the start; the rest stays for the next read.
  ASSERT_TRUE(session->write("echo abcdef\n"));
  char two[2] = {'?', '?'};
  EXPECT_EQ(session->read_stdout(two), 2u);
  EXPECT_EQ(std::string(two, 2), "ab");
  EXPECT_EQ(read_until(*session, "\n", 5s), "cdef\n");
}

TEST_F(FakeSessionTest, ExitedShellEndsTheStreamAndWritesFailWithoutSigpipe) {
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  auto old_handler = ::signal(SIGPIPE, SIG_DFL);  // a write must not kill the process
  ASSERT_TRUE(session->write("echo bye; exit\n"));
  EXPECT_EQ(read_to_end(*session, 5s), "bye\n");
  char buffer[8];
  EXPECT_EQ(session->read_stdout(buffer), 0u);
  // The input pipe refuses data once the shell's last descriptor on it is
  // gone, which can come a moment after the output's end of stream.
  EXPECT_TRUE(eventually([&] { return !session->write("echo anyone\n"); }, 5s));
  EXPECT_FALSE(session->write("echo anyone\n"));
  sigset_t pending;
  ::sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  ::signal(SIGPIPE, old_handler);
  EXPECT_TRUE(session->is_open());  // an exited shell leaves the session open
}

TEST_F(FakeSessionTest, CloseSemantics) {
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  const pid_t pid = session->pid();
  session->close();
  EXPECT_FALSE(session->is_open());
  EXPECT_TRUE(is_reaped(pid));
  char buffer[8];
  EXPECT_FALSE(session->write("echo x\n"));
  EXPECT_FALSE(session->write(""));
  EXPECT_EQ(session->read_stdout(buffer), kFailed);
  EXPECT_EQ(session->read_stderr(buffer), kFailed);
  EXPECT_EQ(session->read_stdout({}), kFailed);
  session->close();  // twice is fine

  PoolGuard guard(*pool_);
  EXPECT_TRUE(guard->in_use().empty());
  EXPECT_EQ(guard->free_accounts(), (std::vector<Account>{{1001, "test_UKUKKUUK"}}));
}

// Calls waiting on every stream in other threads end when the session is
// closed, and the close does not wait for them to return by themselves.
TEST_F(FakeSessionTest, CloseEndsCallsWaitingInOtherThreads) {
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->write("exec /bin/sleep 600\n"));
  auto read = [&](bool err) {
    std::string buffer(64, '\0');
    return err ? session->read_stderr(buffer) : session->read_stdout(buffer);
  };
  auto out = std::async(std::launch::async, read, false);
  auto err = std::async(std::launch::async, read, true);
  auto in =
      std::async(std::launch::async, [&] { return session->write(std::string(1 << 22, 'x')); });
  std::this_thread::sleep_for(50ms);
  const auto started = std::chrono::steady_clock::now();
  session->close();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  for (auto* call : {&out, &err, &in}) {
    ASSERT_EQ(call->wait_for(5s), std::future_status::ready);
    EXPECT_EQ(call->get(), kFailed);
  }
}

TEST_F(FakeSessionTest, DroppedSessionIsClosed) {
  pid_t pid;
  {
    auto session = TerminalSession::make(pool_);
    ASSERT_TRUE(session);
    pid = session->pid();
    TerminalSession moved(std::move(*session));  // the moved-from one owns nothing
    EXPECT_FALSE(session->is_open());
    EXPECT_EQ(moved.pid(), pid);
  }
  EXPECT_TRUE(is_reaped(pid));
  PoolGuard guard(*pool_);
  EXPECT_TRUE(guard->in_use().empty());
  EXPECT_EQ(guard->free_accounts().size(), 1u);
}

TEST_F(FakeSessionTest, ReuseRunsNoHostCommandAndReplacesTheLeftOverHome) {
  std::string home;
  {
    auto session = TerminalSession::make(pool_);
    ASSERT_TRUE(session);
    home = session->home();
  }
  fs::create_directories(home + "/sub");
  std::ofstream(home + "/sub/file") << "left over";
  const std::string log = path_.read_file("log");

  auto again = TerminalSession::make(pool_);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->uid(), 1001u);
  EXPECT_EQ(again->home(), home);
  EXPECT_TRUE(is_empty_dir(home));
  EXPECT_EQ(path_.read_file("log"), log);
}

TEST_F(FakeSessionTest, LinkAtTheHomePathIsRemovedNotFollowed) {
  const std::string home = home_of("test_UKUKKUUK");
  char pattern[] = "/tmp/lumvex_target_XXXXXX";
  const std::string target = ::mkdtemp(pattern);
  std::ofstream(target + "/keep") << "keep";

  for (const std::string& points_to : {target, target + "/missing"}) {
    SCOPED_TRACE(points_to);
    fs::create_directories(TerminalSession::kHomeRoot);
    // An earlier real session of the account may have left its store
    // mounted there.
    while (::umount2(home.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {
    }
    std::error_code ec;
    fs::remove_all(home, ec);
    fs::create_directory_symlink(points_to, home);
    {
      auto session = TerminalSession::make(pool_);
      ASSERT_TRUE(session);
      EXPECT_EQ(session->home(), home);
      EXPECT_TRUE(is_empty_dir(home));
    }
    EXPECT_TRUE(fs::exists(target + "/keep"));
  }
  fs::remove_all(target);
}

// What an earlier holder of the account may have left in its home: links to
// places it could not touch itself, at every level, a tree far deeper than a
// path can name, closed directories and odd files. All of it goes; nothing a
// link points to is touched.
TEST_F(FakeSessionTest, PlantedLinksAndDeepTreesAreRemovedNotFollowed) {
  std::string home;
  {
    auto session = TerminalSession::make(pool_);
    ASSERT_TRUE(session);
    home = session->home();
  }
  char pattern[] = "/tmp/lumvex_target_XXXXXX";
  const std::string target = ::mkdtemp(pattern);
  std::ofstream(target + "/keep") << "keep";
  fs::create_directory_symlink(target, home + "/dir-link");
  fs::create_symlink(target + "/keep", home + "/file-link");
  fs::create_directories(home + "/a/b");
  fs::create_directory_symlink(target, home + "/a/b/deep-link");
  ASSERT_EQ(::mkfifo((home + "/a/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((home + "/a").c_str(), 0), 0);
  {
    const std::string level_name(250, 'd');  // 40 levels: far beyond PATH_MAX
    int fd = ::open(home.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 40 && fd >= 0; ++level) {
      ::mkdirat(fd, level_name.c_str(), 0700);
      int next = ::openat(fd, level_name.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(fd);
      fd = next;
    }
    ASSERT_GE(fd, 0);
    ::symlinkat(target.c_str(), fd, "bottom-link");
    ::close(fd);
  }

  auto again = TerminalSession::make(pool_);
  ASSERT_TRUE(again) << again.error();
  EXPECT_TRUE(is_empty_dir(home));
  EXPECT_EQ(fs::directory_iterator(target)->path().filename(), "keep");
  std::ifstream kept(target + "/keep");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
  fs::remove_all(target);
}

TEST_F(FakeSessionTest, ManySessionsLeaveNoUnreapedChildren) {
  for (int i = 0; i < 200; ++i) {
    auto session = TerminalSession::make(pool_);
    ASSERT_TRUE(session);
    if (i % 2 == 0) session->close();  // the others close when dropped
  }
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no children left at all
  EXPECT_EQ(errno, ECHILD);
  PoolGuard guard(*pool_);
  EXPECT_EQ(guard->free_accounts().size(), 1u);
}

TEST_F(FakeSessionTest, MissingSuKeepsTheAccountOutOfThePool) {
  ::unlink((path_.dir() + "/su").c_str());
  try {
    (void)TerminalSession::make(pool_);
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Failed to execute the command `su`: No such file or directory");
  }
  {
    PoolGuard guard(*pool_);  // not poisoned
    EXPECT_EQ(guard->in_use().size(), 1u);
    EXPECT_TRUE(guard->free_accounts().empty());
  }
  SetUp();  // su is back
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->home(), home_of("test_jii8OIPW"));
}

TEST_F(FakeSessionTest, PoisonedPoolFailsRequestsAndCloses) {
  auto session = TerminalSession::make(pool_);
  ASSERT_TRUE(session);
  const pid_t pid = session->pid();
  pool_->poison.poison();
  EXPECT_THROW((void)TerminalSession::make(pool_), InternalError);
  EXPECT_THROW(session->close(), InternalError);
  EXPECT_FALSE(session->is_open());  // closed even though the account could not go back
  EXPECT_TRUE(is_reaped(pid));
}

// Real accounts, `su` and bash: few and bounded, as each session costs time
// and the accounts persist on the host.
bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

#define SKIP_WITHOUT_HOST()                                                  \
  do {                                                                       \
    if (!testing::is_root()) GTEST_SKIP() << "creating accounts needs root"; \
    for (const char* program : {"id", "useradd", "su"}) {                    \
      if (!on_path(program)) GTEST_SKIP() << program << " is not on PATH";   \
    }                                                                        \
    if (::access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "no /bin/bash";    \
  } while (false)

// Live processes (zombies aside) any of whose user ids is `uid`, by name.
std::vector<std::string> processes_of(std::uint32_t uid) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::ifstream status(entry.path() / "status");
    std::string line, name;
    bool zombie = false, match = false;
    while (std::getline(status, line)) {
      std::istringstream fields(line);
      std::string key;
      fields >> key;
      if (key == "Name:") fields >> name;
      if (key == "State:") zombie = line.find("Z (zombie)") != std::string::npos;
      if (key == "Uid:") {
        for (std::uint32_t id; fields >> id;) match = match || id == uid;
      }
    }
    if (match && !zombie) found.push_back(name);
  }
  return found;
}

// A marker that the pseudo-terminal's echo of the command line never shows.
std::string shell_value(TerminalSession& session, const std::string& command) {
  EXPECT_TRUE(session.write("echo \"V=$(" + command + ")=V\"\n"));
  std::string seen = read_until(session, "=V\r\n", 15s);
  std::size_t start = seen.rfind("V=");
  std::size_t end = seen.rfind("=V\r\n");
  if (start == std::string::npos || end == std::string::npos || end < start) return seen;
  return seen.substr(start + 2, end - start - 2);
}

// How a session's processes are ended: through /proc (no control groups),
// cgroup v2's cgroup.kill, or cgroup v1's freezer.
enum class Ending { kProcWalk, kCgroupKill, kFreezer };

std::string ending_name(Ending ending) {
  switch (ending) {
    case Ending::kProcWalk:
      return "ProcWalk";
    case Ending::kCgroupKill:
      return "CgroupKill";
    case Ending::kFreezer:
      return "Freezer";
  }
  return "?";
}

// A pool whose sessions are ended the way `ending` says (with every other
// wall this host gives).
PoolHandle pool_ending_by(Ending ending) {
  if (ending == Ending::kProcWalk) return make_shared_pool();
  CgroupHost host = CgroupHost::detect();
  if (ending == Ending::kFreezer) host.v2.reset();
  auto policy = SandboxPolicy::make(WallRequest{}, host, can_mount(), memory_available());
  if (!policy) throw std::runtime_error(policy.error());
  const std::optional<Hierarchy>& kill = policy->cgroups.kill;
  if (!kill || kill->v2 != (ending == Ending::kCgroupKill)) {
    throw std::runtime_error("this host offers no " + ending_name(ending));
  }
  return make_shared_pool(std::move(*policy));
}

class RealSessionWalls : public ::testing::TestWithParam<std::tuple<Ending, const char*>> {};

// Whatever way a process leaves the shell, closing (or dropping) the session
// ends it before the call returns.
TEST_P(RealSessionWalls, NoProcessOfTheAccountOutlivesItsSession) {
  SKIP_WITHOUT_HOST();
  HostLock lock;
  const auto& [ending, command] = GetParam();
  PoolHandle pool = pool_ending_by(ending);
  for (bool drop : {false, true}) {
    std::optional<std::expected<TerminalSession, std::string>> session(TerminalSession::make(pool));
    ASSERT_TRUE(*session) << (*session).error();
    const std::uint32_t uid = (**session).uid();
    ASSERT_TRUE((**session).write(std::string(command) + "\n"));
    ASSERT_TRUE(eventually([&] {
      auto names = processes_of(uid);
      return std::count(names.begin(), names.end(), "sleep") > 0;
    })) << command;
    if (drop) {
      session.reset();
    } else {
      (**session).close();
    }
    EXPECT_EQ(processes_of(uid), std::vector<std::string>{}) << command;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Detached, RealSessionWalls,
    ::testing::Combine(::testing::Values(Ending::kProcWalk, Ending::kCgroupKill, Ending::kFreezer),
                       ::testing::Values("nohup /bin/sleep 600 >/dev/null 2>&1 &",
                                         "setsid /bin/sleep 600 &", "( ( /bin/sleep 600 & ) & )",
                                         "/bin/sleep 600 & disown")),
    [](const auto& info) {
      return ending_name(std::get<0>(info.param)) + "_" + std::to_string(info.index % 4);
    });

class RealSessionLeftovers : public ::testing::TestWithParam<Ending> {};

// A process of the account that no session knows of (left by a process that
// died with its session open, or started outside the session's control
// groups) goes before the home is made again.
TEST_P(RealSessionLeftovers, CreationEndsWhatAnEarlierHolderLeftRunning) {
  SKIP_WITHOUT_HOST();
  HostLock lock;
  PoolHandle pool = pool_ending_by(GetParam());
  std::uint32_t uid;
  {
    auto first = TerminalSession::make(pool);
    ASSERT_TRUE(first) << first.error();
    uid = first->uid();
  }
  pid_t leftover = ::fork();
  if (leftover == 0) {
    if (::setgid(uid) == 0 && ::setuid(uid) == 0) ::execl("/bin/sleep", "sleep", "600", nullptr);
    ::_exit(127);
  }
  ASSERT_TRUE(eventually([&] { return !processes_of(uid).empty(); }));
  auto session = TerminalSession::make(pool);
  ASSERT_TRUE(session) << session.error();
  int status = 0;
  ASSERT_EQ(::waitpid(leftover, &status, 0), leftover);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Endings, RealSessionLeftovers,
                         ::testing::Values(Ending::kProcWalk, Ending::kCgroupKill,
                                           Ending::kFreezer),
                         [](const auto& info) { return ending_name(info.param); });

// A process is the account's when any one of its user ids is (real,
// effective, saved or file-system), and nobody else's process is touched.
class AccountProcesses : public ::testing::TestWithParam<int> {};

TEST_P(AccountProcesses, AnyOfTheFourUserIdsMakesAProcessTheAccounts) {
  SKIP_WITHOUT_HOST();
  constexpr uid_t kAccount = 2147480001, kOther = 2147480002;
  // Child 0 holds the account's uid in the slot under test, child 1 only
  // the other one's; each says when its ids are set.
  pid_t children[2];
  for (int which = 0; which < 2; ++which) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    children[which] = ::fork();
    if (children[which] == 0) {
      uid_t ids[4] = {kOther, kOther, kOther, kOther};
      // Only a privileged process picks its file-system uid freely: for
      // that slot the effective uid stays root.
      if (GetParam() == 3) ids[1] = 0;
      if (which == 0) ids[GetParam()] = kAccount;
      bool set = ::setresuid(ids[0], ids[1], ids[2]) == 0;
      if (set && GetParam() == 3) {
        ::setfsuid(ids[3]);
        set = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == ids[3];
      }
      char byte = set ? 'y' : 'n';
      [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
      if (set) ::pause();
      ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, 'y') << "could not set the ids of child " << which;
  }
  EXPECT_TRUE(end_account_processes(kAccount, std::chrono::steady_clock::now() + 5s).has_value());
  int status = 0;
  const bool ended = eventually([&] { return ::waitpid(children[0], &status, WNOHANG) != 0; }, 2s);
  EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "slot " << GetParam();
  EXPECT_EQ(::waitpid(children[1], &status, WNOHANG), 0) << "the other account's process ended";
  for (pid_t child : children) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(RealEffectiveSavedFs, AccountProcesses, ::testing::Range(0, 4));

// The shell's HOME is its private home, it sees none of this process's
// variables, and the account's processes are capped.
TEST(RealSession, HomeEnvironmentAndProcessCap) {
  SKIP_WITHOUT_HOST();
  HostLock lock;
  ::setenv("LUMVEX_TEST_TOKEN", "secret", 1);
  auto session = TerminalSession::make(make_shared_pool());
  ::unsetenv("LUMVEX_TEST_TOKEN");
  ASSERT_TRUE(session) << session.error();
  EXPECT_EQ(shell_value(*session, "echo $HOME"), session->home());
  EXPECT_EQ(shell_value(*session, "pwd"), "/");
  EXPECT_EQ(shell_value(*session, "echo ${LUMVEX_TEST_TOKEN-unset}"), "unset");
  EXPECT_EQ(shell_value(*session, "ulimit -u; ulimit -Hu"), "512\r\n512");
  EXPECT_EQ(shell_value(*session, "ulimit -u 513 2>&1 >/dev/null | wc -l"), "1");  // cannot raise
  // A bounded loop under a lower soft cap (20 above what the account runs
  // now, zombies included): starting processes stops at the cap.
  const std::string script = session->home() + "/cap.py";
  std::ofstream(script)
      << "import os, resource, subprocess\n"
         "uid = os.getuid()\n"
         "now = sum(os.stat('/proc/' + p).st_uid == uid\n"
         "          for p in os.listdir('/proc') if p.isdigit())\n"
         "resource.setrlimit(resource.RLIMIT_NPROC, (min(now + 20, 512), 512))\n"
         "started = 0\n"
         "try:\n"
         "    while started < 100:\n"
         "        subprocess.Popen(['/bin/sleep', '30'], stdout=subprocess.DEVNULL)\n"
         "        started += 1\n"
         "except BlockingIOError:\n"
         "    print('capped', started <= 20)\n";
  EXPECT_EQ(shell_value(*session, "/usr/bin/python3 ~/cap.py"), "capped True");
}

// The ending of started command `id`, polled until it comes (10 s at most).
std::optional<TerminalSession::RunResult> ended(TerminalSession& session, std::uint64_t id) {
  for (int i = 0; i < 1000; ++i) {
    auto polled = session.poll_started(id);
    if (!polled) return std::nullopt;
    if (*polled) return *polled;
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

TerminalSession::RunRequest started_request(const TerminalSession& session, std::string command) {
  TerminalSession::RunRequest request;
  request.command = std::move(command);
  request.environment = session.environment();
  request.workdir = session.home();
  return request;
}

// Started commands end by themselves, by a signal to their group, by a kill
// of everything they started, or by close(); each ending is told apart.
TEST(RealSession, StartedCommandsAndTheirEndings) {
  SKIP_WITHOUT_HOST();
  HostLock lock;
  auto session = TerminalSession::make(make_shared_pool());
  ASSERT_TRUE(session) << session.error();
  using KilledBy = TerminalSession::KilledBy;

  auto exits = session->start(started_request(*session, "exit 3"), false);
  ASSERT_TRUE(exits && exits->output && exits->error && exits->input);
  auto result = ended(*session, exits->id);
  ASSERT_TRUE(result);
  EXPECT_TRUE(WIFEXITED(result->status) && WEXITSTATUS(result->status) == 3);
  EXPECT_EQ(result->killed_by, KilledBy::kNone);
  EXPECT_FALSE(*session->signal_started(exits->id, SIGTERM, -1));  // ended: nothing to signal
  session->release_started(exits->id);
  EXPECT_FALSE(session->poll_started(exits->id));  // forgotten

  auto terminal =
      session->start(started_request(*session, "test -t 0 && test -t 2 && echo tty"), true);
  ASSERT_TRUE(terminal && !terminal->error);
  std::string said;
  char buffer[64];
  while (said.find('\n') == std::string::npos) {
    const ssize_t n = ::read(terminal->output.get(), buffer, sizeof buffer);
    if (n <= 0) break;  // EIO: the terminal's other side has gone
    said.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(said, "tty\r\n");

  // The signal reaches the whole group: the job in the background too.
  auto group = session->start(started_request(*session, "sleep 100 & sleep 100"), false);
  ASSERT_TRUE(group);
  const auto sleeping = [&] {
    std::vector<std::string> names = processes_of(session->uid());
    return std::count(names.begin(), names.end(), "sleep");
  };
  for (int i = 0; i < 100 && sleeping() != 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(*session->signal_started(group->id, SIGTERM, -1));
  result = ended(*session, group->id);
  ASSERT_TRUE(result);
  EXPECT_TRUE(WIFSIGNALED(result->status) && WTERMSIG(result->status) == SIGTERM);
  EXPECT_EQ(result->killed_by, KilledBy::kSignal);
  for (int i = 0; i < 100 && sleeping() != 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(sleeping(), 0);

  auto deaf = session->start(started_request(*session, "trap '' TERM; sleep 100"), false);
  ASSERT_TRUE(deaf);
  ASSERT_TRUE(session->kill_started(deaf->id));
  result = ended(*session, deaf->id);
  ASSERT_TRUE(result);
  EXPECT_TRUE(WIFSIGNALED(result->status) && WTERMSIG(result->status) == SIGKILL);

  auto left = session->start(started_request(*session, "sleep 100"), false);
  ASSERT_TRUE(left);
  session->close();
  result = ended(*session, left->id);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->end, TerminalSession::RunResult::End::kClosed);
  EXPECT_EQ(result->killed_by, KilledBy::kClose);
  EXPECT_FALSE(session->start(started_request(*session, "true"), false));
  EXPECT_FALSE(session->kill_started(left->id));
}

TEST(RealSession, RunsBashAsThePoolAccountAndReusesIt) {
  SKIP_WITHOUT_HOST();
  HostLock lock;

  PoolHandle pool = make_shared_pool();
  auto session = TerminalSession::make(pool);
  ASSERT_TRUE(session) << session.error();
  std::string name;
  {
    PoolGuard guard(*pool);
    ASSERT_EQ(guard->in_use().size(), 1u);
    name = guard->in_use()[0].name;
  }
  EXPECT_EQ(name, "test_UKUKKUUK");
  const std::uint32_t uid = session->uid();
  EXPECT_EQ(UserPool::userid(name), uid);
  EXPECT_EQ(session->home(), home_of(name));
  EXPECT_TRUE(is_empty_dir(session->home()));
  struct stat info{};
  ASSERT_EQ(::stat(session->home().c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, uid);
  EXPECT_EQ(info.st_gid, uid);

  // The pseudo-terminal echoes the input line; only the output has the value.
  const std::string expected = "uid_" + std::to_string(uid) + "_end";
  ASSERT_TRUE(session->write("echo uid_$(id -u)_end\n"));
  EXPECT_NE(read_until(*session, expected, 15s).find(expected), std::string::npos);

  const pid_t pid = session->pid();
  session->close();
  EXPECT_TRUE(is_reaped(pid));
  EXPECT_FALSE(session->write("echo x\n"));
  char buffer[16];
  EXPECT_EQ(session->read_stdout(buffer), kFailed);
  EXPECT_EQ(session->read_stderr(buffer), kFailed);
  session->close();

  std::ofstream(home_of(name) + "/left-over") << "x";
  {
    auto again = TerminalSession::make(pool);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->uid(), uid);
    EXPECT_TRUE(is_empty_dir(again->home()));
    ASSERT_TRUE(again->write("echo again_$((40 + 2))\n"));
    EXPECT_NE(read_until(*again, "again_42", 15s).find("again_42"), std::string::npos);
  }
  PoolGuard guard(*pool);
  EXPECT_TRUE(guard->in_use().empty());
  EXPECT_EQ(guard->free_accounts(), (std::vector<Account>{{uid, name}}));
}

}  // namespace
}  // namespace lumvex
