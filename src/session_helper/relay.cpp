#include "session_helper/relay.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lumvex {
namespace {

// What a connection may hold in the relay, per direction: its pipe. A side
// that does not read leaves at most this (and its socket buffers) behind.
constexpr int kPipeSize = 256 << 10;
// What one connection moves before the others get their turn.
constexpr std::size_t kTurn = std::size_t{4} << 20;
constexpr int kAcceptsPerTurn = 64;
// How long a full descriptor table keeps new connections waiting.
constexpr int kBackOffMs = 10;

std::int64_t now_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1'000'000;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Ends `fd` with a reset rather than an end of stream.
void reset(int& fd) {
  if (fd < 0) return;
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close_fd(fd);
}

enum class Flow { kBlocked, kMore, kFailed };

// One direction of a joined pair: bytes from `from` go to `to` through a
// pipe, never through this process's memory.
struct Direction {
  int from = -1;
  int to = -1;
  int pipe[2] = {-1, -1};
  std::size_t held = 0;  // bytes in the pipe
  bool eof = false;      // `from` has ended
  bool done = false;     // and everything it sent has been passed on

  Direction() = default;
  Direction(const Direction&) = delete;
  Direction& operator=(const Direction&) = delete;
  ~Direction() {
    close_fd(pipe[0]);
    close_fd(pipe[1]);
  }

  // Moves what it can without blocking, up to `budget` bytes read. kBlocked
  // when it waits for one of its sockets (the edge of that socket's readiness
  // brings it back) or has ended.
  Flow pump(std::size_t& budget) {
    for (;;) {
      if (held > 0) {
        const ssize_t n =
            ::splice(pipe[0], nullptr, to, nullptr, held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
          held -= static_cast<std::size_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN ? Flow::kBlocked : Flow::kFailed;
      }
      if (eof) {
        if (!done) ::shutdown(to, SHUT_WR);
        done = true;
        return Flow::kBlocked;
      }
      if (budget == 0) return Flow::kMore;
      // Only into an empty pipe: then EAGAIN can only mean `from` has nothing.
      const ssize_t n =
          ::splice(from, nullptr, pipe[1], nullptr, kPipeSize, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (n > 0) {
        held += static_cast<std::size_t>(n);
        budget -= std::min(budget, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        eof = true;
        continue;
      }
      if (errno == EINTR) continue;
      return errno == EAGAIN ? Flow::kBlocked : Flow::kFailed;
    }
  }
};

// An empty pipe, kept for a connection to come.
struct Spare {
  int ends[2] = {-1, -1};

  Spare() = default;
  Spare(int read, int write) : ends{read, write} {}
  Spare(Spare&& other) noexcept
      : ends{std::exchange(other.ends[0], -1), std::exchange(other.ends[1], -1)} {}
  Spare& operator=(Spare&& other) noexcept {
    if (this != &other) {
      close_fd(ends[0]);
      close_fd(ends[1]);
      ends[0] = std::exchange(other.ends[0], -1);
      ends[1] = std::exchange(other.ends[1], -1);
    }
    return *this;
  }
  ~Spare() {
    close_fd(ends[0]);
    close_fd(ends[1]);
  }
};
constexpr std::size_t kSpares = 16;

// A client of the listener and its connection to the port inside.
struct Link {
  int client = -1;
  int inside = -1;
  bool connecting = false;
  int tries = 0;        // addresses inside tried
  bool queued = false;  // waits for another turn without an event
  Direction ways[2];

  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link() {
    close_fd(client);
    close_fd(inside);
  }
};

int pending_error(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

class Relay {
 public:
  Relay(int epoll, std::uint16_t port) : epoll_(epoll), port_(port) {}

  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  ~Relay() { ::close(epoll_); }

  int run() {
    if (::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK) != 0) return errno;
    const int one = 1;
    ::setsockopt(0, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    epoll_event listen{};
    listen.events = EPOLLIN;
    listen.data.u64 = kListener;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, 0, &listen) != 0) return errno;
    epoll_event events[64];
    for (;;) {
      int timeout = -1;
      if (!ready_.empty()) {
        timeout = 0;
      } else if (resume_at_ >= 0) {
        timeout = static_cast<int>(std::max<std::int64_t>(0, resume_at_ - now_ms()));
      }
      const int count = ::epoll_wait(epoll_, events, 64, timeout);
      if (count < 0 && errno != EINTR) return errno;
      if (resume_at_ >= 0 && now_ms() >= resume_at_) {
        resume_at_ = -1;
        listen.events = EPOLLIN;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, 0, &listen);
      }
      for (int i = 0; i < count; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kListener) {
          if (const int error = accept_some(); error != 0) return error;
          continue;
        }
        const auto found = links_.find(key >> 1);
        if (found == links_.end()) continue;  // ended earlier in this batch
        Link& link = *found->second;
        // A reset while this side is not read nor written still ends both.
        if ((events[i].events & EPOLLERR) != 0 && !link.connecting) {
          const int fd = (key & 1) != 0 ? link.inside : link.client;
          if (pending_error(fd) != 0) {
            fail(key >> 1, link);
            continue;
          }
        }
        serve(key >> 1, link);
      }
      // Links that used their turn up, in the order they did.
      turn_.swap(ready_);
      for (const std::uint64_t id : turn_) {
        const auto found = links_.find(id);
        if (found == links_.end()) continue;
        found->second->queued = false;
        serve(id, *found->second);
      }
      turn_.clear();
    }
  }

 private:
  static constexpr std::uint64_t kListener = ~std::uint64_t{0};

  // Room for one more link (two sockets, two pipes) in the descriptor
  // table, counting every link as whole and the standard three and epoll's.
  bool room() const {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    const std::size_t held = 4 + 6 * (links_.size() + 1) + 2 * spare_.size();
    return limit.rlim_cur == RLIM_INFINITY || held <= limit.rlim_cur;
  }

  // New clients while the descriptor table has room for them: the others
  // wait in the listener's queue, not turned away.
  int accept_some() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
      while (!room() && !spare_.empty()) spare_.pop_back();
      if (!room()) {
        back_off();
        return 0;
      }
      const int client = ::accept4(0, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
          return 0;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          back_off();
          return 0;
        }
        return errno;
      }
      const std::uint64_t id = ++last_id_;
      auto link = std::make_unique<Link>();
      link->client = client;
      Link& added = *link;
      links_.emplace(id, std::move(link));
      if (!watch(id, client, 0)) {
        drop(id);
        back_off();
        return 0;
      }
      connect_inside(id, added);
    }
    return 0;
  }

  // The listener rests: the clients wait in its queue meanwhile.
  void back_off() {
    if (resume_at_ >= 0) return;
    resume_at_ = now_ms() + kBackOffMs;
    epoll_event none{};
    none.data.u64 = kListener;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, 0, &none);
  }

  bool watch(std::uint64_t id, int fd, int side) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLET;
    event.data.u64 = id << 1 | static_cast<std::uint64_t>(side);
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  // The port on the session's loopback: 127.0.0.1, then ::1.
  socklen_t inside_address(int which, sockaddr_storage& storage) const {
    storage = {};
    if (which == 0) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port_);
      v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return sizeof v4;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port_);
    v6.sin6_addr = in6addr_loopback;
    return sizeof v6;
  }

  // Starts the connection inside, at the next address. A client that no
  // address takes is closed (an end of stream).
  void connect_inside(std::uint64_t id, Link& link) {
    while (link.tries < 2) {
      sockaddr_storage storage;
      const socklen_t size = inside_address(link.tries++, storage);
      close_fd(link.inside);
      link.connecting = false;
      link.inside = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (link.inside < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          back_off();
          break;
        }
        continue;  // no such family here
      }
      if (!watch(id, link.inside, 1)) {
        back_off();
        break;
      }
      if (::connect(link.inside, reinterpret_cast<const sockaddr*>(&storage), size) == 0) {
        joined(id, link);
        return;
      }
      if (errno == EINPROGRESS) {
        // On loopback the answer is usually in before connect returns.
        link.connecting = true;
        serve(id, link);
        return;
      }
    }
    drop(id);
  }

  // The connection inside stands: the pipes, then the first turn.
  void joined(std::uint64_t id, Link& link) {
    link.connecting = false;
    // Small writes go on at once, as the ends wrote them (the clients have
    // it from the listener).
    const int one = 1;
    ::setsockopt(link.inside, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    link.ways[0].from = link.client;
    link.ways[0].to = link.inside;
    link.ways[1].from = link.inside;
    link.ways[1].to = link.client;
    for (Direction& d : link.ways) {
      if (!spare_.empty()) {
        Spare& top = spare_.back();
        d.pipe[0] = std::exchange(top.ends[0], -1);
        d.pipe[1] = std::exchange(top.ends[1], -1);
        spare_.pop_back();
        continue;
      }
      if (::pipe2(d.pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (errno == EMFILE || errno == ENFILE) back_off();
        fail(id, link);
        return;
      }
      ::fcntl(d.pipe[1], F_SETPIPE_SZ, kPipeSize);
    }
    serve(id, link);
  }

  void serve(std::uint64_t id, Link& link) {
    if (link.connecting) {
      // A second connect tells: standing, still on its way, or refused (the
      // next address is tried).
      sockaddr_storage storage;
      const socklen_t size = inside_address(link.tries - 1, storage);
      if (::connect(link.inside, reinterpret_cast<const sockaddr*>(&storage), size) == 0 ||
          errno == EISCONN) {
        joined(id, link);
      } else if (errno == ECONNREFUSED) {
        connect_inside(id, link);
      } else if (errno != EALREADY && errno != EINPROGRESS && errno != EINTR) {
        fail(id, link);
      }
      return;
    }
    std::size_t budget = kTurn;
    bool more = false;
    for (Direction& d : link.ways) {
      const Flow flow = d.pump(budget);
      if (flow == Flow::kFailed) {
        fail(id, link);
        return;
      }
      more = more || flow == Flow::kMore;
    }
    if (link.ways[0].done && link.ways[1].done) {
      drop(id);
      return;
    }
    if (more && !link.queued) {
      link.queued = true;
      ready_.push_back(id);
    }
  }

  // A side failed (a reset): what the other side still has is passed on if
  // it takes it at once, then it is reset too, as a direct connection would
  // be.
  void fail(std::uint64_t id, Link& link) {
    for (Direction& d : link.ways) {
      if (d.held > 0 && d.to >= 0) {
        ::splice(d.pipe[0], nullptr, d.to, nullptr, d.held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      }
    }
    reset(link.client);
    reset(link.inside);
    drop(id);
  }

  // Closing the descriptors takes them out of the epoll set. Empty pipes
  // are kept for the next connections, a few of them.
  void drop(std::uint64_t id) {
    const auto found = links_.find(id);
    if (found == links_.end()) return;
    for (Direction& d : found->second->ways) {
      if (d.pipe[0] >= 0 && d.held == 0 && spare_.size() < kSpares) {
        spare_.emplace_back(std::exchange(d.pipe[0], -1), std::exchange(d.pipe[1], -1));
      }
    }
    links_.erase(found);
  }

  int epoll_;
  std::uint16_t port_;
  std::uint64_t last_id_ = 0;
  std::int64_t resume_at_ = -1;
  std::unordered_map<std::uint64_t, std::unique_ptr<Link>> links_;
  std::vector<std::uint64_t> ready_;
  std::vector<std::uint64_t> turn_;
  std::vector<Spare> spare_;
};

}  // namespace

int run_relay(const std::vector<std::string>& args) {
  // Nothing of the account may trace the relay or take its listener.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (args.size() != 2) return EINVAL;
  char* end = nullptr;
  const long port = std::strtol(args[1].c_str(), &end, 10);
  if (end == args[1].c_str() || *end != '\0' || port < 1 || port > 65535) return EINVAL;
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, nullptr);  // a side gone is an error of its splice
  // Every connection holds six descriptors here: as many as the hard limit
  // allows.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    const rlim_t most = std::min<rlim_t>(files.rlim_max, rlim_t{1} << 20);
    if (files.rlim_cur < most) {
      files.rlim_cur = most;
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
  }
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return errno;
  Relay relay(epoll, static_cast<std::uint16_t>(port));
  return relay.run();
}

}  // namespace lumvex
