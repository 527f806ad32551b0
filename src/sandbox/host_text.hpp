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

}  // namespace lumvex
