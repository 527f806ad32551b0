#include "sandbox/host_text.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "base/unique_fd.hpp"

namespace lumvex {

HostResult<std::string> read_text(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return host_error("open " + path);
  std::string text;
  char chunk[4096];
  while (text.size() < (std::size_t{1} << 20)) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return host_error("read " + path);
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

HostResult<void> write_text(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) return host_error("open " + path);
  ssize_t n;
  do {
    n = ::write(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return host_error("write " + path);
  return {};
}

}  // namespace lumvex
