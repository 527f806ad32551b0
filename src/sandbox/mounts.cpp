#include "sandbox/mounts.hpp"

#include <fcntl.h>
#include <linux/mount.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "sandbox/helper_launch.hpp"
#include "sandbox/host_files.hpp"
#include "sandbox/host_text.hpp"
#include "sandbox/template_layer.hpp"

namespace lumvex {

namespace {

constexpr std::string_view kStoreDir = ".store";
// The store's directories, and where the session sees them.
struct Place {
  const char* dir;
  const char* target;
};
constexpr Place kPrivatePlaces[] = {
    {"tmp", "/tmp"}, {"var_tmp", "/var/tmp"}, {"run_lock", "/run/lock"}, {"shm", "/dev/shm"}};

std::string fd_path(int fd, std::string_view rest = {}) {
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (!rest.empty()) {
    path += '/';
    path += rest;
  }
  return path;
}

// Detaches every mount stacked on entry `name` of `dir_fd` (whose device is
// `dir_dev`), until the entry is a plain directory of `dir_fd`'s filesystem
// again or is missing.
HostResult<void> detach_mounts_at(int dir_fd, const std::string& name, dev_t dir_dev) {
  for (int round = 0; round < 64; ++round) {
    struct stat st{};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return {};
      return host_error("inspect " + name);
    }
    if (st.st_dev == dir_dev) return {};
    if (::umount2(fd_path(dir_fd, name).c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
      return host_error("unmount " + name);
    }
  }
  return host_error("unmount " + name, EBUSY);
}

// Makes directory `name` in `dir_fd` (an existing one is fine), owned by
// `uid`:`uid` with `mode` whatever the umask, and opens it.
HostResult<UniqueFd> make_dir_at(int dir_fd, const char* name, uid_t uid, mode_t mode) {
  if (::mkdirat(dir_fd, name, 0700) != 0 && errno != EEXIST) {
    return host_error(std::string("create ") + name);
  }
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return host_error(std::string("open ") + name);
  if (::fchown(fd.get(), uid, uid) != 0 || ::fchmod(fd.get(), mode) != 0) {
    return host_error(std::string("set the owner of ") + name);
  }
  return fd;
}

}  // namespace

HostResult<void> detach_account_mounts(int root_fd, const std::string& root,
                                       const std::string& name) {
  struct stat root_st{};
  if (::fstat(root_fd, &root_st) != 0) return host_error("inspect " + root);
  if (auto r = detach_mounts_at(root_fd, name, root_st.st_dev); !r) return r;
  UniqueFd stores(
      ::openat(root_fd, kStoreDir.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat stores_st{};
  if (!stores) return {};
  if (::fstat(stores.get(), &stores_st) != 0) return host_error("inspect " + root + "/.store");
  return detach_mounts_at(stores.get(), name, stores_st.st_dev);
}

bool can_mount() {
  if (::geteuid() != 0) return false;
  HostResult<std::string> status = read_text("/proc/self/status");
  if (!status) return false;
  std::size_t at = status->find("\nCapEff:");
  if (at == std::string::npos) return false;
  unsigned long long caps = std::strtoull(status->c_str() + at + 8, nullptr, 16);
  constexpr int kCapSysAdmin = 21;
  return (caps >> kCapSysAdmin) & 1;
}

HostResult<AccountStore> AccountStore::reset(int root_fd, const std::string& root,
                                             const std::string& name, std::uint32_t uid,
                                             std::uint64_t disk, const TemplateLayer* layers,
                                             int idmap) {
  struct stat root_st{};
  if (::fstat(root_fd, &root_st) != 0) return host_error("inspect " + root);

  // The store's parent: root's alone.
  if (::mkdirat(root_fd, kStoreDir.data(), 0700) != 0 && errno != EEXIST) {
    return host_error("create " + root + "/" + std::string(kStoreDir));
  }
  UniqueFd stores(
      ::openat(root_fd, kStoreDir.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat stores_st{};
  if (!stores || ::fstat(stores.get(), &stores_st) != 0) {
    return host_error("open " + root + "/" + std::string(kStoreDir));
  }
  if (stores_st.st_uid != ::geteuid() || (stores_st.st_mode & 077) != 0) {
    if (::fchown(stores.get(), ::geteuid(), ::getegid()) != 0 ||
        ::fchmod(stores.get(), 0700) != 0) {
      return host_error("make " + root + "/" + std::string(kStoreDir) + " private");
    }
  }

  // Out with the old: the home's mount, the store's, and a plain home
  // directory of an older version (removed without following links).
  if (auto r = detach_mounts_at(root_fd, name, root_st.st_dev); !r)
    return std::unexpected(r.error());
  if (auto r = detach_mounts_at(stores.get(), name, stores_st.st_dev); !r) {
    return std::unexpected(r.error());
  }
  if (auto removed = remove_tree_at(root_fd, name); !removed)
    return std::unexpected(removed.error());

  AccountStore store;
  store.mount_point_ = root + "/" + std::string(kStoreDir) + "/" + name;
  if (::mkdirat(stores.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
    return host_error("create " + store.mount_point_);
  }
  const std::uint64_t inodes = std::max(kMinInodes, disk / kBytesPerInode);
  const std::string options =
      "size=" + std::to_string(disk) + ",nr_inodes=" + std::to_string(inodes) + ",mode=0700";
  if (::mount("lumvex", fd_path(stores.get(), name).c_str(), "tmpfs",
              MS_NOSUID | MS_NODEV | MS_NOATIME, options.c_str()) != 0) {
    return host_error("mount a tmpfs on " + store.mount_point_);
  }
  store.mounted_ = true;
  UniqueFd top(
      ::openat(stores.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!top) return host_error("open " + store.mount_point_);

  if (layers != nullptr) {
    // The home is an overlay: the template's files under what the session
    // writes, which stays in the store.
    for (auto [dir, owner] :
         {std::pair{"upper", uid}, std::pair{"work", 0u}, std::pair{"home", 0u}}) {
      if (auto made = make_dir_at(top.get(), dir, owner, 0700); !made) {
        return std::unexpected(made.error());
      }
    }
    if (auto mounted = mount_template_home(top.get(), "home", "upper", "work", *layers, idmap);
        !mounted) {
      return std::unexpected(mounted.error());
    }
  } else if (HostResult<UniqueFd> home = make_dir_at(top.get(), "home", uid, 0700); !home) {
    return std::unexpected(home.error());
  }
  for (const Place& place : kPrivatePlaces) {
    if (auto dir = make_dir_at(top.get(), place.dir, 0, 01777); !dir) {
      return std::unexpected(dir.error());
    }
  }
  // Inside the session the home sits below its private /tmp, at the path it
  // has on the host.
  HostResult<UniqueFd> tmp = make_dir_at(top.get(), "tmp", 0, 01777);
  if (!tmp) return std::unexpected(tmp.error());
  std::string_view below_tmp = std::string_view(root);
  if (below_tmp.starts_with("/tmp/")) {
    below_tmp.remove_prefix(5);
    UniqueFd at = std::move(*tmp);
    for (std::string_view rest = below_tmp; !rest.empty();) {
      std::size_t slash = rest.find('/');
      std::string part(rest.substr(0, slash));
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
      HostResult<UniqueFd> next = make_dir_at(at.get(), part.c_str(), 0, 0711);
      if (!next) return std::unexpected(next.error());
      at = std::move(*next);
    }
    if (auto point = make_dir_at(at.get(), name.c_str(), 0, 0700); !point) {
      return std::unexpected(point.error());
    }
  }

  // The home on the host, at <root>/<name>.
  if (::mkdirat(root_fd, name.c_str(), 0700) != 0) return host_error("create " + root + "/" + name);
  const std::string home_target = fd_path(root_fd, name);
  if (::mount(fd_path(top.get(), "home").c_str(), home_target.c_str(), nullptr, MS_BIND, nullptr) !=
          0 ||
      ::mount(nullptr, home_target.c_str(), nullptr,
              MS_BIND | MS_REMOUNT | MS_NOSUID | MS_NODEV | MS_NOATIME, nullptr) != 0) {
    return host_error("mount the home at " + root + "/" + name);
  }
  return store;
}

void AccountStore::detach() {
  if (!mounted_) return;
  mounted_ = false;
  ::umount2(mount_point_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
}

HostResult<UniqueFd> AccountStore::clone_tree() const {
  const int fd = static_cast<int>(
      ::syscall(SYS_open_tree, AT_FDCWD, mount_point_.c_str(),
                OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_SYMLINK_NOFOLLOW));
  if (fd < 0) return host_error("clone the mounts of " + mount_point_);
  return UniqueFd(fd);
}

HostResult<UniqueFd> make_base_mounts(const std::string& home_root) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return host_error("make a socket pair");
  }
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  std::string program = "lumvex-session-helper";
  std::string mode = "base";
  std::string root = home_root;
  char* argv[] = {program.data(), mode.data(), root.data(), nullptr};
  HostResult<LaunchedHelper> helper = launch_helper(argv, CLONE_NEWNS, theirs.get());
  if (!helper) return std::unexpected(helper.error());
  theirs.reset();
  // The helper is ended once its namespace is open here (or it failed).
  HelperReaper reap(*helper);
  pollfd ready{ours.get(), POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, 10'000);
  } while (polled < 0 && errno == EINTR);
  if (polled == 0) return std::unexpected(HostError{"make the sessions' base mounts", ETIMEDOUT});
  int error = 0;
  if (int failed = read_all(ours.get(), &error, sizeof error); failed != 0) {
    return std::unexpected(HostError{"make the sessions' base mounts", failed});
  }
  if (error != 0) return std::unexpected(HostError{"make the sessions' base mounts", error});
  UniqueFd ns(
      ::open(("/proc/" + std::to_string(helper->pid) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
  if (!ns) return host_error("open the sessions' base mounts");
  return ns;
}

std::optional<std::string> forwarded_resolver(std::string_view resolv_conf,
                                              std::string_view server) {
  std::string kept;
  std::optional<std::string_view> first;
  while (!resolv_conf.empty()) {
    const std::size_t end = std::min(resolv_conf.find('\n'), resolv_conf.size());
    const std::string_view line = resolv_conf.substr(0, end);
    resolv_conf.remove_prefix(std::min(end + 1, resolv_conf.size()));
    std::string_view rest = line;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.starts_with("nameserver") && rest.size() > 10 &&
        (rest[10] == ' ' || rest[10] == '\t')) {
      rest.remove_prefix(10);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      if (!first) first = rest.substr(0, std::min(rest.find_first_of(" \t#;"), rest.size()));
      continue;
    }
    kept.append(line);
    kept.push_back('\n');
  }
  if (!first || !(first->starts_with("127.") || *first == "::1")) return std::nullopt;
  return "nameserver " + std::string(server) + "\n" + kept;
}

void add_session_mounts(ChildPlan& plan, const AccountStore& store, const std::string& home_root,
                        const std::string& name, bool private_network, int store_tree,
                        const std::vector<SessionFile>& files) {
  const std::string home_path = home_root + "/" + name;
  plan.clone_flags |= CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID;
  if (private_network) plan.clone_flags |= CLONE_NEWNET;
  auto mount = [&](ChildStep::Kind kind, const char* source, const char* target, const char* fstype,
                   unsigned long flags, const char* data) {
    ChildStep step;
    step.kind = kind;
    step.source = source;
    step.target = target;
    step.fstype = fstype;
    step.flags = flags;
    step.data = data;
    plan.steps.push_back(step);
  };
  const unsigned long kPrivate = MS_BIND | MS_REMOUNT | MS_NOSUID | MS_NODEV | MS_NOATIME;
  auto bind = [&](ChildStep::Kind kind, const char* source, const char* target, bool recursive) {
    mount(kind, source, target, nullptr, MS_BIND | (recursive ? MS_REC : 0), nullptr);
    mount(kind, nullptr, target, nullptr, kPrivate, nullptr);
  };
  // The paths below are those of the child's new namespace, a copy of this
  // one; the store's parent is root's alone, so nothing the account does
  // changes what they name. /tmp goes last: it hides the store's path.
  const std::string& top = store.mount_point();
  // Nothing mounted here reaches the host, nor the host's later mounts here.
  mount(ChildStep::kMount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  // Other accounts' stores and homes leave the copy (they would show in its
  // mount table and keep a replaced store's memory for as long as the
  // session lives); this account's own stay until they are bound below.
  ChildStep others;
  if (store_tree >= 0) {
    // A copy of the pool's base, which has none: the store comes in alone.
    others.kind = ChildStep::kAttachTree;
    others.fd = store_tree;
    others.target = plan.keep(top);
  } else {
    others.kind = ChildStep::kDetachOthers;
    others.target = plan.keep(home_root);
    others.source = plan.keep(name);
  }
  plan.steps.push_back(others);
  // Session files outside /run: written into the store by the helper, and
  // bound read-only over the host's (before the store's path is hidden).
  auto in_run = [&](const SessionFile& file) {
    return private_network && file.path.starts_with("/run/");
  };
  for (const SessionFile& file : files) {
    if (in_run(file)) continue;
    const std::string in_store = top + "/" + file.path.substr(file.path.rfind('/') + 1);
    ChildStep write;
    write.kind = ChildStep::kWriteFile;
    write.target = plan.keep(in_store);
    write.data = plan.keep(file.text);
    write.flags = 0644;
    plan.steps.push_back(write);
    mount(ChildStep::kMount, plan.keep(in_store), plan.keep(file.path), nullptr, MS_BIND, nullptr);
    mount(ChildStep::kMount, nullptr, plan.keep(file.path), nullptr,
          MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr);
  }
  std::string home_below_tmp = home_path;
  if (home_below_tmp.starts_with("/tmp/")) home_below_tmp.erase(0, 5);
  bind(ChildStep::kMount, plan.keep(top + "/home"), plan.keep(top + "/tmp/" + home_below_tmp),
       false);
  // A /dev of its own: the safe devices and pseudo-terminals only. The
  // pool's base has the devices already; the pseudo-terminals are the
  // session's own.
  if (store_tree >= 0) {
    mount(ChildStep::kMount, "devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
          "newinstance,ptmxmode=0666,mode=0620,gid=5");
  } else {
    ChildStep dev;
    dev.kind = ChildStep::kMinimalDev;
    dev.target = "/dev";
    plan.steps.push_back(dev);
  }
  if (private_network) {
    // Without the host's network, none of its unix sockets either: /run,
    // where services keep theirs, is empty (but for the store's lock
    // directory); /tmp is the session's own, and /dev/log went with /dev.
    mount(ChildStep::kMount, "lumvex-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
          "mode=0755,size=1048576");
    ChildStep lock;
    lock.kind = ChildStep::kMakeDir;
    lock.target = "/run/lock";
    lock.flags = 01777;
    plan.steps.push_back(lock);
    // Session files in /run: made in it, in directories root's alone.
    for (const SessionFile& file : files) {
      if (!in_run(file)) continue;
      for (std::size_t slash = file.path.find('/', 5); slash != std::string::npos;
           slash = file.path.find('/', slash + 1)) {
        ChildStep dir;
        dir.kind = ChildStep::kMakeDir;
        dir.target = plan.keep(file.path.substr(0, slash));
        dir.flags = 0755;
        plan.steps.push_back(dir);
      }
      ChildStep write;
      write.kind = ChildStep::kWriteFile;
      write.target = plan.keep(file.path);
      write.data = plan.keep(file.text);
      write.flags = 0644;
      plan.steps.push_back(write);
    }
  }
  for (const Place& place : kPrivatePlaces) {
    if (std::string_view(place.target) == "/tmp") continue;
    bind(ChildStep::kOptionalMount, plan.keep(top + "/" + place.dir), place.target, false);
  }
  bind(ChildStep::kMount, plan.keep(top + "/tmp"), "/tmp", true);
  mount(ChildStep::kMount, "proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
        "hidepid=invisible");
  // Other sessions' figures (and the host's) are not the session's to read
  // (the pool's base hides them already).
  if (store_tree < 0) {
    mount(ChildStep::kOptionalMount, "lumvex-cgroup", "/sys/fs/cgroup", "tmpfs",
          MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555,size=4096");
  }
  ChildStep nosuid;
  nosuid.kind = ChildStep::kNosuidAll;
  nosuid.target = "/";
  plan.steps.push_back(nosuid);
  if (private_network) {
    ChildStep up;
    up.kind = ChildStep::kLoopbackUp;
    plan.steps.push_back(up);
  }
}

}  // namespace lumvex
