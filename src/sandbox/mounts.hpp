// The files of a session: a per-account store, and the private view of the
// host's filesystem that the session's processes get.
//
// The store is one tmpfs of `disk` bytes per account, mounted (nosuid, nodev)
// in a directory that only root may enter, <root>/.store/<account>. It holds
// the account's home, shown on the host at <root>/<account> by a bind mount,
// and the session's private /tmp, /var/tmp, /run/lock and /dev/shm, so that
// everything the session may store shares the one bound. Making a new store
// for the account's next session costs the same whatever the old one held:
// the old mounts are detached and the kernel frees their files.
//
// Inside the session's own mount namespace the store's directories are
// bound over /tmp, /var/tmp, /run/lock and /dev/shm (nosuid, nodev), the
// home reappears at its host path, /proc is a new instance for the
// session's own process namespace (and hides root's processes there), and
// every mount is nosuid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"
#include "sandbox/child_plan.hpp"

namespace lumvex {

class TemplateLayer;

class AccountStore {
 public:
  AccountStore() = default;

  // Replaces whatever the account `name` had at <root>/<name> (an earlier
  // store, or a plain home directory, removed without following links) by
  // a new empty store of `disk` bytes whose home belongs to `uid`. `root_fd`
  // is <root>, open, and `root` its path. With `layers`, the home is an
  // overlay of the template `layers` under the store's directory "upper"
  // (see sandbox/template_layer.hpp), `idmap` mapping the template's owner
  // to `uid`.
  static HostResult<AccountStore> reset(int root_fd, const std::string& root,
                                        const std::string& name, std::uint32_t uid,
                                        std::uint64_t disk, const TemplateLayer* layers = nullptr,
                                        int idmap = -1);

  bool valid() const { return mounted_; }
  // Where the store is mounted on the host.
  const std::string& mount_point() const { return mount_point_; }

  // Takes the store's private directories out of reach of every path on the
  // host (the home stays where it is until the account's next session).
  void detach();
  // Forgets the store without unmounting anything (in a forked copy).
  void abandon() { mounted_ = false; }

  // A detached copy of the store's mount tree, the home's overlay included,
  // for a session whose namespace comes from a pool's base (see
  // make_base_mounts): it attaches the copy where the store is on the host.
  HostResult<UniqueFd> clone_tree() const;

 private:
  std::string mount_point_;  // <root>/.store/<name>
  bool mounted_ = false;     // holds no descriptor: a live session costs none here
};

// Detaches what an account's store left mounted at <root>/<name> and
// <root>/.store/<name> (nothing when it had none).
HostResult<void> detach_account_mounts(int root_fd, const std::string& root,
                                       const std::string& name);

// Bytes of tmpfs inodes a store may hold per byte of `disk`: one inode per
// this many bytes (at least kMinInodes).
inline constexpr std::uint64_t kBytesPerInode = 8192;
inline constexpr std::uint64_t kMinInodes = 4096;

// A mount namespace for a pool's sessions to copy theirs from: the host's
// mounts as they are now, private (the host's later mounts stay out), less
// everything below `home_root` (every account's home and store). A session
// made from it copies only what it holds, so neither other accounts'
// stores nor their number weigh on it.
HostResult<UniqueFd> make_base_mounts(const std::string& home_root);

// Adds to `plan` the steps that give a child the session's private view (in
// new mount, IPC and process namespaces; the child is their first process):
// its mounts made private, every other account's store and home under
// `home_root` detached (with `store_tree`, a clone_tree() of the store, the
// child's namespace is a copy of the pool's base, `plan.base_mounts`, which
// holds none: the tree is attached instead), the store's directories over /tmp, /var/tmp,
// /run/lock and /dev/shm, the home at `home_path`, a /proc of its own that
// hides other users' processes, nosuid everywhere; with `private_network`,
// the loopback interface of its new network namespace brought up.
// The resolver file for a session of its own network whose name queries go
// to `server` (a forwarder that passes them on to the host's first name
// server): `resolv_conf`, the host's, with its name servers replaced by
// `server`. Nothing when the host's first name server is not on the host's
// loopback (the session reaches it as any other address), or when it has
// none.
std::optional<std::string> forwarded_resolver(std::string_view resolv_conf,
                                              std::string_view server);

// A file of the session's own over the host's at `path` (its hosts or
// resolver file): root's, read-only to the session.
struct SessionFile {
  std::string path;
  std::string text;
};

// ... and, with `files`, each of them in place: written into the store and
// bound over the host's file, or, for a path in the private network's own
// /run, made there.
void add_session_mounts(ChildPlan& plan, const AccountStore& store, const std::string& home_root,
                        const std::string& name, bool private_network, int store_tree = -1,
                        const std::vector<SessionFile>& files = {});

// Whether this process may mount (root with CAP_SYS_ADMIN).
bool can_mount();

}  // namespace lumvex
