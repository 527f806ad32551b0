#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "error/internal_error.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "pool_test_support.hpp"

namespace lumvex {
namespace {

using testing::HostLock;
using testing::ScratchDir;
using testing::StandInPath;
using testing::StderrCapture;

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(UserPoolNames, FreshPoolGivesTheFixedSequence) {
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  EXPECT_EQ(pool.generate_name(), "test_UKUKKUUK");
  EXPECT_EQ(pool.generate_name(), "test_jii8OIPW");
  EXPECT_EQ(pool.generate_name(), "test_9mP8mMxu");
  UserPool other(root.path());
  EXPECT_EQ(other.generate_name(), "test_UKUKKUUK");
}

struct IdCase {
  const char* printed;  // printf format of the stand-in's output
  int status;
  std::optional<std::uint32_t> expected;
};

class UserPoolIdOutput : public ::testing::TestWithParam<IdCase> {};

TEST_P(UserPoolIdOutput, FirstLineParsedStrictly) {
  StandInPath path;
  path.script("id", std::string("printf '") + GetParam().printed + "'\nexit " +
                        std::to_string(GetParam().status));
  EXPECT_EQ(UserPool::userid("test_someone"), GetParam().expected) << GetParam().printed;
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, UserPoolIdOutput,
    ::testing::Values(IdCase{"1001\\n", 0, 1001}, IdCase{"1001\\r\\n", 0, 1001},
                      IdCase{"+1001", 0, 1001}, IdCase{"1001", 0, 1001},
                      IdCase{"1001\\nrest\\n", 0, 1001}, IdCase{"4294967295\\n", 0, 4294967295u},
                      IdCase{"0\\n", 0, 0u}, IdCase{" 1001", 0, std::nullopt},
                      IdCase{"1001 \\n", 0, std::nullopt}, IdCase{"", 0, std::nullopt},
                      IdCase{"\\n1001\\n", 0, std::nullopt}, IdCase{"4294967296", 0, std::nullopt},
                      IdCase{"99999999999999999999", 0, std::nullopt},
                      IdCase{"-1", 0, std::nullopt}, IdCase{"+", 0, std::nullopt},
                      IdCase{"++1", 0, std::nullopt}, IdCase{"1001\\r", 0, std::nullopt},
                      IdCase{"1001\\r\\r\\n", 0, std::nullopt},
                      IdCase{"1001\\n", 1, std::nullopt}));

TEST(UserPoolIdOutput, InvalidUtf8IsReportedOnStderr) {
  StandInPath path;
  path.script("id", "printf '1001\\377\\n'");
  StderrCapture capture;
  std::optional<std::uint32_t> uid = UserPool::userid("test_someone");
  EXPECT_EQ(capture.take(), "Failed to convert the result back to a valid utf-8 string\n");
  EXPECT_EQ(uid, std::nullopt);
}

TEST(UserPoolIdOutput, LargeOutputOnBothStreamsIsDrained) {
  StandInPath path;
  // More than a pipe holds on each stream: neither may stall the other.
  path.script("id",
              "echo 1001\n"
              "i=0; while [ $i -lt 3000 ]; do\n"
              "  echo 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'\n"
              "  echo 'yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy' >&2\n"
              "  i=$((i + 1))\n"
              "done");
  EXPECT_EQ(UserPool::userid("test_someone"), 1001u);
}

TEST(UserPoolHostCommands, NewAccountRunsIdUseraddId) {
  StandInPath path;
  path.fake_accounts();
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  std::optional<Account> account = pool.get_user();
  ASSERT_TRUE(account);
  EXPECT_EQ(*account, (Account{1001, "test_UKUKKUUK"}));
  EXPECT_EQ(path.read_file("log"),
            "id -u test_UKUKKUUK\nuseradd test_UKUKKUUK\nid -u test_UKUKKUUK\n");
  EXPECT_EQ(pool.in_use(), std::vector<Account>{*account});
  EXPECT_TRUE(pool.free_accounts().empty());
}

TEST(UserPoolHostCommands, ExistingAccountIsAdopted) {
  StandInPath path;
  path.script("id", "echo \"id $*\" >> \"$DIR/log\"; echo 4242");
  path.script("useradd", "echo \"useradd $*\" >> \"$DIR/log\"");
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  EXPECT_EQ(pool.get_user(), (Account{4242, "test_UKUKKUUK"}));
  EXPECT_EQ(path.read_file("log"), "id -u test_UKUKKUUK\n");
}

TEST(UserPoolHostCommands, FailedUseraddReportsItsStderrAndLeavesThePoolUsable) {
  StandInPath path;
  path.fake_accounts();
  path.script("useradd", "echo 'useradd: cannot lock /etc/passwd; try again later.' >&2; exit 1");
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  StderrCapture capture;
  std::optional<Account> account = pool.get_user();
  EXPECT_EQ(capture.take(),
            "Failed to create the user account: useradd: cannot lock /etc/passwd; try again "
            "later.\n\n");
  EXPECT_EQ(account, std::nullopt);
  EXPECT_TRUE(pool.in_use().empty());
  EXPECT_TRUE(pool.free_accounts().empty());

  path.fake_accounts();  // the host cooperates again; the generator moved on
  EXPECT_EQ(pool.get_user(), (Account{1001, "test_jii8OIPW"}));
}

TEST(UserPoolHostCommands, UseraddStderrThatIsNotUtf8CountsAsEmpty) {
  StandInPath path;
  path.fake_accounts();
  path.script("useradd", "printf 'bad \\377\\n' >&2; exit 1");
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  StderrCapture capture;
  EXPECT_EQ(pool.get_user(), std::nullopt);
  EXPECT_EQ(capture.take(), "Failed to create the user account: \n");
}

TEST(UserPoolHostCommands, AccountMissingAfterUseraddGivesNothing) {
  StandInPath path;
  path.script("id", "exit 1");
  path.script("useradd", "exit 0");
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  EXPECT_EQ(pool.get_user(), std::nullopt);
  EXPECT_TRUE(pool.in_use().empty());
}

struct MissingCase {
  bool with_id;
  const char* message;
};

class UserPoolMissingProgram : public ::testing::TestWithParam<MissingCase> {};

TEST_P(UserPoolMissingProgram, InternalErrorLeavesTheListsUnchanged) {
  StandInPath path;
  if (GetParam().with_id) path.script("id", "exit 1");
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  try {
    pool.get_user();
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
  }
  EXPECT_TRUE(pool.in_use().empty());
  EXPECT_TRUE(pool.free_accounts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Programs, UserPoolMissingProgram,
    ::testing::Values(
        MissingCase{false, "Failed to execute the command `id`: No such file or directory"},
        MissingCase{true, "Failed to execute the command `useradd`: No such file or directory"}));

TEST(UserPoolRelease, UnknownUidIsIgnoredAndOnlyTheFirstDuplicateMoves) {
  StandInPath path;
  path.script("id", "echo 1001");  // every name "exists" with the same uid
  ScratchDir root;                 // private claims
  UserPool pool(root.path());
  ASSERT_TRUE(pool.get_user());
  ASSERT_TRUE(pool.get_user());
  const std::vector<Account> both{{1001, "test_UKUKKUUK"}, {1001, "test_jii8OIPW"}};
  ASSERT_EQ(pool.in_use(), both);

  pool.release_user(999);
  EXPECT_EQ(pool.in_use(), both);
  EXPECT_TRUE(pool.free_accounts().empty());

  pool.release_user(1001);
  EXPECT_EQ(pool.in_use(), std::vector<Account>{both[1]});
  EXPECT_EQ(pool.free_accounts(), std::vector<Account>{both[0]});
}

TEST(UserPoolReuse, ReusedAccountsAreInUseAgainAndComeBackLastReleasedFirst) {
  StandInPath path;
  path.fake_accounts();
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  Account a = *pool.get_user();
  Account b = *pool.get_user();
  std::size_t host_calls = count_lines(path.read_file("log"));

  pool.release_user(a.uid);
  pool.release_user(b.uid);
  EXPECT_TRUE(pool.in_use().empty());
  EXPECT_EQ(pool.get_user(), b);
  EXPECT_EQ(pool.get_user(), a);
  EXPECT_EQ(pool.in_use(), (std::vector<Account>{b, a}));
  EXPECT_EQ(count_lines(path.read_file("log")), host_calls);  // no host command for reuse

  // A reused account can be given back a second time.
  pool.release_user(a.uid);
  EXPECT_EQ(pool.in_use(), std::vector<Account>{b});
  EXPECT_EQ(pool.free_accounts(), std::vector<Account>{a});
  EXPECT_EQ(pool.get_user(), a);

  // The generator advanced only for the two names made.
  Account c = *pool.get_user();
  EXPECT_EQ(c.name, "test_9mP8mMxu");
}

TEST(UserPoolReuse, AtMost256InUseAndARefusalCreatesNothing) {
  StandInPath path;
  path.fake_accounts();
  ScratchDir root;  // private claims
  UserPool pool(root.path());
  std::set<std::string> names;
  for (std::size_t i = 0; i < UserPool::kMaxUser; ++i) {
    std::optional<Account> account = pool.get_user();
    ASSERT_TRUE(account) << i;
    names.insert(account->name);
  }
  EXPECT_EQ(names.size(), UserPool::kMaxUser);
  EXPECT_EQ(pool.in_use().size(), UserPool::kMaxUser);

  const std::string log = path.read_file("log");
  EXPECT_EQ(pool.get_user(), std::nullopt);
  EXPECT_EQ(path.read_file("log"), log);  // nothing run, nothing created
  EXPECT_EQ(pool.in_use().size(), UserPool::kMaxUser);

  // Once an account is given back, requests work again (and reuse it).
  Account tenth = pool.in_use()[10];
  pool.release_user(tenth.uid);
  EXPECT_EQ(pool.get_user(), tenth);
  EXPECT_EQ(pool.get_user(), std::nullopt);
  EXPECT_EQ(path.read_file("log"), log);
}

TEST(SharedPoolGuard, PoisonedByAnEscapingExceptionOnly) {
  PoolHandle shared = make_shared_pool();
  {
    PoolGuard guard(*shared);
  }
  EXPECT_FALSE(shared->poison.poisoned());
  try {
    PoolGuard guard(*shared);
    throw std::runtime_error("boom");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(shared->poison.poisoned());
  EXPECT_THROW(PoolGuard guard(*shared), InternalError);
  EXPECT_TRUE(shared->mutex.try_lock());  // the refused guard did not keep the mutex
  shared->mutex.unlock();
}

TEST(SessionPoolFailures, FailedRequestsDoNotPoisonThePool) {
  HostLock lock;
  PoolHandle shared = make_shared_pool();
  {
    StandInPath path;
    path.script("id", "exit 1");
    path.script("useradd", "echo 'useradd: failure' >&2; exit 1");
    StderrCapture quiet;
    try {
      (void)TerminalSession::make(shared);
      FAIL() << "expected an internal error";
    } catch (const InternalError& error) {
      EXPECT_EQ(std::string(error.what()), "Failed to get a user account from the pool");
    }
  }
  {
    StandInPath path;  // no useradd at all
    path.script("id", "exit 1");
    try {
      (void)TerminalSession::make(shared);
      FAIL() << "expected an internal error";
    } catch (const InternalError& error) {
      EXPECT_TRUE(std::string(error.what()).starts_with("Failed to execute the command `useradd`"))
          << error.what();
    }
  }

  StandInPath path;
  path.fake_accounts();
  PoolGuard guard(*shared);  // not poisoned
  EXPECT_TRUE(guard->in_use().empty());
  EXPECT_EQ(guard->get_user(), (Account{1001, "test_9mP8mMxu"}));
}

}  // namespace
}  // namespace lumvex
