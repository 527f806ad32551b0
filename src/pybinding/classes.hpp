// The module's classes: one builder per class, each in its own file. A
// builder makes its type object on the first call (module initialisation)
// and keeps it for the life of the process; later calls return the same
// type. They return a borrowed reference, or null with an exception set.
#pragma once

#include "pybinding/binding.hpp"

#include <memory>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"
#include "sandbox/template_layer.hpp"

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

// PyFileHandle: one open FileHandle behind a mutex. Made only by PyFs.open:
// new_file_handle takes over `handle` (closed again if the object cannot be
// made) and returns a new reference, or null with an exception set.
using PyFileHandleData = PoisonMutex<FileHandle>;
PyTypeObject* file_handle_type();
PyObject* new_file_handle(FileHandle handle);

// Whence: one seek origin; its three instances are class attributes.
struct PyWhenceData {
  SeekOrigin origin;
};
PyTypeObject* whence_type();

// PyTerm: a terminal over the filesystem of a PyFs.
PyTypeObject* term_type();

// PyUserPool: a shared pool of host accounts. PyTerminalSession: a live bash
// session on an account of a PyUserPool, closed when dropped.
PyTypeObject* user_pool_type();
PyTypeObject* terminal_session_type();
// Template: a shared, read-only template of session homes. new_template
// returns a new reference to an instance holding `layers`, or null with an
// exception set.
struct PyTemplateData {
  TemplateRef layers;
};
PyTypeObject* template_type();
PyObject* new_template(TemplateRef layers);

// Makes a child of os.fork() let go of the parent's sessions.
bool register_fork_handler();

// The classes of the payloads that _impl functions take.
template <>
inline PyTypeObject* class_type<PyFsData>() {
  return fs_type();
}
template <>
inline PyTypeObject* class_type<PyFileHandleData>() {
  return file_handle_type();
}
template <>
inline PyTypeObject* class_type<PyWhenceData>() {
  return whence_type();
}

}  // namespace lumvex::py
