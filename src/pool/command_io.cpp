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
      into.add(std::string_view(chunk, static_cast<std::size_t>(n)), max);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    fd.reset();
    return false;
  }
}

}  // namespace

void Captured::add(std::string_view chunk, std::size_t max) {
  size += chunk.size();
  if (!truncated) {
    const std::size_t kept = std::min(max - std::min(max, data.size()), chunk.size());
    if (data.size() + kept > data.capacity()) {
      // Grown as append would, but never past the cap (a fresh string, as
      // reserve on this one may double it whatever it is asked).
      std::string grown;
      grown.reserve(std::min(max, std::max(data.capacity() * 2, data.size() + kept)));
      grown.append(data);
      data.swap(grown);
    }
    data.append(chunk.data(), kept);
    chunk.remove_prefix(kept);
    if (chunk.empty()) return;
    // Full: from here on the part past the head is a ring of the latest
    // bytes, its oldest byte first.
    truncated = true;
    ring_head_ = head(max);
    ring_at_ = 0;
  }
  const std::size_t ring = data.size() - ring_head_;
  if (ring == 0) return;
  if (chunk.size() >= ring) {
    // Only its last `ring` bytes can stay: they fill the ring in order.
    chunk.remove_prefix(chunk.size() - ring);
    data.replace(ring_head_, ring, chunk);
    ring_at_ = 0;
    return;
  }
  const std::size_t first = std::min(chunk.size(), ring - ring_at_);
  data.replace(ring_head_ + ring_at_, first, chunk.substr(0, first));
  data.replace(ring_head_, chunk.size() - first, chunk.substr(first));
  ring_at_ = (ring_at_ + chunk.size()) % ring;
}

void Captured::finish() {
  if (ring_at_ == 0) return;
  const auto start = data.begin() + static_cast<std::ptrdiff_t>(ring_head_);
  std::rotate(start, start + static_cast<std::ptrdiff_t>(ring_at_), data.end());
  ring_at_ = 0;
}

PumpEnd pump(UniqueFd& in, std::string_view input, UniqueFd& out, Captured& out_data, UniqueFd& err,
             Captured& err_data, std::size_t max,
             std::optional<std::chrono::steady_clock::time_point> deadline, int wake) {
  auto finished = [&](PumpEnd end) {
    out_data.finish();
    err_data.finish();
    return end;
  };
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
      if (left.count() <= 0) return finished(PumpEnd::kDeadline);
      timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    }
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return finished(PumpEnd::kFailed);
    }
    if (ready == 0) continue;  // the deadline is checked above
    if (wake >= 0 && fds[0].revents != 0) return finished(PumpEnd::kWoken);
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
  return finished(PumpEnd::kEnded);
}

}  // namespace lumvex
