// Small whole-file reads and writes of kernel interface files (control
// groups, /proc): each in one call, retried when interrupted.
#pragma once

#include <string>
#include <string_view>

#include "error/host_error.hpp"

namespace lumvex {

// The whole text of `path` (kernel files are small: at most 1 MiB is read).
HostResult<std::string> read_text(const std::string& path);

// Writes `text` to `path` (which must exist) in one write.
HostResult<void> write_text(const std::string& path, std::string_view text);

// Writes all of `text` to `fd`, going on after partial and interrupted
// writes. Gives the errno of a failure, 0 on success.
int write_all(int fd, std::string_view text);

}  // namespace lumvex
