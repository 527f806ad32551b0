// Passing one descriptor over a unix socket with a message (SCM_RIGHTS):
// what the owner and the session helper send each other besides plans.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace lumvex {

// Sends the `size` bytes at `data` on `socket` with `fd` attached: 0, or
// the errno (EPIPE for a short send).
inline int send_with_fd(int socket, const void* data, std::size_t size, int fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{const_cast<void*>(data), size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ssize_t sent;
  do {
    sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return errno;
  return static_cast<std::size_t>(sent) == size ? 0 : EPIPE;
}

// Receives up to `size` bytes into `data` from `socket` (all of them, on a
// stream socket, up to its end), and the descriptor attached, if one is,
// into `fd` (close-on-exec; -1 for none). The byte count (0 at the end of
// the stream), or -1 with errno set.
inline ssize_t receive_with_fd(int socket, void* data, std::size_t size, int& fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{data, size};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
  } while (n < 0 && errno == EINTR);
  fd = -1;
  const cmsghdr* c = CMSG_FIRSTHDR(&message);
  if (n >= 0 && c != nullptr && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
      c->cmsg_len == CMSG_LEN(sizeof(int))) {
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  }
  // A read stops where a descriptor came, whatever MSG_WAITALL asks: the
  // rest of the message follows as plain bytes.
  auto* bytes = static_cast<char*>(data);
  while (n > 0 && static_cast<std::size_t>(n) < size) {
    const ssize_t more = ::read(socket, bytes + n, size - static_cast<std::size_t>(n));
    if (more < 0 && errno == EINTR) continue;
    if (more <= 0) break;
    n += more;
  }
  return n;
}

}  // namespace lumvex
