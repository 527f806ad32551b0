// UniqueFd: sole owner of a file descriptor, closed on destruction; UniqueDir
// the same for a directory stream; write_all and read_all for writes and
// reads that must go through whole
// whole.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

namespace lumvex {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Writes all of `text` to `fd`, going on after partial and interrupted
// writes. Gives 0, or the errno of the failure (EIO when nothing was taken).
inline int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// Reads exactly `size` bytes from `fd` into `data`, going on after partial
// and interrupted reads. Gives 0, or the errno of the failure (EIO at the end
// of the stream before all came).
inline int read_all(int fd, void* data, std::size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// The bytes of `value`, for write_all.
template <typename T>
std::string_view bytes_of(const T& value) {
  return {reinterpret_cast<const char*>(&value), sizeof value};
}

}  // namespace lumvex
