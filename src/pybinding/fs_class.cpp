// PyFs: the Python face of one in-memory FileSystem.
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
// Methods

constexpr const char kMkdirDoc[] =
    "mkdir($self, path)\n--\n\n"
    "\n"
    "Create a new directory in the filesystem.\n"
    "\n"
    "This function creates a new directory in the filesystem. The function will\n"
    "return an error if the directory could not be created.\n";

constexpr const char kTouchDoc[] =
    "touch($self, path)\n--\n\n"
    "\n"
    "Create a new file in the filesystem.\n"
    "\n"
    "This function creates a new file in the filesystem. The function will return\n"
    "an error if the file could not be created.\n";

constexpr const char kOpenDoc[] =
    "open($self, path, mode)\n--\n\n"
    "\n"
    "Open a file in the filesystem.\n"
    "\n"
    "This function opens a file in the filesystem. The function will return a file\n"
    "handle that can be used to read and write data to the file. The function will\n"
    "return an error if the file could not be opened.\n";

constexpr const char kListdirDoc[] =
    "listdir($self, path)\n--\n\n"
    "\n"
    "List the contents of a directory.\n"
    "\n"
    "This function lists the contents of a directory. The function will return a\n"
    "list of strings with the names of the files and directories in the directory.\n"
    "The function will return an error if the directory could not be listed.\n";

// The published signature shows a default that the binding does not have:
// recurse is required.
constexpr const char kRemoveDoc[] =
    "remove(recurse=False)\n--\n\n"
    "\n"
    "Remove a file from the filesystem.\n";

constexpr const char kTreeDoc[] =
    "tree($self, path, ident=None)\n--\n\n"
    "\n"
    "Debug the file system\n"
    "\n"
    "This function will return a debug representation of the filesystem as a string.\n";

constexpr Signature kMkdir{"PyFs.mkdir", {"path"}};
constexpr Signature kTouch{"PyFs.touch", {"path"}};
constexpr Signature kOpen{"PyFs.open", {"path", "mode"}};
constexpr Signature kListdir{"PyFs.listdir", {"path"}};
constexpr Signature kRemove{"PyFs.remove", {"path", "recurse"}};
constexpr Signature kTree{"PyFs.tree", {"path", {"ident", kOptional}}};

// The methods taking one path and returning nothing.
template <const Signature& kSignature, IoResult<void> (FileSystem::*kOperation)(std::string_view)>
PyObject* fs_path_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyFsData* fs = receiver<PyFsData>(self, fs_type(), std::strchr(kSignature.function(), '.') + 1);
    BoundArgs bound;
    std::string_view path;
    if (!fs || !bound.bind(kSignature, args, nargs, kwnames) || !bound.text(0, path)) {
      return nullptr;
    }
    return none_or_raise(((*fs->fs).*kOperation)(path));
  });
}

// open(path, mode): the mode is parsed only once both arguments are converted.
PyObject* fs_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyFsData* fs = receiver<PyFsData>(self, fs_type(), "open");
    BoundArgs bound;
    std::string_view path, mode_text;
    if (!fs || !bound.bind(kOpen, args, nargs, kwnames) || !bound.text(0, path) ||
        !bound.text(1, mode_text)) {
      return nullptr;
    }
    const IoResult<FileHandleType> mode = FileHandleType::from_str(mode_text);
    if (!mode) return raise_error(mode.error());
    IoResult<FileHandle> handle = FileSystem::open(fs->fs, path, *mode, /*create=*/true);
    if (!handle) return raise_error(handle.error());
    return new_file_handle(std::move(*handle));
  });
}

// A list of str from UTF-8 names.
PyObject* to_str_list(const std::vector<std::string>& names) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = to_str(names[i]);
    if (name == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name) < 0) {
      return nullptr;  // PyList_SetItem drops `name` even when it fails
    }
  }
  return list.release();
}

// listdir(path) -> (files, directories), each in creation order.
PyObject* fs_listdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyFsData* fs = receiver<PyFsData>(self, fs_type(), "listdir");
    BoundArgs bound;
    std::string_view path;
    if (!fs || !bound.bind(kListdir, args, nargs, kwnames) || !bound.text(0, path)) {
      return nullptr;
    }
    const IoResult<InodeId> id = fs->fs->get_inode_by_path_raw(path);
    if (!id) return raise_error(id.error());
    const IoResult<Listing> listing = fs->fs->ls_raw(*id);
    if (!listing) return raise_error(listing.error());
    OwnedRef files(to_str_list(listing->first));
    if (!files) return nullptr;
    OwnedRef directories(to_str_list(listing->second));
    if (!directories) return nullptr;
    return PyTuple_Pack(2, files.get(), directories.get());
  });
}

PyObject* fs_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyFsData* fs = receiver<PyFsData>(self, fs_type(), "remove");
    BoundArgs bound;
    std::string_view path;
    bool recurse = false;
    if (!fs || !bound.bind(kRemove, args, nargs, kwnames) || !bound.text(0, path) ||
        !bound.boolean(1, recurse)) {
      return nullptr;
    }
    return none_or_raise(fs->fs->rm(path, recurse));
  });
}

// Appends the contents of directory `path` to `out`: each directory as
// "{prefix}{name}/" followed by its own contents one level deeper, then each
// file as "{prefix}{name}". Paths resolve from the root.
IoResult<void> render_tree(const FileSystem& fs, const std::string& path, const std::string& prefix,
                           std::string& out) {
  const IoResult<InodeId> id = fs.get_inode_by_path_raw(path);
  if (!id) return fail(id.error());
  const IoResult<Listing> listing = fs.ls_raw(*id);
  if (!listing) return fail(listing.error());
  const std::string child_prefix = prefix + "  ";
  for (const std::string& name : listing->second) {
    out += prefix;
    out += name;
    out += "/\n";
    const IoResult<void> below = render_tree(fs, path + "/" + name, child_prefix, out);
    if (!below) return below;
  }
  for (const std::string& name : listing->first) {
    out += prefix;
    out += name;
    out += '\n';
  }
  return {};
}

// tree(path, ident=None) -> the indented listing below `path`.
PyObject* fs_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyFsData* fs = receiver<PyFsData>(self, fs_type(), "tree");
    BoundArgs bound;
    std::string_view path;
    std::optional<std::string_view> ident;
    if (!fs || !bound.bind(kTree, args, nargs, kwnames) || !bound.text(0, path) ||
        !bound.optional_text(1, ident)) {
      return nullptr;
    }
    std::string text;
    const IoResult<void> rendered =
        render_tree(*fs->fs, std::string(path), std::string(ident.value_or("")), text);
    if (!rendered) return raise_error(rendered.error());
    return to_str(text);
  });
}

PyMethodDef kFsMethods[] = {
    fastcall_method("mkdir", &fs_path_method<kMkdir, &FileSystem::mkdir>, kMkdirDoc),
    fastcall_method("touch", &fs_path_method<kTouch, &FileSystem::touch>, kTouchDoc),
    fastcall_method("open", &fs_open, kOpenDoc),
    fastcall_method("listdir", &fs_listdir, kListdirDoc),
    fastcall_method("remove", &fs_remove, kRemoveDoc),
    fastcall_method("tree", &fs_tree, kTreeDoc),
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
  return built_once<&build_fs_type>();
}

}  // namespace lumvex::py
