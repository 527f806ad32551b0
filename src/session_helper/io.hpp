// Whole reads and writes on descriptors, for the helper program (which links
// nothing of lumvex's own libraries).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace lumvex::helper_io {

// Moves `size` bytes between `fd` and `at` with `call` (read or write),
// going on after partial and interrupted calls. False on an error or at the
// end of the stream before all were moved.
template <typename Pointer, typename Call>
bool whole(int fd, Pointer at, std::size_t size, Call call) {
  while (size > 0) {
    const ssize_t n = call(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool write_all(int fd, const void* data, std::size_t size) {
  return whole(fd, static_cast<const char*>(data), size,
               [](int f, const char* p, std::size_t n) { return ::write(f, p, n); });
}

inline bool read_all(int fd, void* data, std::size_t size) {
  return whole(fd, static_cast<char*>(data), size,
               [](int f, char* p, std::size_t n) { return ::read(f, p, n); });
}

}  // namespace lumvex::helper_io
