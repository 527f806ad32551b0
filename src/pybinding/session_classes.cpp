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
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "error/internal_error.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"
#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"
#include "sandbox/policy.hpp"

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

constexpr const char kUsageDoc[] =
    "usage($self)\n--\n\n"
    "\n"
    "Return the session's figures as a dict: memory_peak (bytes),\n"
    "oom_kills (processes the kernel ended for the memory cap), cpu_seconds\n"
    "(float) and processes (live now). After close, the final figures.\n";

constexpr Signature kPoolNew{"PyUserPool.__new__",
                             {{"memory", kOptional, kKeywordOnly},
                              {"processes", kOptional, kKeywordOnly},
                              {"cpu", kOptional, kKeywordOnly},
                              {"disk", kOptional, kKeywordOnly},
                              {"network", kOptional, kKeywordOnly},
                              {"template", kOptional, kKeywordOnly},
                              {"allow", kOptional, kKeywordOnly}}};
constexpr Signature kUsage{"PyTerminalSession.usage", {}};
constexpr Signature kRun{"PyTerminalSession.run",
                         {"command",
                          {"timeout", kOptional, kKeywordOnly},
                          {"input", kOptional, kKeywordOnly},
                          {"env", kOptional, kKeywordOnly},
                          {"cwd", kOptional, kKeywordOnly},
                          {"check", kOptional, kKeywordOnly},
                          {"max_output", kOptional, kKeywordOnly}}};

constexpr const char kRunDoc[] =
    "run($self, command, *, timeout=None, input=None, env=None, cwd=None, check=False,\n"
    "    max_output=67108864)\n--\n\n"
    "\n"
    "Run command with /bin/bash -c as the session's account, inside the\n"
    "session's walls, and return a subprocess.CompletedProcess with its exit\n"
    "status and its standard output and error as bytes, as\n"
    "subprocess.run(..., capture_output=True) does. The command starts in the\n"
    "home (or cwd: relative to the home, or absolute) with the shell's\n"
    "environment updated by env, and input (bytes) as its standard input (the\n"
    "null device when None). After timeout seconds every process it started\n"
    "is ended and subprocess.TimeoutExpired raised; with check, a non-zero\n"
    "status raises subprocess.CalledProcessError. Each stream keeps at most\n"
    "max_output bytes: its first half and its last half, the middle dropped\n"
    "(the result's truncated is True; stdout_size and stderr_size give the\n"
    "streams' whole sizes). The result and both exceptions also carry\n"
    "killed_by (None, \"timeout\", \"oom\", \"signal\" or \"close\") and usage,\n"
    "the command's own figures: memory_peak, cpu_seconds and oom_kills.\n"
    "A command is a process of its own: cd or export do not carry over.\n";

constexpr const char kSendSignalDoc[] =
    "send_signal($self, sig)\n--\n\n"
    "\n"
    "Send the signal sig to the foreground job of the session's shell (what\n"
    "Ctrl-C on its terminal would reach), as the session's account, without\n"
    "closing the session. Return True, or False when no process received it.\n";
constexpr Signature kSendSignal{"PyTerminalSession.send_signal", {"sig"}};

constexpr const char kExposeDoc[] =
    "expose($self, port)\n--\n\n"
    "\n"
    "Make the TCP port port of the session's loopback reachable from this\n"
    "host: return (host, port) of a new listener on this host's 127.0.0.1\n"
    "whose every connection is joined to a new connection to port inside the\n"
    "session, whatever its network. The listener closes with the session.\n";
constexpr Signature kExpose{"PyTerminalSession.expose", {"port"}};
constexpr const char kExposeFailed[] = "Failed to expose the port of the terminal session";

constexpr const char kTransferDoc[] =
    "_transfer($self, mode, path)\n--\n\n"
    "\n"
    "A transfer out of the session by lumvex's helper program, as the session's\n"
    "account: mode \"send\" gives the bytes of the regular file path, \"tree\"\n"
    "a stream of the tree at path. For the file methods; raises OSError.\n";
constexpr Signature kTransfer{"PyTerminalSession._transfer", {"mode", "path"}};

constexpr const char kStartDoc[] =
    "start($self, command, *, env=None, cwd=None, pty=False)\n--\n\n"
    "\n"
    "Start command with /bin/bash -c as the session's account, inside the\n"
    "session's walls, and return a StartedCommand without waiting for it, in\n"
    "the style of subprocess.Popen: stdin, stdout and stderr are binary pipes\n"
    "(usable with selectors and asyncio), and poll(), wait(timeout),\n"
    "send_signal(sig) (to its whole process group), terminate() and kill()\n"
    "(every process it started, detached ones included) act on it. With pty,\n"
    "its three streams are one pseudo-terminal of its own (stdout reads it,\n"
    "stdin writes to it, stderr is None) and expect(pattern, timeout) waits\n"
    "for a prompt. env and cwd are as for run. Closing the session ends it.\n";
constexpr const char kShellDoc[] =
    "shell($self)\n--\n\n"
    "\n"
    "Start a persistent bash of the session and return a Shell, whose\n"
    "run(command, *, timeout=None, input=None, check=False, max_output=...)\n"
    "returns a subprocess.CompletedProcess as run does, while the shell keeps\n"
    "its state between commands: working directory, variables, functions,\n"
    "aliases, options, umask. A timeout interrupts the command as Ctrl-C\n"
    "would and keeps the shell. Several shells may run at once.\n";
constexpr const char kStartPrivateDoc[] =
    "_start($self, command, env, cwd, pty)\n--\n\n"
    "\n"
    "Start command and return (id, stdin, stdout, stderr, ended, pid): the\n"
    "descriptors become the caller's. For start() and shell().\n";
constexpr Signature kStartPrivate{"PyTerminalSession._start", {"command", "env", "cwd", "pty"}};
constexpr Signature kStartedPoll{"PyTerminalSession._started_poll", {"id"}};
constexpr Signature kStartedSignal{"PyTerminalSession._started_signal", {"id", "sig", "since"}};
constexpr Signature kStartedKill{"PyTerminalSession._started_kill", {"id"}};
constexpr Signature kStartedRelease{"PyTerminalSession._started_release", {"id"}};

constexpr const char kRunFailed[] = "Failed to run the command in the terminal session";

constexpr const char kWriteFileDoc[] =
    "write_file($self, path, data)\n--\n\n"
    "\n"
    "Store data (bytes-like) as the file path of the session (relative to\n"
    "its home unless absolute), as the session's account: written beside it\n"
    "and renamed over it, so a failure leaves what was there.\n";
constexpr const char kReadFileDoc[] =
    "read_file($self, path)\n--\n\n"
    "\n"
    "Return the bytes of the regular file path of the session (relative to\n"
    "its home unless absolute), read as the session's account.\n";
constexpr const char kUploadDoc[] =
    "upload($self, fs, src, dst)\n--\n\n"
    "\n"
    "Copy the file or directory tree src of the PyFs fs to dst in the\n"
    "session (relative to its home unless absolute), as the session's\n"
    "account.\n";
constexpr const char kDownloadDoc[] =
    "download($self, src, fs, dst)\n--\n\n"
    "\n"
    "Copy the file or directory tree src of the session (relative to its\n"
    "home unless absolute) to dst in the PyFs fs: regular files and\n"
    "directories; links, FIFOs and devices are left out.\n";
constexpr Signature kSessionNew{"PyTerminalSession.__new__",
                                {"pool", {"template", kOptional, kKeywordOnly}}};
constexpr Signature kSnapshot{"PyTerminalSession.snapshot", {}};
constexpr const char kSnapshotDoc[] =
    "snapshot($self)\n--\n\n"
    "\n"
    "Return a lumvex.Template of the session's home as it is now, in time\n"
    "proportional to what the session changed since its own template (its\n"
    "whole home without one). The session's processes go on meanwhile: files\n"
    "not written during the call are caught as they are; a file being written\n"
    "may be caught part way.\n";
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

// The walls of a pool, by name, as PyUserPool.walls shows them.
constexpr std::pair<const char*, bool Walls::*> kWallNames[] = {
    {"cgroup", &Walls::cgroup}, {"memory", &Walls::memory}, {"processes", &Walls::processes},
    {"cpu", &Walls::cpu},       {"disk", &Walls::disk},     {"network", &Walls::network},
    {"tmp", &Walls::tmp},       {"proc", &Walls::proc},     {"syscalls", &Walls::syscalls},
};

// A session, and whether a call on it has failed with an internal error: from
// then on every call but the final close on destruction raises one.
struct SessionData;

// The sessions alive in this process, so that the child of an os.fork() can
// let go of its copies of them (see disown_sessions_in_child). Linked and
// unlinked only with the interpreter lock held, which also holds while
// os.fork() runs its handlers in the child.
SessionData* live_sessions = nullptr;

struct SessionData {
  explicit SessionData(TerminalSession made) : session(std::move(made)) {
    next = live_sessions;
    if (next != nullptr) next->prev = this;
    live_sessions = this;
  }
  ~SessionData() {
    if (prev != nullptr) prev->next = next;
    if (next != nullptr) next->prev = prev;
    if (live_sessions == this) live_sessions = next;
  }
  SessionData(const SessionData&) = delete;
  SessionData& operator=(const SessionData&) = delete;

  // Runs fn(session); an internal error escaping it poisons the session.
  template <typename F>
  decltype(auto) use(F&& fn) {
    poison.check("lock poisoned by an earlier failure");
    return poison.guard(fn, session);
  }

  TerminalSession session;
  Poison poison;
  SessionData* prev = nullptr;
  SessionData* next = nullptr;
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

// template=: a Template, or None (or absent) for none.
bool template_argument(Any object, TemplateRef& out) {
  if (object.object == nullptr || object.object == Py_None) return true;
  if (!PyObject_TypeCheck(object.object, template_type())) {
    PyErr_SetString(PyExc_TypeError, "template must be a lumvex.Template or None");
    return false;
  }
  out = payload<PyTemplateData>(object.object).layers;
  return true;
}

// A positive byte count, or None (nullopt). Booleans are not counts.
bool byte_count(const char* name, PyObject* object, std::optional<std::uint64_t>& out) {
  return optional_count(name, object, 1, "must be an int (bytes) or None",
                        "must be a positive number of bytes", out);
}

// PyUserPool(*, memory=None, processes=512, cpu=None, disk=None,
// network=None, template=None, allow=None): a new, empty pool whose
// sessions get these walls (network None: "private" where the host can
// give it, else True). Runs no
// host command and creates nothing on the host; a wall asked for that the
// host cannot give raises ValueError naming it.
PyObject* pool_new_impl(PyTypeObject* type, Any memory, Any processes, Any cpu, Any disk,
                        Any network, Any template_arg, Any allow) {
  TemplateRef layers;
  if (!template_argument(template_arg, layers)) return nullptr;
  WallRequest request;
  if (!byte_count("memory", memory.object, request.memory)) return nullptr;
  if (!byte_count("disk", disk.object, request.disk)) return nullptr;
  if (processes.object != nullptr) {
    if (PyBool_Check(processes.object) || !PyLong_Check(processes.object)) {
      PyErr_SetString(PyExc_TypeError, "processes must be an int");
      return nullptr;
    }
    const long long value = PyLong_AsLongLong(processes.object);
    if (PyErr_Occurred() || value < 1 || value > 4194304) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "processes must be between 1 and 4194304");
      return nullptr;
    }
    request.processes = static_cast<std::uint64_t>(value);
  }
  if (cpu.object != nullptr && cpu.object != Py_None) {
    if (PyBool_Check(cpu.object) || !(PyLong_Check(cpu.object) || PyFloat_Check(cpu.object))) {
      PyErr_SetString(PyExc_TypeError, "cpu must be a number of CPUs (int or float) or None");
      return nullptr;
    }
    const double value = PyFloat_AsDouble(cpu.object);
    if (PyErr_Occurred()) return nullptr;
    if (!(value >= 0.01 && value <= 1e6)) {
      PyErr_SetString(PyExc_ValueError, "cpu must be at least 0.01 CPUs");
      return nullptr;
    }
    request.cpu = value;
  }
  if (network.object == nullptr || network.object == Py_None) {
    request.private_if_possible = true;
  } else {
    if (PyUnicode_Check(network.object)) {
      if (PyUnicode_CompareWithASCIIString(network.object, "private") != 0) {
        PyErr_SetString(PyExc_ValueError, "network must be True, False, \"private\" or None");
        return nullptr;
      }
      request.network = false;
      request.outbound = true;
    } else if (PyBool_Check(network.object)) {
      request.network = network.object == Py_True;
    } else {
      PyErr_SetString(PyExc_TypeError, "network must be True, False, \"private\" or None");
      return nullptr;
    }
  }
  if (allow.object != nullptr && allow.object != Py_None) {
    if (PyUnicode_Check(allow.object) || PyBytes_Check(allow.object)) {
      PyErr_SetString(PyExc_TypeError, "allow must be an iterable of str, not a single str");
      return nullptr;
    }
    OwnedRef iterator(PyObject_GetIter(allow.object));
    if (!iterator) return nullptr;
    std::vector<std::string> entries;
    while (OwnedRef item{PyIter_Next(iterator.get())}) {
      if (!PyUnicode_Check(item.get())) {
        PyErr_SetString(PyExc_TypeError, "allow must be an iterable of str");
        return nullptr;
      }
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
      if (text == nullptr) return nullptr;
      entries.emplace_back(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) return nullptr;
    request.allow = std::move(entries);
  }
  std::expected<SandboxPolicy, std::string> policy = SandboxPolicy::make(request);
  if (!policy) return raise_error(std::string_view(policy.error()));
  PoolHandle handle = make_shared_pool(std::move(*policy));
  handle->default_template = std::move(layers);
  return make_instance<PoolData>(type, std::move(handle));
}

// PyUserPool.walls: which walls hold for this pool's sessions on this host,
// a read-only mapping of name to bool.
PyObject* pool_walls_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const Walls& walls = payload<PoolData>(self).pool->policy.walls;
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, member] : kWallNames) {
      if (PyDict_SetItemString(dict.get(), name, walls.*member ? Py_True : Py_False) < 0) {
        return nullptr;
      }
    }
    return PyDictProxy_New(dict.get());
  });
}

// PyUserPool.network: the network mode of the pool's sessions, as asked
// for: True (the host's), "private" (one of its own with a way out) or
// False (one of its own, loopback only).
PyObject* pool_network_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const SandboxPolicy& policy = payload<PoolData>(self).pool->policy;
    if (!policy.private_network) return PyBool_FromLong(1);
    if (!policy.pasta.empty()) return PyUnicode_FromString("private");
    return PyBool_FromLong(0);
  });
}

PyGetSetDef kPoolGetters[] = {
    {"network", &pool_network_get, nullptr,
     "The network of the pool's sessions: True (the host's), \"private\" (one\n"
     "of their own with a way out) or False (one of their own, loopback only).",
     nullptr},
    {"walls", &pool_walls_get, nullptr,
     "Which walls hold for this pool's sessions on this host: a read-only\n"
     "mapping of cgroup, memory, processes, cpu, disk, network, tmp, proc and\n"
     "syscalls to True or False.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Closes a session with the interpreter lock released (closing waits for the
// account's processes to end and for the pool's mutex).
void close_session(TerminalSession& session) {
  AllowThreads unlocked;
  session.close();
}

// PyTerminalSession(pool): a new session on an account of `pool`.
PyObject* session_new_impl(PyTypeObject* type, PoolData& pool, Any template_arg) {
  TemplateRef layers;
  if (!template_argument(template_arg, layers)) return nullptr;
  PoolHandle handle = pool.pool;
  std::expected<TerminalSession, std::string> made = [&] {
    AllowThreads unlocked;
    return TerminalSession::make(std::move(handle), std::move(layers));
  }();
  if (!made) return raise_error(std::string_view(made.error()));
  // A Ctrl-C while the session was being made (its waits are bounded, a few
  // seconds at most) ends the request now, the new session closed.
  if (PyErr_CheckSignals() < 0) {
    close_session(*made);
    return nullptr;
  }
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
// A session that an earlier internal error poisoned is still closed: its
// processes end and its account goes back, whatever state the failure left
// (the other calls keep raising).
PyObject* session_close_impl(SessionData& session) {
  if (session.poison.poisoned()) {
    close_session(session.session);
    return none();
  }
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

// usage(): the figures of the session's control groups.
PyObject* session_usage_impl(SessionData& session) {
  const SessionUsage usage = session.use([](TerminalSession& s) {
    AllowThreads unlocked;
    return s.usage();
  });
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, OwnedRef> items[] = {
      {"memory_peak", OwnedRef(PyLong_FromUnsignedLongLong(usage.memory_peak))},
      {"oom_kills", OwnedRef(PyLong_FromUnsignedLongLong(usage.oom_kills))},
      {"cpu_seconds", OwnedRef(PyFloat_FromDouble(usage.cpu_seconds))},
      {"processes", OwnedRef(PyLong_FromUnsignedLongLong(usage.processes))},
  };
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// The value of an optional number argument that must be >= 0 (None: absent).
bool non_negative_seconds(PyObject* object, std::optional<double>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object) || !(PyLong_Check(object) || PyFloat_Check(object))) {
    PyErr_SetString(PyExc_TypeError, "timeout must be a number of seconds or None");
    return false;
  }
  const double value = PyFloat_AsDouble(object);
  if (PyErr_Occurred()) return false;
  if (!(value >= 0)) {
    PyErr_SetString(PyExc_ValueError, "timeout must not be negative");
    return false;
  }
  out = value;
  return true;
}

// `env` (a mapping of str to str) applied to the shell's environment.
bool updated_environment(PyObject* env, std::vector<std::string>& environment) {
  if (env == nullptr || env == Py_None) return true;
  OwnedRef items(PyMapping_Items(env));
  if (!items) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "env must be a mapping of str to str");
    return false;
  }
  const Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    std::string_view name, value;
    if (!to_text(PyTuple_GetItem(item, 0), name) || !to_text(PyTuple_GetItem(item, 1), value)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "env must be a mapping of str to str");
      return false;
    }
    if (name.empty() || name.find('=') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError,
                      "env names must be non-empty and without '='; no NUL in names or values");
      return false;
    }
    std::string prefix = std::string(name) + "=";
    std::erase_if(environment, [&](const std::string& e) { return e.starts_with(prefix); });
    environment.push_back(prefix + std::string(value));
  }
  return true;
}

const char* killed_by_text(TerminalSession::KilledBy cause) {
  using KilledBy = TerminalSession::KilledBy;
  switch (cause) {
    case KilledBy::kNone:
      return nullptr;
    case KilledBy::kTimeout:
      return "timeout";
    case KilledBy::kOom:
      return "oom";
    case KilledBy::kSignal:
      return "signal";
    case KilledBy::kClose:
      return "close";
  }
  return nullptr;
}

// Sets what a run tells beyond subprocess's own attributes on `object` (a
// result or an exception): truncated, stdout_size, stderr_size, killed_by
// and usage. -1 with an exception set on failure.
int set_run_attributes(PyObject* object, const TerminalSession::RunResult& result) {
  const char* cause = killed_by_text(result.killed_by);
  OwnedRef killed_by(cause != nullptr ? PyUnicode_FromString(cause) : Py_NewRef(Py_None));
  OwnedRef usage(PyDict_New());
  if (!killed_by || !usage) return -1;
  const std::pair<const char*, OwnedRef> figures[] = {
      {"memory_peak", OwnedRef(PyLong_FromUnsignedLongLong(result.usage.memory_peak))},
      {"cpu_seconds", OwnedRef(PyFloat_FromDouble(result.usage.cpu_seconds))},
      {"oom_kills", OwnedRef(PyLong_FromUnsignedLongLong(result.usage.oom_kills))},
  };
  for (const auto& [key, value] : figures) {
    if (!value || PyDict_SetItemString(usage.get(), key, value.get()) < 0) return -1;
  }
  const bool truncated = result.out.truncated || result.err.truncated;
  OwnedRef out_size(PyLong_FromUnsignedLongLong(result.out.size));
  OwnedRef err_size(PyLong_FromUnsignedLongLong(result.err.size));
  if (!out_size || !err_size) return -1;
  const std::pair<const char*, PyObject*> attributes[] = {
      {"truncated", truncated ? Py_True : Py_False},
      {"stdout_size", out_size.get()},
      {"stderr_size", err_size.get()},
      {"killed_by", killed_by.get()},
      {"usage", usage.get()},
  };
  for (const auto& [name, value] : attributes) {
    if (PyObject_SetAttrString(object, name, value) < 0) return -1;
  }
  return 0;
}

// A new instance of `type` (or of subprocess's class `name`, when `type` is
// null) made with `args` and `kwargs`, with the run's attributes set.
PyObject* run_object(PyObject* type, const char* name, PyObject* args, PyObject* kwargs,
                     const TerminalSession::RunResult& result) {
  OwnedRef found;
  if (type == nullptr) {
    OwnedRef module(PyImport_ImportModule("subprocess"));
    if (!module) return nullptr;
    found = OwnedRef(PyObject_GetAttrString(module.get(), name));
    if (!found) return nullptr;
    type = found.get();
  }
  OwnedRef object(PyObject_Call(type, args, kwargs));
  if (!object || set_run_attributes(object.get(), result) < 0) return nullptr;
  return object.release();
}

// Raises `error`, an exception instance just made (null: one is set).
PyObject* raise_object(OwnedRef error) {
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

// The environment (the shell's, updated by `env`) and working directory
// (the home, or `cwd` relative to it) of a command. False with an exception
// set on bad arguments.
bool set_place(SessionData& session, Any env_arg, Any cwd_arg,
               TerminalSession::RunRequest& request) {
  request.environment = session.session.environment();
  if (!updated_environment(env_arg.object, request.environment)) return false;
  const std::string& home = session.session.home();
  request.workdir = home;
  if (cwd_arg.object != nullptr && cwd_arg.object != Py_None) {
    OwnedRef path(PyOS_FSPath(cwd_arg.object));
    std::string_view text;
    if (!path || !to_text(path.get(), text)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "cwd must be a str or os.PathLike of str, or None");
      return false;
    }
    if (text.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "cwd must not contain NUL");
      return false;
    }
    request.workdir = text.starts_with('/') ? std::string(text) : home + "/" + std::string(text);
  }
  return true;
}

// Raises OSError for a command that could not start (`workdir` when the
// cause was its working directory), as subprocess does.
PyObject* raise_start_error(int workdir_error, int start_error, const std::string& workdir) {
  if (workdir_error != 0) {
    OwnedRef args(Py_BuildValue("(is s#)", workdir_error,
                                std::generic_category().message(workdir_error).c_str(),
                                workdir.data(), static_cast<Py_ssize_t>(workdir.size())));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
  }
  OwnedRef args(
      Py_BuildValue("(is)", start_error, std::generic_category().message(start_error).c_str()));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

// run(command, *, timeout=None, input=None, env=None, cwd=None, check=False,
// max_output=64 << 20): see kRunDoc.
PyObject* session_run_impl(SessionData& session, std::string_view command, Any timeout_arg,
                           Any input_arg, Any env_arg, Any cwd_arg, Any check_arg,
                           Any max_output_arg) {
  TerminalSession::RunRequest request;
  request.command = std::string(command);
  if (request.command.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "command must not contain NUL");
    return nullptr;
  }
  std::optional<double> timeout;
  if (!non_negative_seconds(timeout_arg.object, timeout)) return nullptr;
  if (timeout) request.timeout = std::chrono::duration<double>(*timeout);
  if (input_arg.object != nullptr && input_arg.object != Py_None) {
    Py_buffer view;
    if (PyUnicode_Check(input_arg.object) ||
        PyObject_GetBuffer(input_arg.object, &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "input must be bytes-like or None");
      return nullptr;
    }
    request.input =
        std::string(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
  }
  if (!set_place(session, env_arg, cwd_arg, request)) return nullptr;
  bool check = false;
  if (check_arg.object != nullptr && !to_bool(check_arg.object, check)) return nullptr;
  if (max_output_arg.object != nullptr) {
    std::size_t max = 0;
    if (PyBool_Check(max_output_arg.object) || !to_size(max_output_arg.object, max)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "max_output must be an int");
      return nullptr;
    }
    request.max_output = max;
  }

  const auto ran = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.run(request);
  });
  if (!ran) return raise_error(std::string_view(kRunFailed));
  const TerminalSession::RunResult& result = *ran;
  if (result.end == TerminalSession::RunResult::End::kClosed) {
    // As on a closed session, with the ending and the figures.
    OwnedRef args(Py_BuildValue("(s)", kRunFailed));
    if (!args) return nullptr;
    return raise_object(
        OwnedRef(run_object(PyExc_ValueError, nullptr, args.get(), nullptr, result)));
  }
  if (result.workdir_error != 0 || result.start_error != 0) {
    // As subprocess reports a command that cannot start (a full process
    // cap gives EAGAIN).
    return raise_start_error(result.workdir_error, result.start_error, request.workdir);
  }
  OwnedRef out(to_bytes_object(result.out.data));
  OwnedRef err(to_bytes_object(result.err.data));
  OwnedRef cmd(
      PyUnicode_FromStringAndSize(command.data(), static_cast<Py_ssize_t>(command.size())));
  if (!out || !err || !cmd) return nullptr;
  if (result.end == TerminalSession::RunResult::End::kTimedOut) {
    OwnedRef args(Py_BuildValue("(Od)", cmd.get(), timeout.value_or(0)));
    OwnedRef kwargs(Py_BuildValue("{sOsO}", "output", out.get(), "stderr", err.get()));
    if (!args || !kwargs) return nullptr;
    return raise_object(
        OwnedRef(run_object(nullptr, "TimeoutExpired", args.get(), kwargs.get(), result)));
  }
  const int status = result.status;
  const long code = WIFEXITED(status)     ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? -WTERMSIG(status)
                                          : -1;
  if (check && code != 0) {
    OwnedRef args(Py_BuildValue("(lO)", code, cmd.get()));
    OwnedRef kwargs(Py_BuildValue("{sOsO}", "output", out.get(), "stderr", err.get()));
    if (!args || !kwargs) return nullptr;
    return raise_object(
        OwnedRef(run_object(nullptr, "CalledProcessError", args.get(), kwargs.get(), result)));
  }
  OwnedRef args(Py_BuildValue("(OlOO)", cmd.get(), code, out.get(), err.get()));
  if (!args) return nullptr;
  return run_object(nullptr, "CompletedProcess", args.get(), nullptr, result);
}

// The private half of start() and shell(), which the companion module
// _lumvex_commands builds its handles on. Started commands are named by the
// number _start gives.

// _start(command, env, cwd, pty): starts command and gives (id, stdin,
// stdout, stderr, ended, pid): descriptors now the caller's (stderr -1 with
// a pseudo-terminal; ended becomes readable when the command has ended).
PyObject* session_start_impl(SessionData& session, std::string_view command, Any env_arg,
                             Any cwd_arg, Any pty_arg) {
  TerminalSession::RunRequest request;
  request.command = std::string(command);
  if (request.command.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "command must not contain NUL");
    return nullptr;
  }
  if (!set_place(session, env_arg, cwd_arg, request)) return nullptr;
  bool pty = false;
  if (!to_bool(pty_arg.object, pty)) return nullptr;
  auto started = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.start(request, pty);
  });
  if (!started) return raise_error(std::string_view(kRunFailed));
  if (started->workdir_error != 0 || started->start_error != 0) {
    return raise_start_error(started->workdir_error, started->start_error, request.workdir);
  }
  OwnedRef result(Py_BuildValue("(Kiiiii)", static_cast<unsigned long long>(started->id),
                                started->input.get(), started->output.get(),
                                started->error ? started->error.get() : -1, started->ended.get(),
                                static_cast<int>(started->pid)));
  if (!result) return nullptr;
  // Python owns the descriptors from here on.
  for (UniqueFd* fd : {&started->input, &started->output, &started->error, &started->ended}) {
    [[maybe_unused]] int released = fd->release();
  }
  return result.release();
}

// The number of a started command.
// A signal number (an int or a signal.Signals) from 1 to 64; false with
// TypeError or ValueError set otherwise.
bool signal_number(PyObject* object, int& number) {
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "sig must be a signal number (int or signal.Signals)");
    return false;
  }
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 1 || value > 64) {
    PyErr_SetString(PyExc_ValueError, "sig must be a signal number from 1 to 64");
    return false;
  }
  number = static_cast<int>(value);
  return true;
}

bool started_id(PyObject* object, std::uint64_t& id) {
  if (PyBool_Check(object) || !PyLong_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "id must be an int");
    return false;
  }
  id = PyLong_AsUnsignedLongLong(object);
  return !PyErr_Occurred();
}

// _started_poll(id): None while it runs, then (returncode, killed_by,
// usage, closed).
PyObject* session_started_poll_impl(SessionData& session, Any id_arg) {
  std::uint64_t id = 0;
  if (!started_id(id_arg.object, id)) return nullptr;
  const auto polled = session.use([&](TerminalSession& s) { return s.poll_started(id); });
  if (!polled) return raise_error(std::string_view(kRunFailed));
  if (!*polled) return none();
  const TerminalSession::RunResult& result = **polled;
  const int status = result.status;
  const long code = WIFEXITED(status)     ? WEXITSTATUS(status)
                    : WIFSIGNALED(status) ? -WTERMSIG(status)
                                          : -1;
  const char* cause = killed_by_text(result.killed_by);
  OwnedRef killed_by(cause != nullptr ? PyUnicode_FromString(cause) : Py_NewRef(Py_None));
  if (!killed_by) return nullptr;
  return Py_BuildValue("(lO{sKsdsK}O)", code, killed_by.get(), "memory_peak",
                       static_cast<unsigned long long>(result.usage.memory_peak), "cpu_seconds",
                       result.usage.cpu_seconds, "oom_kills",
                       static_cast<unsigned long long>(result.usage.oom_kills),
                       result.end == TerminalSession::RunResult::End::kClosed ? Py_True : Py_False);
}

// _started_signal(id, sig, since): sig to the command's process group
// (with since >= 0, seconds since boot, to what of it but its main process
// started since then).
PyObject* session_started_signal_impl(SessionData& session, Any id_arg, Any sig_arg,
                                      Any since_arg) {
  std::uint64_t id = 0;
  if (!started_id(id_arg.object, id)) return nullptr;
  const double since = PyFloat_AsDouble(since_arg.object);
  if (since == -1.0 && PyErr_Occurred()) return nullptr;
  int number = 0;
  if (!signal_number(sig_arg.object, number)) return nullptr;
  const auto sent = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.signal_started(id, number, since);
  });
  if (!sent) return raise_error(std::string_view(kRunFailed));
  return PyBool_FromLong(*sent ? 1 : 0);
}

// _started_kill(id): ends every process of the command.
PyObject* session_started_kill_impl(SessionData& session, Any id_arg) {
  std::uint64_t id = 0;
  if (!started_id(id_arg.object, id)) return nullptr;
  const auto killed = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.kill_started(id);
  });
  if (!killed) return raise_error(std::string_view(kRunFailed));
  return none();
}

// _started_release(id): the command is forgotten once it has ended.
PyObject* session_started_release_impl(SessionData& session, Any id_arg) {
  std::uint64_t id = 0;
  if (!started_id(id_arg.object, id)) return nullptr;
  session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    s.release_started(id);
  });
  return none();
}

// _transfer(mode, path): the helper's own transfer out of the session
// (session_helper/transfer.hpp), bounded by the session's transfer limit.
PyObject* session_transfer_impl(SessionData& session, std::string_view mode,
                                std::string_view path) {
  if ((mode != "send" && mode != "tree") || path.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "mode must be \"send\" or \"tree\", path without NUL");
    return nullptr;
  }
  const std::uint64_t limit = session.session.transfer_limit();
  TerminalSession::RunRequest request;
  request.transfer = {std::string(mode), std::string(path), std::to_string(limit)};
  if (!set_place(session, Any{}, Any{}, request)) return nullptr;  // the shell's, in the home
  request.timeout = std::chrono::seconds(300);
  request.max_output = static_cast<std::size_t>(limit) + 1;
  const auto ran = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.run(request);
  });
  if (!ran || ran->end == TerminalSession::RunResult::End::kClosed) {
    return raise_error(std::string_view(kRunFailed));
  }
  const TerminalSession::RunResult& result = *ran;
  int error = result.workdir_error != 0 ? result.workdir_error : result.start_error;
  std::string message;
  if (error == 0 && result.end == TerminalSession::RunResult::End::kTimedOut) error = ETIMEDOUT;
  if (error == 0 && (result.out.truncated || result.err.truncated)) error = EFBIG;
  if (error == 0 && result.status != 0) {
    const int status = result.status;
    error = WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : EIO;
    message = result.err.data;
    while (!message.empty() && message.back() == '\n') message.pop_back();
  }
  if (error != 0) {
    if (message.empty()) message = std::generic_category().message(error);
    OwnedRef args(Py_BuildValue("(is#s#)", error, message.data(),
                                static_cast<Py_ssize_t>(message.size()), path.data(),
                                static_cast<Py_ssize_t>(path.size())));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
  }
  return to_bytes_object(result.out.data);
}

// write_file, read_file, upload and download are written in Python, on top
// of run(), in the companion module _lumvex_session_files of the same
// wheel: these hand the call over as it is, the session first.
template <const char* kName, const char* kModule>
PyObject* session_files_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    OwnedRef module(PyImport_ImportModule(kModule));
    if (!module) return nullptr;
    OwnedRef function(PyObject_GetAttrString(module.get(), kName));
    if (!function) return nullptr;
    const Py_ssize_t count = PyTuple_Size(args);
    OwnedRef full(PyTuple_New(count + 1));
    if (!full) return nullptr;
    Py_INCREF(self);
    PyTuple_SetItem(full.get(), 0, self);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyTuple_GetItem(args, i);
      Py_INCREF(item);
      PyTuple_SetItem(full.get(), i + 1, item);
    }
    return PyObject_Call(function.get(), full.get(), kwargs);
  });
}

constexpr char kFilesModule[] = "_lumvex_session_files";
constexpr char kCommandsModule[] = "_lumvex_commands";
constexpr char kWriteFileName[] = "write_file";
constexpr char kStartName[] = "start";
constexpr char kShellName[] = "shell";
constexpr char kReadFileName[] = "read_file";
constexpr char kUploadName[] = "upload";
constexpr char kDownloadName[] = "download";

template <const char* kName, const char* kModule = kFilesModule>
PyMethodDef files_method(const char* doc) {
  return {kName,
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)()>(&session_files_method<kName, kModule>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

// send_signal(sig): signals the foreground job of the shell's terminal.
PyObject* session_send_signal_impl(SessionData& session, Any sig) {
  int number = 0;
  if (!signal_number(sig.object, number)) return nullptr;
  const auto sent = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.send_signal(number);
  });
  if (!sent) return raise_error(std::string_view(kWriteFailed));
  return PyBool_FromLong(*sent ? 1 : 0);
}

// snapshot(): a template of the session's home as it is now.
PyObject* session_snapshot_impl(SessionData& session) {
  auto made = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.snapshot();
  });
  if (!made) return raise_error(std::string_view(made.error()));
  return new_template(std::move(*made));
}

// expose(port): a listener on this host's loopback leading to `port` inside.
PyObject* session_expose_impl(SessionData& session, Any port) {
  if (PyBool_Check(port.object) || !PyIndex_Check(port.object)) {
    PyErr_SetString(PyExc_TypeError, "port must be an int");
    return nullptr;
  }
  const long number = PyLong_AsLong(port.object);
  if (number == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
    PyErr_Clear();
  }
  if (number < 1 || number > 65535) {
    PyErr_SetString(PyExc_ValueError, "port must be from 1 to 65535");
    return nullptr;
  }
  const auto exposed = session.use([&](TerminalSession& s) {
    AllowThreads unlocked;
    return s.expose(static_cast<std::uint16_t>(number));
  });
  if (!exposed) return raise_error(std::string_view(kExposeFailed));
  return Py_BuildValue("(sH)", "127.0.0.1", static_cast<unsigned short>(*exposed));
}

// The attributes user, uid and home: what the session is, fixed for its
// life (also after close).
PyObject* session_user_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::string& name = payload<SessionData>(self).session.name();
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* session_uid_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return PyLong_FromUnsignedLong(payload<SessionData>(self).session.uid());
  });
}
PyObject* session_home_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::string& home = payload<SessionData>(self).session.home();
    return PyUnicode_FromStringAndSize(home.data(), static_cast<Py_ssize_t>(home.size()));
  });
}

PyGetSetDef kSessionGetters[] = {
    {"user", &session_user_get, nullptr, "The login name of the session's account.", nullptr},
    {"uid", &session_uid_get, nullptr, "The numeric user id of the session's account.", nullptr},
    {"home", &session_home_get, nullptr, "The session's home directory, as a host path.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
    method<kUsage, &session_usage_impl>(kUsageDoc),
    method<kRun, &session_run_impl>(kRunDoc),
    method<kSendSignal, &session_send_signal_impl>(kSendSignalDoc),
    method<kExpose, &session_expose_impl>(kExposeDoc),
    method<kTransfer, &session_transfer_impl>(kTransferDoc),
    files_method<kWriteFileName>(kWriteFileDoc),
    files_method<kReadFileName>(kReadFileDoc),
    files_method<kUploadName>(kUploadDoc),
    files_method<kDownloadName>(kDownloadDoc),
    method<kSnapshot, &session_snapshot_impl>(kSnapshotDoc),
    files_method<kStartName, kCommandsModule>(kStartDoc),
    files_method<kShellName, kCommandsModule>(kShellDoc),
    method<kStartPrivate, &session_start_impl>(kStartPrivateDoc),
    method<kStartedPoll, &session_started_poll_impl>(nullptr),
    method<kStartedSignal, &session_started_signal_impl>(nullptr),
    method<kStartedKill, &session_started_kill_impl>(nullptr),
    method<kStartedRelease, &session_started_release_impl>(nullptr),
    noargs_method("__enter__", &enter_self, kEnterDoc),
    method<kExit, &session_exit_impl>(kExitDoc),
    kMethodsEnd,
};

PyTypeObject* build_pool_type() {
  PyTypeObject* type = build_class<PoolData>("PyUserPool", kPoolDoc,
                                             {
                                                 constructor_slot<kPoolNew, &pool_new_impl>(),
                                             });
  if (type != nullptr && !add_getters(type, kPoolGetters)) return nullptr;
  return type;
}

PyTypeObject* build_session_type() {
  PyTypeObject* type =
      build_class<SessionData>("PyTerminalSession", kSessionDoc,
                               {
                                   constructor_slot<kSessionNew, &session_new_impl>(),
                                   {Py_tp_methods, kSessionMethods},
                                   {Py_tp_dealloc, reinterpret_cast<void*>(&session_dealloc)},
                               });
  if (type != nullptr && !add_getters(type, kSessionGetters)) return nullptr;
  return type;
}

}  // namespace

namespace {

// After os.fork(), in the child: the parent's sessions are the parent's. The
// child closes its copies of their descriptors (the claims included, so the
// parent's pool can take the accounts back) and neither signals nor gives
// back anything; its session objects then behave as closed ones.
PyObject* disown_sessions_in_child(PyObject*, PyObject*) {
  for (SessionData* data = live_sessions; data != nullptr; data = data->next) {
    data->session.disown();
  }
  return none();
}

PyMethodDef kDisownDef = {"_lumvex_disown_sessions", &disown_sessions_in_child, METH_NOARGS,
                          nullptr};

}  // namespace

bool register_fork_handler() {
  OwnedRef os(PyImport_ImportModule("os"));
  OwnedRef handler(PyCFunction_New(&kDisownDef, nullptr));
  if (!os || !handler) return false;
  OwnedRef register_at_fork(PyObject_GetAttrString(os.get(), "register_at_fork"));
  OwnedRef args(PyTuple_New(0));
  OwnedRef kwargs(PyDict_New());
  if (!register_at_fork || !args || !kwargs ||
      PyDict_SetItemString(kwargs.get(), "after_in_child", handler.get()) < 0) {
    return false;
  }
  OwnedRef result(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
  return static_cast<bool>(result);
}

PyTypeObject* user_pool_type() {
  return built_once<&build_pool_type>();
}

PyTypeObject* terminal_session_type() {
  return built_once<&build_session_type>();
}

}  // namespace lumvex::py
