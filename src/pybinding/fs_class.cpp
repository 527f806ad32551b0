// PyFs: the Python face of one in-memory FileSystem.
#include <sys/stat.h>
#include <unistd.h>

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

constexpr Signature kNew{
    "PyFs.__new__",
    {{"max_bytes", kOptional, kKeywordOnly}, {"max_entries", kOptional, kKeywordOnly}}};

// A limit: a non-negative int, or None for none. Booleans are not limits.
bool limit_value(const char* name, PyObject* object, std::optional<std::uint64_t>& out) {
  return optional_count(name, object, 0, "must be an int or None",
                        "must be between 0 and 2**64 - 1", out);
}

// PyFs(*, max_bytes=None, max_entries=None): a new, empty filesystem,
// bounded if asked to be.
PyObject* fs_new_impl(PyTypeObject* type, Any max_bytes, Any max_entries) {
  FsLimits limits;
  if (!limit_value("max_bytes", max_bytes.object, limits.max_bytes)) return nullptr;
  if (!limit_value("max_entries", max_entries.object, limits.max_entries)) return nullptr;
  return make_instance<PyFsData>(type, PyFsData{FileSystem::make(limits)});
}

PyObject* limit_object(const std::optional<std::uint64_t>& limit) {
  if (!limit) return none();
  return PyLong_FromUnsignedLongLong(*limit);
}

PyObject* fs_max_bytes_get(PyObject* self, void*) {
  return guarded(
      [&]() -> PyObject* { return limit_object(payload<PyFsData>(self).fs->limits().max_bytes); });
}

PyObject* fs_max_entries_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return limit_object(payload<PyFsData>(self).fs->limits().max_entries);
  });
}

PyGetSetDef kFsGetters[] = {
    {"max_bytes", &fs_max_bytes_get, nullptr,
     "The bound on the total size of the files this filesystem can reach, or\n"
     "None.",
     nullptr},
    {"max_entries", &fs_max_entries_get, nullptr,
     "The bound on the number of files and directories (the root not\n"
     "counted), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

constexpr const char kOpenExistingDoc[] =
    "open_existing($self, path, mode)\n--\n\n"
    "\n"
    "Open a file that exists; never create one.\n"
    "\n"
    "Like open, but a missing path raises ValueError \"Inode not found\" and\n"
    "nothing is created: the check and the open are one step, so a file\n"
    "removed meanwhile is never brought back.\n";

constexpr const char kOpenNewDoc[] =
    "open_new($self, path, mode)\n--\n\n"
    "\n"
    "Create a file and open it, in one step.\n"
    "\n"
    "An existing path raises ValueError \"Resource already exists\". Opened with\n"
    "\"w\", the new file is held for writing from the moment it exists.\n";

constexpr const char kReadBytesDoc[] =
    "read_bytes($self, path)\n--\n\n"
    "\n"
    "Return the whole content of a file as bytes, read in one step.\n"
    "\n"
    "Opens no handle and prints nothing. A missing path raises ValueError\n"
    "\"Inode not found\" (nothing is created); a file that a handle holds for\n"
    "writing raises ValueError \"Resource is currently in use\".\n";

constexpr const char kOpenFileDoc[] =
    "open_file($self, path, mode='r', buffering=-1, encoding=None, errors=None, newline=None)\n"
    "--\n\n"
    "\n"
    "Open a file as a standard Python file object, as the built-in open does.\n"
    "\n"
    "Modes are those of open: \"r\", \"w\", \"a\", \"x\", each with \"b\" for bytes\n"
    "and \"+\" to read and write. The position advances with each read and\n"
    "write; \"w\" truncates, \"r\" never creates. Written bytes reach the file as a\n"
    "whole when the file is flushed or closed; a write the filesystem refuses\n"
    "(a limit) leaves the file's previous content. Errors are OSError\n"
    "subclasses (FileNotFoundError, IsADirectoryError, ...).\n";

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

constexpr const char kStatDoc[] =
    "stat($self, path)\n--\n\n"
    "\n"
    "Return the status of an entry as an os.stat_result.\n"
    "\n"
    "st_mode is S_IFDIR | 0o755 for a directory and S_IFREG | 0o644 for a file,\n"
    "st_ino the inode id, st_size the length of a file in bytes (0 for a\n"
    "directory), st_nlink 1 for a file and 2 for a directory, st_uid and st_gid\n"
    "those of the process, and st_mtime (as st_atime and st_ctime) the time the\n"
    "entry was created or last changed, in seconds as a float.\n";

constexpr const char kRenameDoc[] =
    "rename($self, src, dst)\n--\n\n"
    "\n"
    "Move a file or a directory tree to a new path in one atomic step.\n"
    "\n"
    "An existing file at dst is replaced by a file, an existing empty directory\n"
    "by a directory. Open file handles stay valid and follow the file.\n";

constexpr const char kReduceDoc[] =
    "__reduce__($self)\n--\n\n"
    "\n"
    "Support for pickle: a copy of the whole tree (names, bytes, ids).\n";

constexpr const char kSetstateDoc[] =
    "__setstate__($self, state)\n--\n\n"
    "\n"
    "Support for pickle: fill a new, empty PyFs from the bytes of __reduce__.\n";

constexpr const char kForkDoc[] =
    "fork($self)\n--\n\n"
    "\n"
    "A new PyFs with this one's tree, bytes, ids and limits.\n"
    "\n"
    "The two share everything until one of them changes it; from then on each\n"
    "sees only its own changes. The cost does not depend on the filesystem's\n"
    "size. Open handles and terminals stay with the filesystem they were made\n"
    "on: every file of the fork starts closed.\n";

constexpr Signature kMkdir{"PyFs.mkdir", {"path"}};
constexpr Signature kTouch{"PyFs.touch", {"path"}};
constexpr Signature kOpen{"PyFs.open", {"path", "mode"}};
constexpr Signature kOpenExisting{"PyFs.open_existing", {"path", "mode"}};
constexpr Signature kOpenNew{"PyFs.open_new", {"path", "mode"}};
constexpr Signature kReadBytes{"PyFs.read_bytes", {"path"}};
constexpr Signature kListdir{"PyFs.listdir", {"path"}};
constexpr Signature kRemove{"PyFs.remove", {"path", "recurse"}};
constexpr Signature kTree{"PyFs.tree", {"path", {"ident", kOptional}}};
constexpr Signature kStat{"PyFs.stat", {"path"}};
constexpr Signature kRename{"PyFs.rename", {"src", "dst"}};
constexpr Signature kReduce{"PyFs.__reduce__", {}};
constexpr Signature kFork{"PyFs.fork", {}};
constexpr Signature kSetstate{"PyFs.__setstate__", {"state"}};

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

// open_existing(path, mode): open without creating.
PyObject* fs_open_existing_impl(PyFsData& fs, std::string_view path, std::string_view mode_text) {
  const IoResult<FileHandleType> mode = FileHandleType::from_str(mode_text);
  if (!mode) return raise_error(mode.error());
  IoResult<FileHandle> handle = FileSystem::open(fs.fs, path, *mode, /*create=*/false);
  if (!handle) return raise_error(handle.error());
  return new_file_handle(std::move(*handle));
}

// open_new(path, mode): create and open in one step.
PyObject* fs_open_new_impl(PyFsData& fs, std::string_view path, std::string_view mode_text) {
  const IoResult<FileHandleType> mode = FileHandleType::from_str(mode_text);
  if (!mode) return raise_error(mode.error());
  IoResult<FileHandle> handle = FileSystem::open_new(fs.fs, path, *mode);
  if (!handle) return raise_error(handle.error());
  return new_file_handle(std::move(*handle));
}

// read_bytes(path) -> bytes: the bytes object is made once the size is
// known, under the file's lock, and filled at once.
PyObject* fs_read_bytes_impl(PyFsData& fs, std::string_view path) {
  OwnedRef data;
  auto sink = [&](std::size_t count) -> std::uint8_t* {
    data = OwnedRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    return data ? reinterpret_cast<std::uint8_t*>(PyBytes_AsString(data.get())) : nullptr;
  };
  const IoResult<std::size_t> count = fs.fs->read_file(path, sink);
  if (!count) return raise_error(count.error());
  return data.release();  // null, with the error set, if the bytes could not be made
}

// open_file(path, mode='r', ...): the file objects are made by the
// pure-Python companion, over a raw file of this filesystem; the call is
// passed on with this PyFs first.
PyObject* fs_open_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    OwnedRef module(PyImport_ImportModule("lumvex_protocol"));
    if (!module) return nullptr;
    OwnedRef open_file(PyObject_GetAttrString(module.get(), "open_file"));
    if (!open_file) return nullptr;
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 0) return nullptr;
    OwnedRef call_args(PyTuple_New(count + 1));
    if (!call_args) return nullptr;
    PyTuple_SetItem(call_args.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < count; ++i)
      PyTuple_SetItem(call_args.get(), i + 1, Py_NewRef(PyTuple_GetItem(args, i)));
    return PyObject_Call(open_file.get(), call_args.get(), kwargs);
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

// stat(path) -> os.stat_result with the float times and the _ns fields set.
PyObject* fs_stat_impl(PyFsData& fs, std::string_view path) {
  const IoResult<StatInfo> info = fs.fs->stat(path);
  if (!info) return raise_error(info.error());
  // os is always imported; the lookup in sys.modules is the cheap way to it.
  OwnedRef name(PyUnicode_InternFromString("os"));
  if (!name) return nullptr;
  OwnedRef os(PyImport_GetModule(name.get()));
  if (!os && !PyErr_Occurred()) os = OwnedRef(PyImport_Import(name.get()));
  if (!os) return nullptr;
  OwnedRef stat_result(PyObject_GetAttrString(os.get(), "stat_result"));
  if (!stat_result) return nullptr;
  const unsigned long mode = info->is_directory ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  const long long ns = info->mtime_ns;
  const long long seconds = ns >= 0 ? ns / 1'000'000'000 : -((-ns + 999'999'999) / 1'000'000'000);
  const double exact = static_cast<double>(ns) / 1e9;
  // The ten fields of the tuple form, then the float times and the _ns
  // times, in the order of stat_result's fields.
  OwnedRef fields(Py_BuildValue(
      "((kKiKkkKLLLdddLLL))", mode, static_cast<unsigned long long>(info->id), 0,
      static_cast<unsigned long long>(info->nlink), static_cast<unsigned long>(getuid()),
      static_cast<unsigned long>(getgid()), static_cast<unsigned long long>(info->size), seconds,
      seconds, seconds, exact, exact, exact, ns, ns, ns));
  if (!fields) return nullptr;
  return PyObject_Call(stat_result.get(), fields.get(), nullptr);
}

IoResult<void> fs_rename_impl(PyFsData& fs, std::string_view src, std::string_view dst) {
  return fs.fs->rename(src, dst);
}

// __reduce__() -> (PyFs, (), state): pickle makes a new PyFs and hands it
// the state through __setstate__. A bounded filesystem is made with its
// limits: (copyreg.__newobj_ex__, (PyFs, (), limits), state).
PyObject* fs_reduce_impl(PyFsData& fs) {
  const std::string state = fs.fs->dump();
  OwnedRef bytes(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  if (!bytes) return nullptr;
  PyTypeObject* type = fs_type();
  if (type == nullptr) return nullptr;
  const FsLimits& limits = fs.fs->limits();
  if (!limits.max_bytes && !limits.max_entries)
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(type), bytes.get());
  OwnedRef copyreg(PyImport_ImportModule("copyreg"));
  if (!copyreg) return nullptr;
  OwnedRef make(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
  if (!make) return nullptr;
  OwnedRef max_bytes(limit_object(limits.max_bytes));
  OwnedRef max_entries(limit_object(limits.max_entries));
  if (!max_bytes || !max_entries) return nullptr;
  return Py_BuildValue("(O(O(){sOsO})O)", make.get(), reinterpret_cast<PyObject*>(type),
                       "max_bytes", max_bytes.get(), "max_entries", max_entries.get(), bytes.get());
}

// fork() -> PyFs: a copy that shares everything until one side changes it.
PyObject* fs_fork_impl(PyFsData& fs) {
  PyTypeObject* type = fs_type();
  if (type == nullptr) return nullptr;
  std::shared_ptr<FileSystem> forked;
  {
    // A fork waits for the changes in flight to end.
    AllowThreads unlocked;
    forked = fs.fs->fork();
  }
  return make_instance<PyFsData>(type, PyFsData{std::move(forked)});
}

// __setstate__(state): only a new, empty filesystem takes a state, so that
// nothing that already uses this PyFs sees its tree replaced.
PyObject* fs_setstate_impl(PyFsData& fs, Bytes state) {
  if (!fs.fs->pristine()) {
    PyErr_SetString(PyExc_ValueError, "__setstate__ needs a new, empty PyFs");
    return nullptr;
  }
  auto loaded = FileSystem::load(state.data, fs.fs->limits());
  if (!loaded) {
    PyErr_SetString(PyExc_ValueError, loaded.error().c_str());
    return nullptr;
  }
  fs.fs = std::move(*loaded);
  return none();
}

PyMethodDef kFsMethods[] = {
    method<kMkdir, &fs_mkdir_impl>(kMkdirDoc),
    method<kTouch, &fs_touch_impl>(kTouchDoc),
    method<kOpen, &fs_open_impl>(kOpenDoc),
    method<kOpenExisting, &fs_open_existing_impl>(kOpenExistingDoc),
    {"open_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fs_open_file)),
     METH_VARARGS | METH_KEYWORDS, kOpenFileDoc},
    method<kOpenNew, &fs_open_new_impl>(kOpenNewDoc),
    method<kReadBytes, &fs_read_bytes_impl>(kReadBytesDoc),
    method<kListdir, &fs_listdir_impl>(kListdirDoc),
    method<kRemove, &fs_remove_impl>(kRemoveDoc),
    method<kTree, &fs_tree_impl>(kTreeDoc),
    method<kStat, &fs_stat_impl>(kStatDoc),
    method<kRename, &fs_rename_impl>(kRenameDoc),
    method<kReduce, &fs_reduce_impl>(kReduceDoc),
    method<kFork, &fs_fork_impl>(kForkDoc),
    method<kSetstate, &fs_setstate_impl>(kSetstateDoc),
    kMethodsEnd,
};

PyTypeObject* build_fs_type() {
  PyTypeObject* type = build_class<PyFsData>("PyFs", kFsDoc,
                                             {
                                                 constructor_slot<kNew, &fs_new_impl>(),
                                                 {Py_tp_str, reinterpret_cast<void*>(&fs_str)},
                                                 {Py_tp_methods, kFsMethods},
                                             });
  if (type != nullptr && !add_getters(type, kFsGetters)) return nullptr;
  return type;
}

}  // namespace

PyTypeObject* fs_type() {
  return built_once<&build_fs_type>();
}

}  // namespace lumvex::py
