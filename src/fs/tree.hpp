// The indented debug listing of a directory and everything below it.
#pragma once

#include <string>
#include <string_view>

#include "error/io_error.hpp"
#include "fs/filesystem.hpp"

namespace lumvex {

// The contents of directory `path` (resolved from the root): each directory
// as "{indent}{name}/" and a line break, followed by its own contents with
// two more blanks of indent, then each file as "{indent}{name}" and a line
// break; directories first, each group in creation order.
IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path,
                                  std::string_view indent);

}  // namespace lumvex
