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
constexpr Signature kClose{"PyTerminalSession.close", {}};
constexpr Signature kFileno{"PyTerminalSession.fileno", {}};
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
    poison.check("lock poisoned by an earlier failure");
    return poison.guard(fn, session);
  }

  TerminalSession session;
  Poison poison;
};

}  // namespace

template <>
PyTypeObject* class_type<PoolData>() {
  return user_pool_type();
}
template <>
PyTypeObject* class_type<SessionData>() {
  return terminal_session_type();
}

namespace {

// PyUserPool(): a new, empty pool. Runs no host command.
PyObject* pool_new_impl(PyTypeObject* type) {
  return make_instance<PoolData>(type, make_shared_pool());
}

// Closes a session with the interpreter lock released (closing waits for the
// account's processes to end and for the pool's mutex).
void close_session(TerminalSession& session) {
  AllowThreads unlocked;
  session.close();
}

// PyTerminalSession(pool): a new session on an account of `pool`.
PyObject* session_new_impl(PyTypeObject* type, PoolData& pool) {
  PoolHandle handle = pool.pool;
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
}

// A failed pipe call raises its fixed ValueError, unless a signal broke the
// wait and its Python handler raises (KeyboardInterrupt on Ctrl-C): that
// exception is what the caller expects to see then.
PyObject* pipe_failure(const char* message) {
  if (PyErr_CheckSignals() < 0) return nullptr;
  return raise_error(std::string_view(message));
}

// write(data): sends all of `data` (bytes) to the shell's input. `data`
// points into an immutable bytes object that the caller keeps alive for the
// whole call.
PyObject* session_write_impl(SessionData& session, Bytes bytes) {
  std::string_view data = bytes.data;
  for (;;) {
    const StreamResult sent = session.use([&](TerminalSession& s) {
      AllowThreads unlocked;
      return s.write(data);
    });
    if (sent && *sent == data.size()) return none();
    if (!sent && sent.error() == StreamError::kFailed) return pipe_failure(kWriteFailed);
    if (sent) data.remove_prefix(*sent);  // broken off by a signal part way
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
}

// read(buffer) and read_err(buffer): one read of at most `buffer` bytes from
// the shell's output or error stream; b"" at end of stream.
template <StreamResult (TerminalSession::*kRead)(std::span<char>)>
PyObject* session_read_impl(SessionData& session, Size<kMaxBufferArgument> buffer) {
  if (buffer.value >= kMaxReadRequest) {
    throw InternalError("buffer size " + std::to_string(buffer.value) + " is too large");
  }
  const std::size_t request = std::min(buffer.value, kMaxReadChunk);
  std::unique_ptr<char[]> bytes = std::make_unique_for_overwrite<char[]>(request);
  for (;;) {
    const StreamResult count = session.use([&](TerminalSession& s) {
      AllowThreads unlocked;
      return (s.*kRead)(std::span<char>(bytes.get(), request));
    });
    if (count) return to_bytes_object(std::string_view(bytes.get(), *count));
    if (count.error() == StreamError::kFailed) return pipe_failure(kReadFailed);
    if (PyErr_CheckSignals() < 0) return nullptr;  // broken off by a signal
  }
}

// close(): ends the shell and gives the account back; nothing on a closed
// session. __exit__(exc_type, exc_value, traceback) does the same, so an
// exception raised in the with block propagates.
PyObject* session_close_impl(SessionData& session) {
  session.use([](TerminalSession& s) { close_session(s); });
  return none();
}
PyObject* session_exit_impl(SessionData& session, Any, Any, Any) {
  return session_close_impl(session);
}

// fileno(): the descriptor of the output pipe; a closed session raises what
// read raises.
PyObject* session_fileno_impl(SessionData& session) {
  const int fd = session.use([](TerminalSession& s) { return s.stdout_fd(); });
  if (fd < 0) return raise_error(std::string_view(kReadFailed));
  return PyLong_FromLong(fd);
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
    method<kWrite, &session_write_impl>(kWriteDoc),
    method<kClose, &session_close_impl>(kCloseDoc),
    method<kRead, &session_read_impl<&TerminalSession::read_stdout>>(kReadDoc),
    method<kReadErr, &session_read_impl<&TerminalSession::read_stderr>>(kReadErrDoc),
    method<kFileno, &session_fileno_impl>(kFilenoDoc),
    noargs_method("__enter__", &enter_self, kEnterDoc),
    method<kExit, &session_exit_impl>(kExitDoc),
    kMethodsEnd,
};

PyTypeObject* build_pool_type() {
  return build_class<PoolData>("PyUserPool", kPoolDoc,
                               {
                                   constructor_slot<kPoolNew, &pool_new_impl>(),
                               });
}

PyTypeObject* build_session_type() {
  return build_class<SessionData>("PyTerminalSession", kSessionDoc,
                                  {
                                      constructor_slot<kSessionNew, &session_new_impl>(),
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
