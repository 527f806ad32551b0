// The module's classes: one builder per class, each in its own file. A
// builder makes its type object on the first call (module initialisation)
// and keeps it for the life of the process; later calls return the same
// type. They return a borrowed reference, or null with an exception set.
#pragma once

#include "pybinding/binding.hpp"

#include <memory>

#include "fs/filesystem.hpp"

namespace lumvex::py {

// PyFs: holds a shared reference to one FileSystem. PyFileHandle and PyTerm
// take references of their own from it:
//   PyFsData* fs;
//   if (!bound.instance(0, fs_type(), fs)) return nullptr;
//   std::shared_ptr<FileSystem> shared = fs->fs;
struct PyFsData {
  std::shared_ptr<FileSystem> fs;
};
PyTypeObject* fs_type();

}  // namespace lumvex::py
