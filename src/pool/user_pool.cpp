#include "pool/user_pool.hpp"

#include <unistd.h>

#include <cerrno>
#include <exception>

#include "base/utf8.hpp"
#include "error/internal_error.hpp"
#include "pool/process.hpp"

namespace lumvex {

namespace {

constexpr std::uint32_t kSeedWord = 0x2A2A2A2A;  // sixteen bytes of 0x2A
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kNameLength = 8;

// Writes all of `text` to file descriptor 2, unbuffered (best effort).
void write_stderr(std::string_view text) {
  write_all(STDERR_FILENO, text);
}

// The claim's descriptor (empty when another holder has it); a claim that
// cannot be made is an internal error ("Failed to create the temporary home
// directory" when the claims' parent cannot be had).
UniqueFd claimed(HostResult<UniqueFd> claim) {
  if (!claim) throw InternalError("Failed to " + claim.error().message());
  return std::move(*claim);
}

}  // namespace

std::optional<std::uint32_t> parse_uid_output(std::string_view output) {
  std::string_view line = output;
  if (std::size_t end = output.find('\n'); end != std::string_view::npos) {
    line = output.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  if (line.starts_with('+')) line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

UserPool::UserPool(std::string home_root)
    : home_root_(std::move(home_root)), rng_(kSeedWord, kSeedWord, kSeedWord, kSeedWord) {
  user_.reserve(max_user_);
  free_.reserve(max_user_);
  retry_.reserve(max_user_);
}

std::optional<std::uint32_t> UserPool::userid(const std::string& name) {
  CapturedOutput result = run_captured("id", {"-u", name});
  if (!result.success) return std::nullopt;
  if (!is_valid_utf8(result.out)) {
    write_stderr("Failed to convert the result back to a valid utf-8 string\n");
    return std::nullopt;
  }
  return parse_uid_output(result.out);
}

std::optional<std::uint32_t> UserPool::create_user(const std::string& name) {
  CapturedOutput result = run_captured("useradd", {name});
  if (!result.success) {
    std::string_view err = is_valid_utf8(result.err) ? result.err : std::string_view();
    std::string line = "Failed to create the user account: ";
    line += err;
    line += '\n';
    write_stderr(line);
    return std::nullopt;
  }
  return userid(name);
}

std::string UserPool::generate_name() {
  std::string name(kNamePrefix);
  while (name.size() < kNamePrefix.size() + kNameLength) {
    std::uint32_t draw = rng_.next();
    if (draw > 0xF7FFFFFFu) continue;  // top six bits 62 or 63: no letter
    name += kAlphabet[draw >> 26];
  }
  return name;
}

std::optional<ClaimedAccount> UserPool::get_user() {
  return get_user(true);
}

std::optional<ClaimedAccount> UserPool::get_user(bool retry) {
  // Refuse before anything is generated or created on the host.
  if (user_.size() >= max_user_) return std::nullopt;

  // Reuse, last released first, then the accounts set aside, first set
  // aside first; an account that another pool has claimed meanwhile stays
  // where it is.
  if (auto reused = take_listed(free_, /*newest_first=*/true)) return reused;
  if (retry) {
    if (auto retried = take_listed(retry_, /*newest_first=*/false)) {
      retried->retried = true;
      return retried;
    }
  }

  for (std::size_t passed_over = 0; passed_over < max_user_; ++passed_over) {
    check_invariant(user_.size() <= max_user_, "self.user.len() <= self.max_user");
    std::string name = generate_name();
    UniqueFd claim = claimed(claim_account(home_root_, name));
    if (!claim) continue;  // another pool's session runs as this account
    std::optional<std::uint32_t> uid = userid(name);
    if (!uid) uid = create_user(name);
    if (!uid) return std::nullopt;
    return enter_in_use(Account{*uid, std::move(name)}, std::move(claim));
  }
  return std::nullopt;
}

std::optional<ClaimedAccount> UserPool::take_listed(std::vector<Account>& list, bool newest_first) {
  for (std::size_t n = 0; n < list.size(); ++n) {
    const std::size_t i = newest_first ? list.size() - 1 - n : n;
    UniqueFd claim = claimed(claim_account(home_root_, list[i].name));
    if (!claim) continue;
    Account account = std::move(list[i]);
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    return enter_in_use(std::move(account), std::move(claim));
  }
  return std::nullopt;
}

ClaimedAccount UserPool::enter_in_use(Account account, UniqueFd claim) {
  user_.push_back(account);
  return ClaimedAccount{std::move(account), std::move(claim)};
}

void UserPool::release_user(std::uint32_t uid) {
  move_in_use(uid, free_);
}

void UserPool::park_user(std::uint32_t uid) {
  move_in_use(uid, retry_);
}

void UserPool::move_in_use(std::uint32_t uid, std::vector<Account>& to) {
  for (std::size_t i = 0; i < user_.size(); ++i) {
    if (user_[i].uid != uid) continue;
    to.push_back(std::move(user_[i]));
    user_.erase(user_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

PoolHandle make_shared_pool(SandboxPolicy policy) {
  return std::make_shared<SharedPool>(std::move(policy));
}

PoolGuard::PoolGuard(SharedPool& shared)
    : shared_(shared), exceptions_on_entry_(std::uncaught_exceptions()) {
  shared_.mutex.lock();
  if (shared_.poison.poisoned()) {
    shared_.mutex.unlock();
    throw InternalError("The user pool is poisoned");
  }
}

PoolGuard::~PoolGuard() {
  if (std::uncaught_exceptions() > exceptions_on_entry_) shared_.poison.poison();
  shared_.mutex.unlock();
}

}  // namespace lumvex
