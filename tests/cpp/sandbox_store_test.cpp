// An account's store as the host sees it (its tmpfs and the bind of its
// home: nosuid, nodev, bounded, private to root), and the session's view as
// a plan: every mount in it nosuid and nodev, in namespaces of its own.
// The store's tests mount (root only), each in a mount namespace of its own
// where it can, and detach what they mounted.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "base/unique_fd.hpp"
#include "sandbox/mounts.hpp"
#include "sandbox/policy.hpp"
#include "sandbox/template_layer.hpp"

namespace lumvex {
namespace {

constexpr std::uint32_t kUid = 65534;
constexpr std::uint64_t kDisk = 4 << 20;

class StoreOnTheHost : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_mount()) GTEST_SKIP() << "mounting needs root";
    // A mount namespace of the test's own where the process may have one
    // (not with threads, as under ThreadSanitizer); TearDown detaches what
    // the test mounted either way.
    if (::unshare(CLONE_NEWNS) == 0) {
      ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    }
    char dir[] = "/tmp/lumvex-store-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    root_fd_ = UniqueFd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_fd_);
  }
  void TearDown() override {
    if (root_.empty()) return;
    EXPECT_TRUE(detach_account_mounts(root_fd_.get(), root_, "acct"));
    std::filesystem::remove_all(root_);
  }

  AccountStore reset() {
    auto store = AccountStore::reset(root_fd_.get(), root_, "acct", kUid, kDisk);
    EXPECT_TRUE(store) << (store ? "" : store.error().message());
    return store ? std::move(*store) : AccountStore();
  }
  struct stat stat_of(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  std::string home() const { return root_ + "/acct"; }
  // How many mounts are stacked at `path`, by this process's mount table.
  static int mounts_at(const std::string& path) {
    std::ifstream table("/proc/self/mountinfo");
    int count = 0;
    for (std::string line; std::getline(table, line);) {
      std::istringstream fields(line);
      std::string field;
      for (int i = 0; i < 5 && fields >> field; ++i) {
      }
      count += field == path;
    }
    return count;
  }

  std::string root_;
  UniqueFd root_fd_;
};

TEST_F(StoreOnTheHost, TheStoreAndTheHomeAreNosuidNodevAndBounded) {
  AccountStore store = reset();
  ASSERT_TRUE(store.valid());
  EXPECT_EQ(store.mount_point(), root_ + "/.store/acct");
  for (const std::string& path : {store.mount_point(), home()}) {
    struct statvfs vfs{};
    ASSERT_EQ(::statvfs(path.c_str(), &vfs), 0) << path;
    EXPECT_TRUE(vfs.f_flag & ST_NOSUID) << path;
    EXPECT_TRUE(vfs.f_flag & ST_NODEV) << path;
    EXPECT_TRUE(vfs.f_flag & ST_NOATIME) << path;
    EXPECT_FALSE(vfs.f_flag & ST_RDONLY) << path;
    EXPECT_EQ(vfs.f_blocks * vfs.f_frsize, kDisk) << path;
    EXPECT_EQ(vfs.f_files, kMinInodes) << path;
  }
  // The home is the store's own directory, the account's alone; the store
  // is root's alone.
  EXPECT_EQ(stat_of(home()).st_dev, stat_of(store.mount_point()).st_dev);
  EXPECT_EQ(stat_of(home()).st_ino, stat_of(store.mount_point() + "/home").st_ino);
  EXPECT_EQ(stat_of(home()).st_uid, kUid);
  EXPECT_EQ(stat_of(home()).st_mode & 07777, 0700u);
  for (const std::string& path : {root_ + "/.store", store.mount_point()}) {
    EXPECT_EQ(stat_of(path).st_uid, 0u) << path;
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0700u) << path;
  }
  for (const char* dir : {"tmp", "var_tmp", "run_lock", "shm"})
    EXPECT_EQ(stat_of(store.mount_point() + "/" + dir).st_mode & 07777, 01777u) << dir;
}

TEST_F(StoreOnTheHost, ANewStoreReplacesTheOldOneAndFollowsNoLink) {
  // A plain home of an older version, with a link out of it: removed, and
  // what the link names is left alone.
  const std::string outside = root_ + "/outside";
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  std::ofstream(outside + "/kept") << "kept";
  ASSERT_EQ(::mkdir(home().c_str(), 0755), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (home() + "/link").c_str()), 0);
  AccountStore first = reset();
  EXPECT_FALSE(std::filesystem::exists(home() + "/link"));
  EXPECT_TRUE(std::filesystem::exists(outside + "/kept"));

  std::ofstream(home() + "/old") << "old";
  std::ofstream(first.mount_point() + "/tmp/old") << "old";
  AccountStore second = reset();
  EXPECT_FALSE(std::filesystem::exists(home() + "/old"));
  EXPECT_FALSE(std::filesystem::exists(second.mount_point() + "/tmp/old"));
  // Replaced, not stacked: one mount at each place.
  EXPECT_EQ(mounts_at(second.mount_point()), 1);
  EXPECT_EQ(mounts_at(home()), 1);

  // One detach takes everything away: nothing was left stacked below.
  ASSERT_TRUE(detach_account_mounts(root_fd_.get(), root_, "acct"));
  EXPECT_EQ(stat_of(home()).st_dev, stat_of(root_).st_dev);
  EXPECT_EQ(stat_of(second.mount_point()).st_dev, stat_of(root_ + "/.store").st_dev);
}

TEST_F(StoreOnTheHost, AStoresParentLeftOpenOrToAnotherIsMadeRootsAlone) {
  const std::string parent = root_ + "/.store";
  for (auto [uid, mode] : {std::pair{0u, 0755u}, std::pair{kUid, 0700u}}) {
    std::filesystem::remove_all(parent);
    ASSERT_EQ(::mkdir(parent.c_str(), mode), 0);
    ASSERT_EQ(::chmod(parent.c_str(), mode), 0);
    ASSERT_EQ(::chown(parent.c_str(), uid, uid), 0);
    AccountStore store = reset();
    EXPECT_EQ(stat_of(parent).st_uid, 0u) << uid;
    EXPECT_EQ(stat_of(parent).st_mode & 07777, 0700u) << uid;
    ASSERT_TRUE(detach_account_mounts(root_fd_.get(), root_, "acct"));
  }
}

TEST_F(StoreOnTheHost, DetachTakesThePrivateDirectoriesButLeavesTheHome) {
  AccountStore store = reset();
  const dev_t dev = stat_of(home()).st_dev;
  store.detach();
  EXPECT_FALSE(store.valid());
  EXPECT_EQ(stat_of(store.mount_point()).st_dev, stat_of(root_ + "/.store").st_dev);
  EXPECT_EQ(stat_of(home()).st_dev, dev);
}

// A layer made from an overlay's upper layer keeps its whiteouts and opaque
// directories; from any source it keeps regular files (without set-id
// bits), directories and links, owned by the template's owner, and nothing
// else. A store over it shows the layer's files as the account's.
TEST_F(StoreOnTheHost, ATemplateLayerKeepsWhatAnOverlayNeedsAndNothingElse) {
  if (!templates_unavailable().empty()) GTEST_SKIP() << templates_unavailable();
  const std::string upper = root_ + "/upper";
  ASSERT_EQ(::mkdir(upper.c_str(), 0755), 0);
  std::ofstream(upper + "/setid") << "x";
  ASSERT_EQ(::chmod((upper + "/setid").c_str(), 06755), 0);
  ASSERT_EQ(::mknod((upper + "/gone").c_str(), S_IFCHR, makedev(0, 0)), 0);
  ASSERT_EQ(::mknod((upper + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  ASSERT_EQ(::mkfifo((upper + "/fifo").c_str(), 0666), 0);
  ASSERT_EQ(::symlink("/etc/shadow", (upper + "/link").c_str()), 0);
  ASSERT_EQ(::mkdir((upper + "/opaque").c_str(), 0755), 0);
  ASSERT_EQ(::setxattr((upper + "/opaque").c_str(), "trusted.overlay.opaque", "y", 1, 0), 0);
  UniqueFd from(::open(upper.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  for (auto source : {TemplateLayer::Source::kUpper, TemplateLayer::Source::kDirectory}) {
    const bool is_upper = source == TemplateLayer::Source::kUpper;
    auto layer = TemplateLayer::make(from.get(), source, nullptr);
    ASSERT_TRUE(layer) << layer.error().message();
    EXPECT_EQ((*layer)->entries(), is_upper ? 4u : 3u);
    struct stat st{};
    const int root = (*layer)->root();
    ASSERT_EQ(::fstatat(root, "setid", &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, kTemplateOwner);
    ASSERT_EQ(::fstatat(root, "link", &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(::fstatat(root, "null", &st, AT_SYMLINK_NOFOLLOW), -1);
    EXPECT_EQ(::fstatat(root, "fifo", &st, AT_SYMLINK_NOFOLLOW), -1);
    EXPECT_EQ(::fstatat(root, "gone", &st, AT_SYMLINK_NOFOLLOW) == 0, is_upper);
    UniqueFd opaque(::openat(root, "opaque", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    char value[2] = {};
    EXPECT_EQ(::fgetxattr(opaque.get(), "trusted.overlay.opaque", value, sizeof value) == 1,
              is_upper);

    // Stacked under a store: the account owns what it sees; a whiteout hides.
    auto stacked = TemplateLayer::make(from.get(), TemplateLayer::Source::kDirectory, *layer);
    ASSERT_TRUE(stacked);
    EXPECT_EQ((*stacked)->depth(), 2u);
    auto idmap = template_idmap(kUid);
    ASSERT_TRUE(idmap) << idmap.error().message();
    auto store =
        AccountStore::reset(root_fd_.get(), root_, "acct", kUid, kDisk, layer->get(), idmap->get());
    ASSERT_TRUE(store) << store.error().message();
    EXPECT_EQ(stat_of(home() + "/setid").st_uid, kUid);
    EXPECT_EQ(stat_of(home()).st_uid, kUid);
    EXPECT_FALSE(std::filesystem::exists(home() + "/gone"));
    std::ofstream(home() + "/new") << "new";
    EXPECT_TRUE(std::filesystem::exists(store->mount_point() + "/upper/new"));
    EXPECT_EQ(::fstatat(root, "new", &st, AT_SYMLINK_NOFOLLOW), -1);
    ASSERT_TRUE(detach_account_mounts(root_fd_.get(), root_, "acct"));
  }
}

// --- the session's view, as the plan that makes it

TEST(SessionMounts, ARefusedNetworkGivesTheSessionANetworkOfItsOwn) {
  for (bool network : {true, false}) {
    WallRequest request;
    request.network = network;
    auto policy = SandboxPolicy::make(request, CgroupHost{}, true, 1 << 30);
    ASSERT_TRUE(policy) << policy.error();
    EXPECT_EQ(policy->walls.network, !network);
    ChildPlan plan;
    add_session_mounts(plan, AccountStore(), "/tmp/homes", "acct", policy->private_network);
    EXPECT_EQ((plan.clone_flags & CLONE_NEWNET) != 0, !network);
  }
}

TEST(SessionMounts, EveryMountIsNosuidNodevAndStaysInTheSessionsNamespaces) {
  for (bool network : {false, true}) {
    ChildPlan plan;
    AccountStore store;  // its mount point only names paths here
    add_session_mounts(plan, store, "/tmp/homes", "acct", network);
    const int wanted = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID;
    EXPECT_EQ(plan.clone_flags & wanted, wanted);
    EXPECT_EQ((plan.clone_flags & CLONE_NEWNET) != 0, network);
    ASSERT_FALSE(plan.steps.empty());
    // First of all, nothing mounted reaches the host.
    const ChildStep& first = plan.steps.front();
    EXPECT_EQ(first.kind, ChildStep::kMount);
    EXPECT_EQ(first.flags, static_cast<unsigned long>(MS_REC | MS_PRIVATE));
    EXPECT_STREQ(first.target, "/");
    int binds = 0, nosuid_all = 0, loopback = 0, others = 0;
    bool proc = false;
    std::string last_bind;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
      const ChildStep& step = plan.steps[i];
      if (step.kind == ChildStep::kNosuidAll) {
        ++nosuid_all;
        EXPECT_STREQ(step.target, "/");
        EXPECT_GT(i, 1u);
      }
      if (step.kind == ChildStep::kLoopbackUp) ++loopback;
      if (step.kind == ChildStep::kDetachOthers) {
        ++others;
        EXPECT_STREQ(step.target, "/tmp/homes");
        EXPECT_STREQ(step.source, "acct");
        EXPECT_EQ(binds, 0);  // before this account's own are bound
      }
      if (step.kind != ChildStep::kMount && step.kind != ChildStep::kOptionalMount) continue;
      if (step.fstype != nullptr && std::string(step.fstype) == "proc") {
        proc = true;
        EXPECT_EQ(step.flags & (MS_NOSUID | MS_NODEV | MS_NOEXEC),
                  static_cast<unsigned long>(MS_NOSUID | MS_NODEV | MS_NOEXEC));
        EXPECT_STREQ(step.data, "hidepid=invisible");
      }
      if (!(step.flags & MS_BIND) || (step.flags & MS_REMOUNT)) continue;
      // A bind is followed by its remount: nosuid, nodev, noatime.
      ++binds;
      last_bind = step.target;
      EXPECT_EQ((step.flags & MS_REC) != 0, last_bind == "/tmp") << step.target;
      ASSERT_LT(i + 1, plan.steps.size());
      const ChildStep& remount = plan.steps[i + 1];
      EXPECT_STREQ(remount.target, step.target);
      EXPECT_EQ(remount.kind, step.kind);
      const unsigned long wanted_flags = MS_BIND | MS_REMOUNT | MS_NOSUID | MS_NODEV | MS_NOATIME;
      EXPECT_EQ(remount.flags & wanted_flags, wanted_flags) << step.target;
    }
    EXPECT_EQ(binds, 5);           // the home and the four private directories
    EXPECT_EQ(last_bind, "/tmp");  // last: it hides the store's path
    EXPECT_EQ(others, 1);
    EXPECT_TRUE(proc);
    EXPECT_EQ(nosuid_all, 1);
    EXPECT_EQ(loopback, network ? 1 : 0);
  }
}

// A session asks the forwarder only where the host's first name server is
// on the host's loopback; everything else of the host's file stays.
TEST(ForwardedResolver, ReplacesOnlyALoopbackFirstNameServer) {
  const std::pair<const char*, const char*> cases[] = {
      {"nameserver 127.0.0.53\noptions edns0\n", "nameserver S\noptions edns0\n"},
      {"# generated\n\tnameserver\t127.0.0.11 # docker\nnameserver 10.0.0.1\nsearch a b\n",
       "nameserver S\n# generated\nsearch a b\n"},
      {"nameserver ::1\nnameserver 10.0.0.1", "nameserver S\n"},
      {"nameserver 10.0.0.1\nnameserver 127.0.0.53\n", nullptr},
      {"nameserver127.0.0.1\nsearch x\n", nullptr},
      {"search x\n", nullptr},
      {"", nullptr},
  };
  for (const auto& [host, expected] : cases) {
    SCOPED_TRACE(host);
    const std::optional<std::string> got = forwarded_resolver(host, "S");
    if (expected == nullptr) {
      EXPECT_FALSE(got);
    } else {
      EXPECT_EQ(got.value_or("(none)"), expected);
    }
  }
}

}  // namespace
}  // namespace lumvex
