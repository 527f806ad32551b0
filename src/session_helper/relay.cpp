#include "session_helper/relay.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lumvex {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

// One direction of a joined pair: bytes from `from` go to `to` through a pipe.
struct Direction {
  int from = -1;
  int to = -1;
  int pipe[2] = {-1, -1};
  std::size_t held = 0;  // bytes in the pipe
  bool eof = false;      // `from` has ended
  bool done = false;     // and everything it sent has been passed on
};

// Moves what it can without blocking; false on a failure of either side.
bool pump(Direction& d) {
  for (;;) {
    if (d.held > 0) {
      const ssize_t n =
          ::splice(d.pipe[0], nullptr, d.to, nullptr, d.held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (n > 0) {
        d.held -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && errno == EAGAIN;
    }
    if (d.eof) {
      if (!d.done) ::shutdown(d.to, SHUT_WR);
      d.done = true;
      return true;
    }
    const ssize_t n =
        ::splice(d.from, nullptr, d.pipe[1], nullptr, kChunk, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
      d.held += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      d.eof = true;
      continue;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN;
  }
}

// A connection to `port` on the session's loopback; -1 when refused.
int connect_inside(int port) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<std::uint16_t>(port));
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = v4.sin_port;
  v6.sin6_addr = in6addr_loopback;
  const std::pair<const sockaddr*, socklen_t> targets[] = {
      {reinterpret_cast<const sockaddr*>(&v4), sizeof v4},
      {reinterpret_cast<const sockaddr*>(&v6), sizeof v6}};
  for (const auto& [address, size] : targets) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int rc;
    do {
      rc = ::connect(fd, address, size);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd;
    ::close(fd);
  }
  return -1;
}

// Joins `client` to a new connection to `port`, until both sides have ended.
int join(int client, int port) {
  const int inside = connect_inside(port);
  if (inside < 0) return ECONNREFUSED;
  const int one = 1;
  for (int fd : {client, inside}) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  Direction ways[2];
  ways[0].from = client;
  ways[0].to = inside;
  ways[1].from = inside;
  ways[1].to = client;
  for (Direction& d : ways) {
    if (::pipe2(d.pipe, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
    ::fcntl(d.pipe[1], F_SETPIPE_SZ, static_cast<int>(kChunk));
  }
  while (!(ways[0].done && ways[1].done)) {
    for (Direction& d : ways) {
      if (!pump(d)) return 0;  // a side failed (reset): both go
    }
    pollfd fds[2];
    nfds_t count = 0;
    // Each socket waits for what its two directions need of it.
    for (int side = 0; side < 2; ++side) {
      const int fd = side == 0 ? client : inside;
      short events = 0;
      for (const Direction& d : ways) {
        if (d.from == fd && !d.eof && d.held == 0) events |= POLLIN;
        if (d.to == fd && d.held > 0) events |= POLLOUT;
      }
      if (events != 0) fds[count++] = {fd, events, 0};
    }
    if (count == 0) continue;
    if (::poll(fds, count, -1) < 0 && errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

int run_relay(const std::vector<std::string>& args) {
  // Nothing of the account may trace the relay or take its listener.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (args.size() != 2) return EINVAL;
  char* end = nullptr;
  const long port = std::strtol(args[1].c_str(), &end, 10);
  if (end == args[1].c_str() || *end != '\0' || port < 1 || port > 65535) return EINVAL;
  // Ended joins are reaped by the kernel.
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  ignore.sa_flags = SA_NOCLDWAIT;
  ::sigaction(SIGCHLD, &ignore, nullptr);
  ignore.sa_flags = 0;
  ::sigaction(SIGPIPE, &ignore, nullptr);  // a side gone is an error of its splice
  for (;;) {
    const int client = ::accept4(0, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
        continue;
      }
      return errno;
    }
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(0);
      ::_exit(join(client, static_cast<int>(port)));
    }
    // Without a process for it (the session's process cap), the client is
    // turned away.
    ::close(client);
  }
}

}  // namespace lumvex
