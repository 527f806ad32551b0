#include "sandbox/private_network.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/fd_passing.hpp"
#include "sandbox/pidfd.hpp"
#include "session_helper/wire.hpp"

namespace lumvex {

namespace {

// Sends `fd` on `socket` with one byte: 0, or the errno.
int send_fd(int socket, int fd) {
  const char byte = 0;
  return send_with_fd(socket, &byte, 1, fd);
}

}  // namespace

HostResult<PrivateNetwork> PrivateNetwork::start(const std::string& pasta) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return host_error("make a socket pair");
  }
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  // The helper watches this process through a process descriptor of it,
  // sent first: the keeper's process namespace does not see this one.
  UniqueFd self = open_pidfd(::getpid());
  if (!self) return host_error("open this process's descriptor");
  std::string program = wire::kHelperName;
  std::string mode = "network";
  std::string path = pasta;
  char* argv[] = {program.data(), mode.data(), path.data(), nullptr};
  HostResult<LaunchedHelper> helper = launch_helper(argv, CLONE_NEWNS, theirs.get());
  if (!helper) return std::unexpected(helper.error());
  PrivateNetwork network;
  network.launcher_ = std::move(*helper);
  network.control_ = std::move(ours);
  network.owner_ = ::getpid();
  const int sent = send_fd(network.control_.get(), self.get());
  // The helper leaves the keeper behind at once: it is waited for here,
  // not left for a wait of anyone else's to find.
  pollfd ended{network.launcher_.pidfd.get(), POLLIN, 0};
  while (::poll(&ended, 1, 10'000) < 0 && errno == EINTR) {
  }
  network.end_launcher();
  if (sent != 0) return std::unexpected(HostError{"send " + program + " its lifeline", sent});
  return network;
}

HostResult<UniqueFd> PrivateNetwork::open() {
  const std::string what = "make a private network";
  if (!control_ || owner_ != ::getpid()) return std::unexpected(HostError{what, ESRCH});
  pollfd ready{control_.get(), POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, 10'000);
  } while (polled < 0 && errno == EINTR);
  if (polled < 0) return host_error(what);
  if (polled == 0) return std::unexpected(HostError{what, ETIMEDOUT});
  // The answer, with the network's namespace attached when it was made.
  wire::Answer answer;
  int fd = -1;
  const ssize_t n = receive_with_fd(control_.get(), &answer, sizeof answer, fd);
  UniqueFd ns(fd);
  if (n < 0) return host_error(what);
  if (n != static_cast<ssize_t>(sizeof answer)) return std::unexpected(HostError{what, EPROTO});
  if (answer.error != 0) return std::unexpected(HostError{what, answer.error});
  if (!ns) return std::unexpected(HostError{what, EPROTO});
  return ns;
}

void PrivateNetwork::hand_over(int pidfd) {
  if (control_ && owner_ == ::getpid()) send_fd(control_.get(), pidfd);
  end();
}

PrivateNetwork& PrivateNetwork::operator=(PrivateNetwork&& other) noexcept {
  if (this != &other) {
    end();
    launcher_ = std::move(other.launcher_);
    control_ = std::move(other.control_);
    owner_ = other.owner_;
  }
  return *this;
}

PrivateNetwork::~PrivateNetwork() {
  end();
}

void PrivateNetwork::end() {
  // The control socket's end ends a keeper that was not handed over.
  control_.reset();
  end_launcher();
}

void PrivateNetwork::end_launcher() {
  if (launcher_.pidfd && owner_ == ::getpid()) {
    const HelperReaper reap(launcher_);
  }
  launcher_.pidfd.reset();
}

}  // namespace lumvex
