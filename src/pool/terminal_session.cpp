#include "pool/terminal_session.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "error/internal_error.hpp"
#include "terminal/utf8.hpp"

namespace lumvex {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCreateHomeFailed = "Failed to create the temporary home directory";

std::string os_error_text(int error) {
  return std::generic_category().message(error) + " (os error " + std::to_string(error) + ")";
}

// Takes an account from the pool. The pool's mutex is held only here. An
// InternalError from get_user (a host program that cannot be started) leaves
// the pool consistent, so it is rethrown only after the guard is gone and
// does not poison the pool.
Account take_account(SharedPool& shared) {
  std::optional<Account> account;
  std::exception_ptr error;
  {
    PoolGuard pool(shared);
    try {
      account = pool->get_user();
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

// The shared parent of the home directories must be a directory of this
// process's user that nobody else can write to: otherwise another user
// could swap a fresh home directory for a link between its creation and the
// change of its owner, and have some other file handed to the account.
// Group and other write permission (left by a permissive umask) is taken
// away; a parent that is a link or belongs to someone else is refused.
void secure_home_root() {
  struct stat info {};
  if (::lstat(TerminalSession::kHomeRoot.data(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      info.st_uid != ::geteuid()) {
    throw InternalError(kCreateHomeFailed);
  }
  const mode_t open_to_others = S_IWGRP | S_IWOTH;
  if ((info.st_mode & open_to_others) != 0 &&
      ::chmod(TerminalSession::kHomeRoot.data(), (info.st_mode & 07777) & ~open_to_others) != 0) {
    throw InternalError(kCreateHomeFailed);
  }
}

}  // namespace

std::expected<TerminalSession, std::string> TerminalSession::make(PoolHandle pool) {
  Account account = take_account(*pool);

  // From here on a failure keeps the account out of the pool: it may be in an
  // unknown state on the host.
  std::string home = std::string(kHomeRoot) + "/" + account.name;
  std::error_code ec;
  fs::create_directories(kHomeRoot, ec);
  if (ec) throw InternalError(kCreateHomeFailed);
  secure_home_root();

  // Whatever is at the home path goes: a directory with its contents, or a
  // symbolic link itself (also a dangling one), never what a link points to.
  if (fs::symlink_status(home, ec).type() != fs::file_type::not_found) {
    fs::remove_all(home, ec);
    if (ec) throw InternalError("Failed to remove the existing temporary home directory");
  }
  if (::mkdir(home.c_str(), 0777) != 0) throw InternalError(kCreateHomeFailed);

  fs::path canonical = fs::canonical(home, ec);
  if (ec || !is_valid_utf8(canonical.native())) return std::unexpected(kCreateHomeFailed);
  std::string canonical_home = canonical.native();
  if (::chown(canonical_home.c_str(), account.uid, account.uid) != 0) {
    return std::unexpected("Failed to change the ownership of the home directory: " +
                           os_error_text(errno));
  }

  PipedChild child =
      start_piped("su", {"-s", "/bin/bash", "-P", "-c", "cd /; exec /bin/bash", account.name});
  return TerminalSession(std::move(child), std::move(canonical_home), std::move(pool), account.uid);
}

TerminalSession::TerminalSession(PipedChild child, std::string home, PoolHandle pool,
                                 std::uint32_t uid)
    : child_(std::move(child)), home_(std::move(home)), pool_(std::move(pool)), uid_(uid) {}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept
    : child_(std::exchange(other.child_, std::nullopt)),
      home_(std::move(other.home_)),
      pool_(std::move(other.pool_)),
      uid_(other.uid_) {}

TerminalSession::~TerminalSession() {
  try {
    close();
  } catch (const InternalError&) {
    // Nothing to report to from a destructor; see the header.
  }
}

void TerminalSession::close() {
  if (!child_) return;
  PipedChild child = std::move(*child_);
  child_.reset();

  if (::kill(child.pid, SIGKILL) != 0) {
    int error = errno;
    throw InternalError("Failed to kill the terminal session: " +
                        std::generic_category().message(error));
  }
  child.stdin_write.reset();
  child.stdout_read.reset();
  child.stderr_read.reset();
  wait_child(child.pid);

  PoolGuard guard(*pool_);
  guard->release_user(uid_);
}

bool TerminalSession::write(std::string_view data) {
  if (!child_) return false;
  SigpipeBlock block;
  const int fd = child_->stdin_write.get();
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) block.note_epipe();
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::size_t> TerminalSession::read_stdout(std::span<char> buffer) {
  if (!child_) return std::nullopt;
  return read_from(child_->stdout_read.get(), buffer);
}

std::optional<std::size_t> TerminalSession::read_stderr(std::span<char> buffer) {
  if (!child_) return std::nullopt;
  return read_from(child_->stderr_read.get(), buffer);
}

std::optional<std::size_t> TerminalSession::read_from(int fd, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n < 0) return std::nullopt;
  return static_cast<std::size_t>(n);
}

}  // namespace lumvex
