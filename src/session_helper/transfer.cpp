#include "session_helper/transfer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/unique_fd.hpp"

namespace lumvex {

namespace {

// PyFs holds no deeper tree; neither does a transfer.
constexpr int kMaxDepth = 64;

class Failure {
 public:
  Failure(int error, std::string path) : error_(error), path_(std::move(path)) {}
  int error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  int error_;
  std::string path_;
};

// Sends `size` bytes of `data` to standard output, whole.
bool send(const void* data, std::size_t size) {
  return write_all(STDOUT_FILENO, std::string_view(static_cast<const char*>(data), size)) == 0;
}

class Sender {
 public:
  explicit Sender(std::uint64_t limit) : limit_(limit) {}

  // Opens `path` (relative to `dir`) without following links anywhere.
  UniqueFd open_at(int dir, const std::string& path, const std::string& shown) const {
    open_how how{};
    how.flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how);
    if (fd < 0) throw Failure(errno, shown);
    return UniqueFd(static_cast<int>(fd));
  }

  // Sends the bytes of the regular file open at `fd` (its claimed size is
  // checked first; a file that grows meanwhile is cut at the limit).
  void file_bytes(int fd, const struct stat& st, const std::string& shown, bool with_size) {
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > limit_ - std::min(limit_, sent_)) throw Failure(EFBIG, shown);
    if (with_size && !send(&size, sizeof size)) throw Failure(EPIPE, shown);
    char buffer[65536];
    std::uint64_t left = size;
    while (left > 0) {
      const ssize_t n = ::read(fd, buffer, std::min<std::uint64_t>(left, sizeof buffer));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) throw Failure(errno, shown);
      if (n == 0) {
        // Cut short meanwhile: the promised size is kept with zeros.
        std::memset(buffer, 0, sizeof buffer);
        while (left > 0) {
          const std::size_t part = std::min<std::uint64_t>(left, sizeof buffer);
          if (!send(buffer, part)) throw Failure(EPIPE, shown);
          left -= part;
        }
        break;
      }
      if (!send(buffer, static_cast<std::size_t>(n))) throw Failure(EPIPE, shown);
      left -= static_cast<std::uint64_t>(n);
    }
    sent_ += size;
  }

  void record(char kind, const std::string& name) {
    // What names and record heads take counts too.
    const std::uint64_t cost = name.size() + 1 + sizeof(std::uint32_t) + sizeof(std::uint64_t);
    if (cost > limit_ - std::min(limit_, sent_)) throw Failure(EFBIG, name);
    sent_ += cost;
    const std::uint32_t length = static_cast<std::uint32_t>(name.size());
    if (!send(&kind, 1) || !send(&length, sizeof length) || !send(name.data(), name.size())) {
      throw Failure(EPIPE, name);
    }
  }

  // Sends what is below the directory open at `dir`.
  void directory(int dir, const std::string& relative, const std::string& shown, int depth) {
    if (depth > kMaxDepth) throw Failure(ELOOP, shown);
    UniqueDir stream(::fdopendir(::dup(dir)));
    if (!stream) throw Failure(errno, shown);
    while (dirent* entry = ::readdir(stream.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = relative.empty() ? name : relative + "/" + name;
      const std::string child_shown = shown + "/" + name;
      UniqueFd fd(
          ::openat(dir, name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
      if (!fd) {
        if (errno == ELOOP || errno == ENXIO || errno == ENOENT) continue;  // links, sockets, gone
        throw Failure(errno, child_shown);
      }
      struct stat st{};
      if (::fstat(fd.get(), &st) != 0) throw Failure(errno, child_shown);
      if (S_ISDIR(st.st_mode)) {
        record('D', child);
        directory(fd.get(), child, child_shown, depth + 1);
      } else if (S_ISREG(st.st_mode)) {
        record('F', child);
        file_bytes(fd.get(), st, child_shown, true);
      }
    }
  }

 private:
  std::uint64_t limit_;
  std::uint64_t sent_ = 0;
};

int transfer(const std::string& mode, const std::string& path, std::uint64_t limit) {
  Sender sender(limit);
  try {
    const UniqueFd opened = sender.open_at(AT_FDCWD, path, path);
    const int fd = opened.get();
    struct stat st{};
    if (::fstat(fd, &st) != 0) throw Failure(errno, path);
    if (mode == "send") {
      if (S_ISDIR(st.st_mode)) throw Failure(EISDIR, path);
      if (!S_ISREG(st.st_mode)) throw Failure(EINVAL, path);
      sender.file_bytes(fd, st, path, false);
      return 0;
    }
    if (S_ISREG(st.st_mode)) {
      if (!send("F", 1)) throw Failure(EPIPE, path);
      sender.file_bytes(fd, st, path, false);
      return 0;
    }
    if (!S_ISDIR(st.st_mode)) throw Failure(EINVAL, path);
    if (!send("T", 1)) throw Failure(EPIPE, path);
    sender.directory(fd, "", path, 1);
    if (!send("E", 1)) throw Failure(EPIPE, path);
    return 0;
  } catch (const Failure& failure) {
    const std::string text = failure.path() + ": " +
                             (failure.error() == EINVAL ? std::string("Not a regular file")
                                                        : std::strerror(failure.error())) +
                             "\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    return failure.error();
  }
}

}  // namespace

int run_transfer(const std::vector<std::string>& args) {
  // Whatever ids the helper took on, nothing may trace it or read its memory.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (args.size() != 3 || (args[0] != "send" && args[0] != "tree")) return EINVAL;
  char* end = nullptr;
  const unsigned long long limit = std::strtoull(args[2].c_str(), &end, 10);
  if (end == args[2].c_str() || *end != '\0') return EINVAL;
  return transfer(args[0], args[1], limit);
}

}  // namespace lumvex
