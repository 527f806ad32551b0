// UserPool: hands out host accounts to terminal sessions. Accounts are made
// on demand with the host's `useradd` (their uids looked up with `id`), and
// an account given back by a closed session is reused before a new one is
// made, last released first.
//
// Before a pool hands out an account it claims it host-wide (claim_account):
// an account that another holder, in this process or another, has claimed
// is passed over as if it were in use. The claim goes with the account to
// the session, which lets it go when it ends.
//
// A pool is shared by reference counting behind one mutex (SharedPool); every
// access to its lists and its name generator happens through a PoolGuard.
// Nothing here touches the Python interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.hpp"
#include "base/poison.hpp"
#include "base/thread_annotations.hpp"
#include "base/unique_fd.hpp"
#include "sandbox/host_files.hpp"
#include "sandbox/policy.hpp"
#include "sandbox/private_network.hpp"
#include "sandbox/template_layer.hpp"

namespace lumvex {

// A host account: numeric user id and login name.
struct Account {
  std::uint32_t uid = 0;
  std::string name;

  friend bool operator==(const Account&, const Account&) = default;
};

// An account with the descriptor that holds its host-wide claim.
struct ClaimedAccount : Account {
  UniqueFd claim;
  bool retried = false;  // taken from the accounts whose last close failed
};

// Marsaglia's xorshift128 generator.
class Xorshift128 {
 public:
  constexpr Xorshift128(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t w)
      : x_(x), y_(y), z_(z), w_(w) {}

  constexpr std::uint32_t next() {
    std::uint32_t t = x_ ^ (x_ << 11);
    x_ = y_;
    y_ = z_;
    z_ = w_;
    w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
    return w_;
  }

 private:
  std::uint32_t x_, y_, z_, w_;
};

// Parses the first line of `id -u` output as an unsigned 32-bit decimal:
// digits with an optional leading '+', nothing else, no overflow. The first
// line ends at the first "\n" (one "\r" before it is dropped).
std::optional<std::uint32_t> parse_uid_output(std::string_view output);

class UserPool {
 public:
  static constexpr std::size_t kMaxUser = 256;
  static constexpr std::string_view kNamePrefix = "test_";

  // An empty pool with the generator at its fixed seed, whose claims live
  // under `home_root` (see claim_account).
  explicit UserPool(std::string home_root = std::string(kHomeRoot));

  // The uid of the host account `name`, by running `id -u <name>`; nothing
  // when the account does not exist or the output is not a plain number.
  // Blocks until `id` exits. Throws InternalError when `id` cannot be started.
  static std::optional<std::uint32_t> userid(const std::string& name);

  // Creates the host account with `useradd <name>` and gives its uid (looked
  // up again with `id`). On failure writes "Failed to create the user
  // account: <stderr>" to file descriptor 2 and gives nothing. Blocks until
  // the commands exit. Throws InternalError when a command cannot be started.
  static std::optional<std::uint32_t> create_user(const std::string& name);

  // Takes an account for a new session, claims it host-wide and enters it in
  // the in-use list: the last released account that no other pool holds,
  // else a newly named account (adopted if it already exists on the host,
  // else created; names held by other pools are passed over). Gives nothing
  // when max_user() accounts are already in use (nothing is generated or
  // created then), when no account could be had, or when max_user() names
  // in a row are held elsewhere. May block on `id` and `useradd`. Throws
  // InternalError when they cannot be started or the claim cannot be made;
  // the lists are left unchanged then (only the generator has advanced).
  std::optional<ClaimedAccount> get_user();
  // As get_user(); with `retry` false, the accounts whose last close failed
  // are passed over (after the free list they are tried first otherwise).
  std::optional<ClaimedAccount> get_user(bool retry);

  // Moves the first in-use entry with this uid aside, to the accounts whose
  // close failed: they are tried again, after the free list, by later
  // get_user calls (whose session first ends what the account left).
  void park_user(std::uint32_t uid);

  // Moves the first in-use entry with this uid to the free list; an unknown
  // uid is ignored.
  void release_user(std::uint32_t uid);

  // The next "test_" name from the generator.
  std::string generate_name();

  const std::vector<Account>& in_use() const { return user_; }
  const std::vector<Account>& free_accounts() const { return free_; }
  const std::vector<Account>& parked_accounts() const { return retry_; }
  std::size_t max_user() const { return max_user_; }

 private:
  // Takes the first account of `list` (from its end with `newest_first`)
  // that can be claimed, and enters it in the in-use list.
  std::optional<ClaimedAccount> take_listed(std::vector<Account>& list, bool newest_first);
  // Moves the first in-use entry with this uid to the end of `to`.
  void move_in_use(std::uint32_t uid, std::vector<Account>& to);
  // Enters `account` in the in-use list and hands it out with `claim`.
  ClaimedAccount enter_in_use(Account account, UniqueFd claim);

  std::string home_root_;
  std::vector<Account> user_;   // in use by sessions
  std::vector<Account> free_;   // given back; a stack, last released on top
  std::vector<Account> retry_;  // whose close failed; tried again later
  std::size_t max_user_ = kMaxUser;
  Xorshift128 rng_;
};

// A pool shared between its Python object and every session made from it.
struct SharedPool {
  explicit SharedPool(SandboxPolicy walls = {}) : policy(std::move(walls)) {}

  const SandboxPolicy policy;  // the walls of every session; fixed
  // The template of sessions made without one (none: an empty home); set
  // before the pool is shared, fixed afterwards.
  TemplateRef default_template;
  // User namespaces that map the template owner to an account, by uid: made
  // on an account's first session from a template, kept with the pool.
  Mutex idmap_mutex;
  std::vector<std::pair<std::uint32_t, UniqueFd>> idmaps GUARDED_BY(idmap_mutex);
  // The mount namespace the sessions' are copies of (sandbox/mounts.hpp),
  // made with the first session that has a store; where it cannot be made,
  // each session detaches the other accounts' mounts from its own copy of
  // the host's.
  Mutex base_mutex;
  UniqueFd base_mounts GUARDED_BY(base_mutex);
  bool base_unavailable GUARDED_BY(base_mutex) = false;
  // The private network the next session joins, made ahead (for a policy
  // with pasta): started as a session takes the one before.
  Mutex network_mutex;
  std::optional<PrivateNetwork> next_network GUARDED_BY(network_mutex);
  Mutex mutex;
  UserPool pool GUARDED_BY(mutex);
  Poison poison;  // set when a guard is left by an exception
};

using PoolHandle = std::shared_ptr<SharedPool>;

// A pool whose sessions have `policy`'s walls (none by default: the tests of
// the pool's bookkeeping need none).
PoolHandle make_shared_pool(SandboxPolicy policy = {});

// Holds a pool's mutex for its lifetime. Blocks while another thread holds
// it (which may include a running `id`/`useradd`). Throws InternalError when
// the pool is poisoned. A guard left by an exception poisons the pool, so
// code that keeps the pool consistent across an exception must catch it
// before the guard goes.
class SCOPED_CAPABILITY PoolGuard {
 public:
  explicit PoolGuard(SharedPool& shared) ACQUIRE(shared.mutex);
  ~PoolGuard() RELEASE();
  PoolGuard(const PoolGuard&) = delete;
  PoolGuard& operator=(const PoolGuard&) = delete;

  // The pool, whose mutex this guard holds (which the analysis cannot see
  // through the reference).
  UserPool& operator*() NO_THREAD_SAFETY_ANALYSIS { return shared_.pool; }
  UserPool* operator->() NO_THREAD_SAFETY_ANALYSIS { return &shared_.pool; }

 private:
  SharedPool& shared_;
  int exceptions_on_entry_;
};

}  // namespace lumvex
