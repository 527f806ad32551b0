// PyFs: the Python face of one in-memory FileSystem.
#include <utility>

#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"

namespace lumvex::py {
namespace {

constexpr const char kFsDoc[] =
    "PyFs()\n--\n\n"
    "\n"
    "A highly simplified binding for a simple filesystem.\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

constexpr Signature kNew{"PyFs.__new__", {}};

// PyFs(): a new, empty filesystem.
PyObject* fs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kNew, args, kwargs)) return nullptr;
    return make_instance<PyFsData>(type, PyFsData{FileSystem::make()});
  });
}

// str(fs): the filesystem's debug text.
PyObject* fs_str(PyObject* self) {
  return guarded([&]() -> PyObject* { return to_str(payload<PyFsData>(self).fs->debug_string()); });
}

// ---------------------------------------------------------------------------
// Methods of PyFs (mkdir, touch, open, listdir, remove, tree) are listed
// here, in this order, with fastcall_method(name, function, stored doc).
PyMethodDef kFsMethods[] = {
    kMethodsEnd,
};

PyTypeObject* build_fs_type() {
  return build_class<PyFsData>("PyFs", kFsDoc,
                               {
                                   {Py_tp_new, reinterpret_cast<void*>(&fs_new)},
                                   {Py_tp_str, reinterpret_cast<void*>(&fs_str)},
                                   {Py_tp_methods, kFsMethods},
                               });
}

}  // namespace

PyTypeObject* fs_type() {
  static PyTypeObject* type = nullptr;  // built once, kept for the life of the process
  if (type == nullptr) type = build_fs_type();
  return type;
}

}  // namespace lumvex::py
