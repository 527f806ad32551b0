// PyFileHandle: one open FileHandle of a FileSystem, behind a mutex.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <span>
#include <utility>

#include "base/unique_fd.hpp"
#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"

namespace lumvex::py {
namespace {

constexpr const char kHandleDoc[] =
    "\n"
    "A simple wrapper around the FileHandle struct.\n"
    "\n"
    "This class is a simple wrapper around the FileHandle struct. It defines\n"
    "the basis for a file handle that can be used in Python. The file handle\n"
    "can be used to read and write data to a file.\n"
    "\n"
    "A file handle is always associated with a filesystem and an inode. The\n"
    "file handle can be used to read and write data to the file.\n"
    "\n"
    "It is not a Python file object: write does not move the offset, read\n"
    "prints a line, and files never shrink. Give libraries such as tarfile,\n"
    "gzip, zipfile or io.TextIOWrapper a file from PyFs.open_file instead.\n";

constexpr const char kIdDoc[] =
    "id($self)\n--\n\n"
    "\n"
    "Returns a string representation of the file handle.\n";

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "\n"
    "Close the file handle.\n"
    "\n"
    "Notice that the pyobject still holds a reference to the file handle. However\n"
    "any subsequent read or write operation will fail.\n"
    "\n"
    "Small Note on garbage collection: The file handle will internally be closed\n"
    "HOWEVER it will still keep the file system and inode alive. Until the file\n"
    "handle is dropped.\n";

constexpr const char kReadDoc[] =
    "read($self, buffer)\n--\n\n"
    "\n"
    "Read data from the file handle.\n"
    "\n"
    "This function reads data from the file handle. The function will return a\n"
    "byte array with the data that was read from the file. The function will\n"
    "return an error if the read operation failed.\n";

constexpr const char kWriteDoc[] =
    "write($self, buffer)\n--\n\n"
    "\n"
    "Write data to the file handle.\n"
    "\n"
    "This function writes data to the file handle. The function will return the\n"
    "number of bytes that were written to the file. The function will return an\n"
    "error if the write operation failed.\n";

constexpr const char kSeekDoc[] =
    "seek($self, offset, whence)\n--\n\n"
    "\n"
    "Seek a certain position in the file.\n"
    "\n"
    "This function seeks a certain position in the file. The function will return\n"
    "the new position in the file. The function will return an error if the seek\n"
    "operation failed.\n";

constexpr const char kTellDoc[] =
    "tell($self)\n--\n\n"
    "\n"
    "Tell the current position in the file.\n"
    "\n"
    "This function returns the current position in the file. The function will\n"
    "return an error if the tell operation failed.\n";

constexpr const char kReadintoDoc[] =
    "readinto($self, buffer)\n--\n\n"
    "\n"
    "Read data from the file handle into a writable buffer.\n"
    "\n"
    "Fills the start of buffer (a bytearray, a writable memoryview, a NumPy\n"
    "array: any contiguous writable buffer) with at most len(buffer) bytes from\n"
    "the offset, advances the offset like read and returns the number of bytes\n"
    "placed. Prints nothing.\n";

constexpr const char kReplaceDoc[] =
    "replace($self, data)\n--\n\n"
    "\n"
    "Replace the whole content of the file with data in one step.\n"
    "\n"
    "Needs a handle opened with \"w\". Readers see the old content or the new,\n"
    "never a mix; a replacement that a limit refuses leaves the old content.\n"
    "The offset stays where it was, or at the new end if that is before it.\n";

constexpr const char kEnterDoc[] =
    "__enter__($self)\n--\n\n"
    "\n"
    "Return the file handle itself.\n";

constexpr const char kExitDoc[] =
    "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
    "\n"
    "Close the file handle unless it is closed already. An exception raised in\n"
    "the with block is not suppressed.\n";

constexpr Signature kId{"PyFileHandle.id", {}};
constexpr Signature kClose{"PyFileHandle.close", {}};
constexpr Signature kRead{"PyFileHandle.read", {"buffer"}};
constexpr Signature kWrite{"PyFileHandle.write", {"buffer"}};
constexpr Signature kReadinto{"PyFileHandle.readinto", {"buffer"}};
constexpr Signature kReplace{"PyFileHandle.replace", {"data"}};
constexpr Signature kSeek{"PyFileHandle.seek", {"offset", "whence"}};
constexpr Signature kTell{"PyFileHandle.tell", {}};
constexpr Signature kExit{"PyFileHandle.__exit__", {"exc_type", "exc_value", "traceback"}};

// Writes "Read {count} bytes from file\n" to file descriptor 1 itself, past
// any buffering of sys.stdout. The notice is best effort: the read has
// happened, so a failing descriptor does not fail the call.
void print_read_notice(std::size_t count) {
  char line[64];
  const int length = std::snprintf(line, sizeof line, "Read %zu bytes from file\n", count);
  if (length > 0) write_all(1, std::string_view(line, static_cast<std::size_t>(length)));
}

PyObject* handle_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    std::string text = payload<PyFileHandleData>(self).with_lock(
        [](FileHandle& handle) { return handle.debug_string(); });
    return to_str(text);
  });
}

PyObject* handle_id_impl(PyFileHandleData& handle) {
  const auto id = handle.with_lock([](FileHandle& h) { return h.id(); });
  if (!id) return raise_error(IoError(IoErrorKind::InvalidFileDescriptor));
  return to_int(*id);
}

IoResult<void> handle_close_impl(PyFileHandleData& handle) {
  return handle.with_lock([](FileHandle& h) { return h.close(); });
}

// read(n): at most n bytes from the offset. The bytes object is made once the
// count is known, at exactly that size, so a huge n costs nothing.
PyObject* handle_read_impl(PyFileHandleData& handle, Size<> max) {
  OwnedRef data;
  auto sink = [&](std::size_t count) -> std::uint8_t* {
    data = OwnedRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    return data ? reinterpret_cast<std::uint8_t*>(PyBytes_AsString(data.get())) : nullptr;
  };
  const IoResult<std::size_t> count =
      handle.with_lock([&](FileHandle& h) { return h.read_into(max.value, sink); });
  if (!count) return raise_error(count.error());
  if (!data) return nullptr;  // the bytes object could not be made; nothing was read
  print_read_notice(*count);
  return data.release();
}

// A writable buffer of an argument, released when it goes.
class WritableBuffer {
 public:
  // False with TypeError("argument 'buffer': ...") or BufferError set.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE) < 0) {
      rewrap_argument_error("buffer");
      return false;
    }
    held_ = true;
    return true;
  }
  ~WritableBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// readinto(buffer): read() straight into the caller's memory, without the
// notice.
PyObject* handle_readinto_impl(PyFileHandleData& handle, Any target) {
  WritableBuffer buffer;
  if (!buffer.acquire(target.object)) return nullptr;
  const IoResult<std::size_t> count = handle.with_lock([&](FileHandle& h) {
    return h.read_into(buffer.size(), [&](std::size_t) { return buffer.data(); });
  });
  if (!count) return raise_error(count.error());
  return to_int(*count);
}

PyObject* handle_write_impl(PyFileHandleData& handle, Bytes bytes) {
  const std::span<const std::uint8_t> span(reinterpret_cast<const std::uint8_t*>(bytes.data.data()),
                                           bytes.data.size());
  const IoResult<std::size_t> count =
      handle.with_lock([&](FileHandle& h) { return h.write(span); });
  if (!count) return raise_error(count.error());
  return to_int(*count);
}

IoResult<void> handle_replace_impl(PyFileHandleData& handle, Bytes bytes) {
  const std::span<const std::uint8_t> span(reinterpret_cast<const std::uint8_t*>(bytes.data.data()),
                                           bytes.data.size());
  return handle.with_lock([&](FileHandle& h) { return h.replace(span); });
}

IoResult<void> handle_seek_impl(PyFileHandleData& handle, Size<> offset, PyWhenceData& whence) {
  const SeekFrom target{whence.origin, offset.value};
  return handle.with_lock([&](FileHandle& h) { return h.seek(target); });
}

PyObject* handle_tell_impl(PyFileHandleData& handle) {
  const IoResult<std::size_t> offset = handle.with_lock([](FileHandle& h) { return h.tell(); });
  if (!offset) return raise_error(offset.error());
  return to_int(*offset);
}

// __exit__(exc_type, exc_value, traceback): closes the handle if it is still
// open (a handle closed inside the block is fine) and returns None.
IoResult<void> handle_exit_impl(PyFileHandleData& handle, Any, Any, Any) {
  return handle.with_lock([](FileHandle& h) -> IoResult<void> {
    if (!h.id()) return {};
    return h.close();
  });
}

// Closes a still-open handle without its mutex (nothing else can reach a
// dying object), after a ResourceWarning; a failure goes to the
// unraisable-exception hook.
void handle_dealloc(PyObject* self) noexcept {
  guarded_dealloc(self, [&] {
    FileHandle& handle = payload<PyFileHandleData>(self).unlocked();
    if (!handle.id()) return;
    warn_unclosed(self);
    const IoResult<void> closed = handle.close();
    if (!closed) {
      throw InternalError("closing a dropped file handle failed: " + closed.error().to_string());
    }
  });
  dealloc_instance<PyFileHandleData>(self);
}

PyMethodDef kHandleMethods[] = {
    method<kId, &handle_id_impl>(kIdDoc),
    method<kClose, &handle_close_impl>(kCloseDoc),
    method<kRead, &handle_read_impl>(kReadDoc),
    method<kWrite, &handle_write_impl>(kWriteDoc),
    method<kReadinto, &handle_readinto_impl>(kReadintoDoc),
    method<kReplace, &handle_replace_impl>(kReplaceDoc),
    method<kSeek, &handle_seek_impl>(kSeekDoc),
    method<kTell, &handle_tell_impl>(kTellDoc),
    noargs_method("__enter__", &enter_self, kEnterDoc),
    method<kExit, &handle_exit_impl>(kExitDoc),
    kMethodsEnd,
};

PyTypeObject* build_file_handle_type() {
  return build_class<PyFileHandleData>(
      "PyFileHandle", kHandleDoc,
      {
          {Py_tp_str, reinterpret_cast<void*>(&handle_str)},
          {Py_tp_methods, kHandleMethods},
          {Py_tp_dealloc, reinterpret_cast<void*>(&handle_dealloc)},
      });
}

}  // namespace

PyTypeObject* file_handle_type() {
  return built_once<&build_file_handle_type>();
}

PyObject* new_file_handle(FileHandle handle) {
  PyTypeObject* type = file_handle_type();
  if (type == nullptr) return nullptr;
  return make_instance<PyFileHandleData>(type, std::move(handle));
}

}  // namespace lumvex::py
