// Passing descriptors over a unix socket with a message (SCM_RIGHTS): the
// plans, answers and lifelines that the owner and the session helper send
// each other.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace lumvex {

// At most this many descriptors travel with one message.
inline constexpr std::size_t kMaxPassedFds = 32;

// Sends the `size` bytes at `data` on `socket`, `fds` attached to the first
// of them: 0, or the errno (EINVAL for too many descriptors).
inline int send_with_fds(int socket, const void* data, std::size_t size, std::span<const int> fds) {
  if (fds.size() > kMaxPassedFds) return EINVAL;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)] = {};
  const char* bytes = static_cast<const char*>(data);
  iovec iov{const_cast<char*>(bytes), size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  if (!fds.empty()) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    sent += static_cast<std::size_t>(n);
    message.msg_control = nullptr;
    message.msg_controllen = 0;
    iov.iov_base = const_cast<char*>(bytes) + sent;
    iov.iov_len = size - sent;
  }
  return 0;
}

// One receive of up to `size` bytes into `data` from `socket` (`flags` as
// recvmsg takes them); the descriptors that came with them (close-on-exec)
// are appended to `fds`. The byte count (0 at the end of the stream), or -1
// with errno set.
inline ssize_t receive_some(int socket, void* data, std::size_t size, std::vector<int>& fds,
                            int flags = 0) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)] = {};
  iovec iov{data, size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC | flags);
  } while (n < 0 && errno == EINTR);
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      fds.push_back(fd);
    }
  }
  return n;
}

// Receives `size` bytes into `data` from a stream socket (fewer only at the
// end of the stream), and the descriptors that came with them into `fds`.
// A receive stops where descriptors came, whatever MSG_WAITALL asks: this
// goes on for the rest. The byte count, or -1 with errno set.
inline ssize_t receive_all(int socket, void* data, std::size_t size, std::vector<int>& fds) {
  auto* bytes = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = receive_some(socket, bytes + got, size - got, fds, MSG_WAITALL);
    if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// As receive_all, for at most one descriptor, into `fd` (-1 for none; any
// further ones are closed).
inline ssize_t receive_with_fd(int socket, void* data, std::size_t size, int& fd) {
  std::vector<int> fds;
  const ssize_t n = receive_all(socket, data, size, fds);
  fd = fds.empty() ? -1 : fds.front();
  for (std::size_t i = 1; i < fds.size(); ++i) ::close(fds[i]);
  return n;
}

// Sends the `size` bytes at `data` with `fd` attached: 0, or the errno.
inline int send_with_fd(int socket, const void* data, std::size_t size, int fd) {
  return send_with_fds(socket, data, size, std::span<const int>(&fd, 1));
}

}  // namespace lumvex
