// PyUserPool and PyTerminalSession: a pool of host accounts, and live bash
// sessions run as accounts of such a pool.
//
// Every call that can block (session creation on `id`, `useradd` and the
// home-directory work; write and the reads on a pipe; close on ending the
// account's processes and on the pool's mutex) runs with the interpreter lock
// released, so other Python threads go on meanwhile. The session itself is
// safe to use from several threads (see TerminalSession): a close from one
// thread ends a read or write waiting in another, which then raises as on a
// closed session. Core locks are only ever waited for without the
// interpreter lock.
//
// A wait broken off by a signal runs the Python signal handlers: if one
// raises, the call ends with its exception; otherwise the call goes on, as
// Python's own I/O does.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "error/internal_error.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"

namespace lumvex::py {
namespace {

constexpr const char kPoolDoc[] =
    "PyUserPool()\n--\n\n"
    "\n"
    "A class that represents a pool of UNIX users.\n"
    "\n"
    "This class represents a pool of UNIX users. The pool can be used to\n"
    "create and release user accounts. The pool is thread-safe and can be\n"
    "shared between multiple threads.\n";

constexpr const char kSessionDoc[] =
    "PyTerminalSession(pool)\n--\n\n"
    "\n"
    "A class that represents a terminal session for a user.\n"
    "\n"
    "This class represents a unique terminal session for a user. The terminal\n"
    "session will automatically create a new user account when the session is\n"
    "created. The terminal session will also release the user account back to\n"
    "the pool when the session is dropped.\n";

constexpr const char kWriteDoc[] =
    "write($self, data)\n--\n\n"
    "\n"
    "Write data to the terminal session.\n";

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "\n"
    "Close the terminal session.\n";

constexpr const char kReadDoc[] =
    "read($self, buffer)\n--\n\n"
    "\n"
    "Read data from the terminal session.\n";

constexpr const char kReadErrDoc[] =
    "read_err($self, buffer)\n--\n\n"
    "\n"
    "Read data from the stderr of the terminal session.\n";

constexpr const char kFilenoDoc[] =
    "fileno($self)\n--\n\n"
    "\n"
    "Return the file descriptor of the session's output stream, the one that\n"
    "read reads, so that select, selectors or asyncio can wait for output.\n";

constexpr const char kEnterDoc[] =
    "__enter__($self)\n--\n\n"
    "\n"
    "Return the terminal session itself.\n";

constexpr const char kExitDoc[] =
    "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
    "\n"
    "Close the terminal session. An exception raised in the with block is not\n"
    "suppressed.\n";

constexpr const char kWriteFailed[] = "Failed to write to terminal session";
constexpr const char kReadFailed[] = "Failed to read from terminal session";

constexpr Signature kPoolNew{"PyUserPool.__new__", {}};
constexpr Signature kSessionNew{"PyTerminalSession.__new__", {"pool"}};
constexpr Signature kWrite{"PyTerminalSession.write", {"data"}};
constexpr Signature kRead{"PyTerminalSession.read", {"buffer"}};
constexpr Signature kReadErr{"PyTerminalSession.read_err", {"buffer"}};
constexpr Signature kExit{"PyTerminalSession.__exit__", {"exc_type", "exc_value", "traceback"}};

// A read's `buffer` is an unsigned 32-bit size, but sizes from 2**31 on
// cannot be requested.
constexpr std::size_t kMaxBufferArgument = UINT32_MAX;
constexpr std::size_t kMaxReadRequest = std::size_t{1} << 31;

// A single read from a pipe never gives more than the pipe holds, and a pipe
// holds at most its capacity: 64 KiB by default, 1 MiB at most unless a
// privileged process enlarges it further (/proc/sys/fs/pipe-max-size). So a
// read asks the pipe for at most this much, however large `buffer` is, and a
// read(2**31 - 1) that gives back a few bytes does not cost gigabytes.
constexpr std::size_t kMaxReadChunk = std::size_t{1} << 20;

struct PoolData {
  PoolHandle pool;
};

// A session, and whether a call on it has failed with an internal error: from
// then on every call but the final close on destruction raises one.
struct SessionData {
  explicit SessionData(TerminalSession made) : session(std::move(made)) {}

  // Runs fn(session); an internal error escaping it poisons the session.
  template <typename F>
  decltype(auto) use(F&& fn) {
    if (poisoned.load()) throw InternalError("lock poisoned by an earlier failure");
    try {
      return fn(session);
    } catch (const std::bad_alloc&) {
      throw;  // a failed allocation leaves the session intact
    } catch (...) {
      poisoned.store(true);
      throw;
    }
  }

  TerminalSession session;
  std::atomic<bool> poisoned{false};
};

// PyUserPool(): a new, empty pool. Runs no host command.
PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kPoolNew, args, kwargs)) return nullptr;
    return make_instance<PoolData>(type, make_shared_pool());
  });
}

// Closes a session with the interpreter lock released (closing waits for the
// account's processes to end and for the pool's mutex).
void close_session(TerminalSession& session) {
  AllowThreads unlocked;
  session.close();
}

// PyTerminalSession(pool): a new session on an account of `pool`.
PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    PoolData* pool = nullptr;
    if (!bound.bind(kSessionNew, args, kwargs) || !bound.instance(0, user_pool_type(), pool)) {
      return nullptr;
    }
    PoolHandle handle = pool->pool;
    std::expected<TerminalSession, std::string> made = [&] {
      AllowThreads unlocked;
      return TerminalSession::make(std::move(handle));
    }();
    if (!made) return raise_error(std::string_view(made.error()));
    PyObject* object = make_instance<SessionData>(type, std::move(*made));
    // Without an object the session is closed here rather than by its
    // destructor, which would wait for the pool with the interpreter lock.
    if (object == nullptr) close_session(*made);
    return object;
  });
}

// A failed pipe call raises its fixed ValueError, unless a signal broke the
// wait and its Python handler raises (KeyboardInterrupt on Ctrl-C): that
// exception is what the caller expects to see then.
PyObject* pipe_failure(const char* message) {
  if (PyErr_CheckSignals() < 0) return nullptr;
  return raise_error(std::string_view(message));
}

SessionData* session_of(PyObject* self, const char* method) {
  return receiver<SessionData>(self, terminal_session_type(), method);
}

// write(data): sends all of `data` (bytes) to the shell's input.
PyObject* session_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SessionData* session = session_of(self, "write");
    BoundArgs bound;
    std::string_view data;
    if (!session || !bound.bind(kWrite, args, nargs, kwnames) || !bound.bytes(0, data)) {
      return nullptr;
    }
    // `data` points into an immutable bytes object that the caller keeps
    // alive for the whole call.
    for (;;) {
      const StreamResult sent = session->use([&](TerminalSession& s) {
        AllowThreads unlocked;
        return s.write(data);
      });
      if (sent && *sent == data.size()) return none();
      if (!sent && sent.error() == StreamError::kFailed) return pipe_failure(kWriteFailed);
      if (sent) data.remove_prefix(*sent);  // broken off by a signal part way
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
  });
}

// read(buffer) and read_err(buffer): one read of at most `buffer` bytes from
// the shell's output or error stream; b"" at end of stream.
using ReadMember = StreamResult (TerminalSession::*)(std::span<char>);

PyObject* session_read(const Signature& signature, const char* method, ReadMember read,
                       PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SessionData* session = session_of(self, method);
    BoundArgs bound;
    std::size_t size = 0;
    if (!session || !bound.bind(signature, args, nargs, kwnames) ||
        !bound.size(0, size, kMaxBufferArgument)) {
      return nullptr;
    }
    if (size >= kMaxReadRequest) {
      throw InternalError("buffer size " + std::to_string(size) + " is too large");
    }
    const std::size_t request = std::min(size, kMaxReadChunk);
    std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(request);
    for (;;) {
      const StreamResult count = session->use([&](TerminalSession& s) {
        AllowThreads unlocked;
        return (s.*read)(std::span<char>(buffer.get(), request));
      });
      if (count) return to_bytes_object(std::string_view(buffer.get(), *count));
      if (count.error() == StreamError::kFailed) return pipe_failure(kReadFailed);
      if (PyErr_CheckSignals() < 0) return nullptr;  // broken off by a signal
    }
  });
}

PyObject* session_read_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return session_read(kRead, "read", &TerminalSession::read_stdout, self, args, nargs, kwnames);
}

PyObject* session_read_err(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return session_read(kReadErr, "read_err", &TerminalSession::read_stderr, self, args, nargs,
                      kwnames);
}

// close(): ends the shell and gives the account back; nothing on a closed
// session.
PyObject* session_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SessionData* session = session_of(self, "close");
    if (!session) return nullptr;
    session->use([](TerminalSession& s) { close_session(s); });
    return none();
  });
}

// fileno(): the descriptor of the output pipe; a closed session raises what
// read raises.
PyObject* session_fileno(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SessionData* session = session_of(self, "fileno");
    if (!session) return nullptr;
    const int fd = session->use([](TerminalSession& s) { return s.stdout_fd(); });
    if (fd < 0) return raise_error(std::string_view(kReadFailed));
    return PyLong_FromLong(fd);
  });
}

// __exit__(exc_type, exc_value, traceback): close(), then None.
PyObject* session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SessionData* session = session_of(self, "__exit__");
    BoundArgs bound;
    if (!session || !bound.bind(kExit, args, nargs, kwnames)) return nullptr;
    session->use([](TerminalSession& s) { close_session(s); });
    return none();
  });
}

// A dropped session is closed as close() would (nothing else can reach it
// any more, so no earlier failure stops it), after a ResourceWarning if it
// was still open; a failure goes to the unraisable hook.
void session_dealloc(PyObject* self) {
  guarded_dealloc(self, [&] {
    TerminalSession& session = payload<SessionData>(self).session;
    if (session.is_open()) warn_unclosed(self);
    close_session(session);
  });
  dealloc_instance<SessionData>(self);
}

PyMethodDef kSessionMethods[] = {
    fastcall_method("write", &session_write, kWriteDoc),
    noargs_method("close", &session_close, kCloseDoc),
    fastcall_method("read", &session_read_out, kReadDoc),
    fastcall_method("read_err", &session_read_err, kReadErrDoc),
    noargs_method("fileno", &session_fileno, kFilenoDoc),
    noargs_method("__enter__", &enter_self, kEnterDoc),
    fastcall_method("__exit__", &session_exit, kExitDoc),
    kMethodsEnd,
};

PyTypeObject* build_pool_type() {
  return build_class<PoolData>("PyUserPool", kPoolDoc,
                               {
                                   {Py_tp_new, reinterpret_cast<void*>(&pool_new)},
                               });
}

PyTypeObject* build_session_type() {
  return build_class<SessionData>("PyTerminalSession", kSessionDoc,
                                  {
                                      {Py_tp_new, reinterpret_cast<void*>(&session_new)},
                                      {Py_tp_methods, kSessionMethods},
                                      {Py_tp_dealloc, reinterpret_cast<void*>(&session_dealloc)},
                                  });
}

}  // namespace

PyTypeObject* user_pool_type() {
  return built_once<&build_pool_type>();
}

PyTypeObject* terminal_session_type() {
  return built_once<&build_session_type>();
}

}  // namespace lumvex::py
