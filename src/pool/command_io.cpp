#include "pool/command_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace lumvex {

namespace {

// Reads what `fd` holds now; false once it has ended (or failed).
bool read_some(UniqueFd& fd, Captured& into, std::size_t max) {
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      const std::size_t room = max - std::min(max, into.data.size());
      const std::size_t kept = std::min(room, static_cast<std::size_t>(n));
      into.data.append(chunk, kept);
      if (kept < static_cast<std::size_t>(n)) into.truncated = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    fd.reset();
    return false;
  }
}

}  // namespace

PumpEnd pump(UniqueFd& in, std::string_view input, UniqueFd& out, Captured& out_data, UniqueFd& err,
             Captured& err_data, std::size_t max,
             std::optional<std::chrono::steady_clock::time_point> deadline, int wake) {
  if (in && input.empty()) in.reset();
  while (out || err) {
    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = {wake, POLLIN, 0};
    const nfds_t out_at = out ? count : 0;
    if (out) fds[count++] = {out.get(), POLLIN, 0};
    const nfds_t err_at = err ? count : 0;
    if (err) fds[count++] = {err.get(), POLLIN, 0};
    const nfds_t in_at = in ? count : 0;
    if (in) fds[count++] = {in.get(), POLLOUT, 0};
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return PumpEnd::kDeadline;
      timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    }
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return PumpEnd::kFailed;
    }
    if (ready == 0) continue;  // the deadline is checked above
    if (wake >= 0 && fds[0].revents != 0) return PumpEnd::kWoken;
    if (out_at != 0 && fds[out_at].revents != 0) read_some(out, out_data, max);
    if (err_at != 0 && fds[err_at].revents != 0) read_some(err, err_data, max);
    if (in_at != 0 && fds[in_at].revents != 0) {
      ssize_t n = ::write(in.get(), input.data(), input.size());
      if (n > 0) {
        input.remove_prefix(static_cast<std::size_t>(n));
        if (input.empty()) in.reset();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        in.reset();  // the command stopped reading (EPIPE): what is left is dropped
      }
    }
  }
  return PumpEnd::kEnded;
}

}  // namespace lumvex
