// PyFs: the Python face of one in-memory FileSystem.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/tree.hpp"
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
PyObject* fs_new_impl(PyTypeObject* type) {
  return make_instance<PyFsData>(type, PyFsData{FileSystem::make()});
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

IoResult<void> fs_mkdir_impl(PyFsData& fs, std::string_view path) {
  return fs.fs->mkdir(path);
}

IoResult<void> fs_touch_impl(PyFsData& fs, std::string_view path) {
  return fs.fs->touch(path);
}

// open(path, mode): the mode is parsed only once both arguments are converted.
PyObject* fs_open_impl(PyFsData& fs, std::string_view path, std::string_view mode_text) {
  const IoResult<FileHandleType> mode = FileHandleType::from_str(mode_text);
  if (!mode) return raise_error(mode.error());
  IoResult<FileHandle> handle = FileSystem::open(fs.fs, path, *mode, /*create=*/true);
  if (!handle) return raise_error(handle.error());
  return new_file_handle(std::move(*handle));
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
PyObject* fs_listdir_impl(PyFsData& fs, std::string_view path) {
  const IoResult<InodeId> id = fs.fs->get_inode_by_path_raw(path);
  if (!id) return raise_error(id.error());
  const IoResult<Listing> listing = fs.fs->ls_raw(*id);
  if (!listing) return raise_error(listing.error());
  OwnedRef files(to_str_list(listing->first));
  if (!files) return nullptr;
  OwnedRef directories(to_str_list(listing->second));
  if (!directories) return nullptr;
  return PyTuple_Pack(2, files.get(), directories.get());
}

IoResult<void> fs_remove_impl(PyFsData& fs, std::string_view path, bool recurse) {
  return fs.fs->rm(path, recurse);
}

// tree(path, ident=None) -> the indented listing below `path`.
PyObject* fs_tree_impl(PyFsData& fs, std::string_view path, std::optional<std::string_view> ident) {
  const IoResult<std::string> text = render_tree(*fs.fs, path, ident.value_or(""));
  if (!text) return raise_error(text.error());
  return to_str(*text);
}

PyMethodDef kFsMethods[] = {
    method<kMkdir, &fs_mkdir_impl>(kMkdirDoc),
    method<kTouch, &fs_touch_impl>(kTouchDoc),
    method<kOpen, &fs_open_impl>(kOpenDoc),
    method<kListdir, &fs_listdir_impl>(kListdirDoc),
    method<kRemove, &fs_remove_impl>(kRemoveDoc),
    method<kTree, &fs_tree_impl>(kTreeDoc),
    kMethodsEnd,
};

PyTypeObject* build_fs_type() {
  return build_class<PyFsData>("PyFs", kFsDoc,
                               {
                                   constructor_slot<kNew, &fs_new_impl>(),
                                   {Py_tp_str, reinterpret_cast<void*>(&fs_str)},
                                   {Py_tp_methods, kFsMethods},
                               });
}

}  // namespace

PyTypeObject* fs_type() {
  return built_once<&build_fs_type>();
}

}  // namespace lumvex::py
