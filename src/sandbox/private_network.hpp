// A private network made ahead of the session that joins it: a network
// namespace joined to the outside by pasta. pasta takes tens of
// milliseconds of its own to start, so a pool starts the next session's
// network as a session takes one, for a session started a moment later to
// find it ready.
//
// The session helper's `network` mode makes it: a keeper process, the first
// of a process namespace of its own whose other process is pasta, adopted
// by init (nothing of it is this process's to wait for). The keeper ends,
// and pasta with it, when the session it was handed to ends, when this
// process ends (by SIGKILL too), or when this object goes before a hand-
// over. A copy held by a child of os.fork() is the parent's: the child
// neither takes nor ends it.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"
#include "sandbox/helper_launch.hpp"

namespace lumvex {

class PrivateNetwork {
 public:
  // Starts making one with the pasta program `pasta`; does not wait for it.
  static HostResult<PrivateNetwork> start(const std::string& pasta);

  // Waits (at most 10 s) until it is ready: its network namespace, or why
  // it could not be made.
  HostResult<UniqueFd> open();

  // Hands the network to the session whose first process `pidfd` is: it
  // lives as long as that process. Nothing of it stays here.
  void hand_over(int pidfd);

  PrivateNetwork(PrivateNetwork&& other) noexcept = default;
  PrivateNetwork& operator=(PrivateNetwork&& other) noexcept;
  ~PrivateNetwork();

 private:
  PrivateNetwork() = default;
  void end();
  void end_launcher();  // kills (if need be) and waits for the helper started here

  LaunchedHelper launcher_;  // the helper started here, until it is waited for
  UniqueFd control_;
  pid_t owner_ = -1;  // the process that started it
};

}  // namespace lumvex
