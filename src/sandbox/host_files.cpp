#include "sandbox/host_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "error/internal_error.hpp"

namespace lumvex {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kOpenToOthers = S_IWGRP | S_IWOTH;

// `fd` is a directory of the calling user that others cannot write to
// (their write permission is taken away if it was there).
bool make_owned_and_closed(int fd) {
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    return false;
  }
  if ((info.st_mode & kOpenToOthers) == 0) return true;
  return ::fchmod(fd, (info.st_mode & 07777) & ~kOpenToOthers) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// One directory on the way down: its name in its parent, its identity, and
// the subdirectories still to remove.
struct Level {
  explicit Level(std::string level_name) : name(std::move(level_name)) {}

  std::string name;
  struct stat info{};
  bool scanned = false;
  std::vector<std::string> subdirectories;
};

// Removes everything in `dir_fd` but its subdirectories, whose names go to
// `subdirectories`. Returns 0 or an errno.
int clear_files(int dir_fd, std::vector<std::string>& subdirectories) {
  int listing = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return errno;
  UniqueDir dir(::fdopendir(listing));
  if (!dir) {
    int error = errno;
    ::close(listing);
    return error;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info{};
    if (::fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return errno;
    }
    if (S_ISDIR(info.st_mode)) {
      subdirectories.emplace_back(name);
    } else if (::unlinkat(dir_fd, entry->d_name, 0) != 0 && errno != ENOENT) {
      return errno;
    }
  }
  return 0;
}

// Opens the subdirectory `name` of `dir_fd` without following a link, and
// fills `info`. Empty (errno set) if it is not a directory.
UniqueFd open_dir_at(int dir_fd, const std::string& name, struct stat& info) {
  UniqueFd fd(::openat(dir_fd, name.c_str(), kDirFlags));
  if (fd && ::fstat(fd.get(), &info) != 0) fd.reset();
  return fd;
}

}  // namespace

HostResult<UniqueFd> open_home_root(const std::string& root) {
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) return host_error("create " + root, ec.value());
  UniqueFd fd(::open(root.c_str(), kDirFlags));
  if (!fd) return host_error("open " + root);
  if (!make_owned_and_closed(fd.get())) {
    return host_error(root + " is not a private directory of this user", EPERM);
  }
  return fd;
}

namespace {

// remove_tree_at's work: 0 or the errno of the first failure.
int remove_tree(int dir_fd, const std::string& name) {
  struct stat top{};
  if (::fstatat(dir_fd, name.c_str(), &top, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  if (!S_ISDIR(top.st_mode)) return ::unlinkat(dir_fd, name.c_str(), 0) == 0 ? 0 : errno;

  // Depth first, holding only the directory being emptied: the way back up
  // goes through "..", checked against the identity recorded on the way down.
  std::vector<Level> path;
  path.emplace_back(name);
  UniqueFd current = open_dir_at(dir_fd, name, path.back().info);
  if (!current) return errno;
  if (!same_file(path.back().info, top)) return ESTALE;
  for (;;) {
    Level& level = path.back();
    if (!level.scanned) {
      if (int error = clear_files(current.get(), level.subdirectories)) return error;
      level.scanned = true;
    }
    if (!level.subdirectories.empty()) {
      Level below(std::move(level.subdirectories.back()));
      level.subdirectories.pop_back();
      UniqueFd child = open_dir_at(current.get(), below.name, below.info);
      if (!child) {
        if (errno == ENOENT) continue;
        return errno;
      }
      path.push_back(std::move(below));
      current = std::move(child);
      continue;
    }
    Level done = std::move(path.back());
    path.pop_back();
    if (path.empty()) {
      return ::unlinkat(dir_fd, done.name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
    }
    struct stat parent_info{};
    UniqueFd parent = open_dir_at(current.get(), "..", parent_info);
    if (!parent) return errno;
    if (!same_file(parent_info, path.back().info)) return ESTALE;
    if (::unlinkat(parent.get(), done.name.c_str(), AT_REMOVEDIR) != 0) return errno;
    current = std::move(parent);
  }
}

}  // namespace

HostResult<void> remove_tree_at(int dir_fd, const std::string& name) {
  const int error = remove_tree(dir_fd, name);
  if (error != 0) return host_error("remove " + name, error);
  return {};
}

HostResult<UniqueFd> make_private_dir_at(int dir_fd, const std::string& name) {
  if (::mkdirat(dir_fd, name.c_str(), 0700) != 0) return host_error("create " + name);
  UniqueFd fd(::openat(dir_fd, name.c_str(), kDirFlags));
  if (!fd || ::fchmod(fd.get(), 0700) != 0) return host_error("open " + name);
  return fd;
}

HostResult<UniqueFd> claim_account(const std::string& root, const std::string& name) {
  const std::string what = "claim the user account " + name;
  HostResult<UniqueFd> root_fd = open_home_root(root);
  if (!root_fd) return host_error("create the temporary home directory", 0);
  if (::mkdirat(root_fd->get(), ".claims", 0700) != 0 && errno != EEXIST) return host_error(what);
  UniqueFd claims(::openat(root_fd->get(), ".claims", kDirFlags));
  if (!claims || !make_owned_and_closed(claims.get())) {
    return host_error(what + ": the claims directory is not a private directory of this user",
                      EPERM);
  }

  // A lock on a file that has been removed or replaced since it was opened
  // would not exclude a holder of the file now at the path: lock again then.
  for (int attempt = 0; attempt < 16; ++attempt) {
    UniqueFd fd(::openat(claims.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd) return host_error(what);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return UniqueFd();
      if (errno == EINTR) continue;
      return host_error(what);
    }
    struct stat held{};
    struct stat at_path{};
    if (::fstat(fd.get(), &held) != 0) return host_error(what);
    if (::fstatat(claims.get(), name.c_str(), &at_path, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, at_path)) {
      return fd;
    }
  }
  return host_error(what + ": its claim file keeps being replaced", EAGAIN);
}

}  // namespace lumvex
