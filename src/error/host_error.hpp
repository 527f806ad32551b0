// HostError: a failure of work on the host (a file, a mount, a control group,
// a process), as a value: what was being done and the errno it failed with.
// The session code turns one into an InternalError at the point where the
// caller must see it.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <system_error>
#include <utility>

namespace lumvex {

struct HostError {
  std::string what;  // what was being done, e.g. "create /sys/fs/cgroup/pids/lumvex"
  int code = 0;      // the errno, 0 when none applies

  // "<what>: <the operating system's description>" (just <what> without one).
  std::string message() const {
    return code == 0 ? what : what + ": " + std::generic_category().message(code);
  }
};

// A result that must be looked at: dropping one fails the build.
template <typename T = void>
class [[nodiscard]] HostResult : public std::expected<T, HostError> {
 public:
  using std::expected<T, HostError>::expected;
  HostResult(std::expected<T, HostError> other)  // NOLINT: a plain expected converts
      : std::expected<T, HostError>(std::move(other)) {}
};

// The failure of `what` with the current errno (or `code`).
inline std::unexpected<HostError> host_error(std::string what, int code = errno) {
  return std::unexpected(HostError{std::move(what), code});
}

}  // namespace lumvex
