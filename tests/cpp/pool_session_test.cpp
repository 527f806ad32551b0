#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

#include "error/internal_error.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "pool_test_support.hpp"

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
  path_.script("su", "for a; do echo \"$a\"; done > \"$DIR/su_args\"\n"
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
  struct stat info {};
  ASSERT_EQ(::lstat(home.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 1001u);
  EXPECT_EQ(info.st_gid, 1001u);
  EXPECT_EQ(info.st_mode & 07777, 0700u);  // whatever the umask
  std::set<std::string> fds;
  for (const auto& [fd, target] : fd_targets(std::to_string(session->pid()))) fds.insert(fd);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  std::ifstream limits("/proc/" + std::to_string(session->pid()) + "/limits");
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
    struct stat info {};
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
  EXPECT_FALSE(session->write("echo anyone\n"));
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
  {
    std::lock_guard<std::mutex> lock(pool_->mutex);
    pool_->poisoned = true;
  }
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

TEST(RealSession, RunsBashAsThePoolAccountAndReusesIt) {
  if (!testing::is_root()) GTEST_SKIP() << "creating accounts needs root";
  for (const char* program : {"id", "useradd", "su"}) {
    if (!on_path(program)) GTEST_SKIP() << program << " is not on PATH";
  }
  if (::access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "/bin/bash is missing";
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
  struct stat info {};
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
