// TerminalSession: a live bash shell on the host, run through `su` as an
// account taken from a user pool, with pipes to its standard input, output
// and error.
//
// A session stays inside its own walls:
// - its account is claimed host-wide for as long as the session lives (see
//   UserPool), so no other session anywhere runs as that account meanwhile;
// - no process of the account outlives it: creating a session ends whatever
//   an earlier holder of the account left running before the home is made
//   again, and closing it ends every process of the account before the
//   account goes back to the pool;
// - its home is private (mode 0700, owned by the account), prepared without
//   following links, and is the shell's HOME;
// - the shell starts with a small fixed environment, inherits no descriptor
//   but its three pipes, and runs under a cap on the account's processes.
//
// Threads: write, read_stdout, read_stderr and close may be called from any
// threads at once. Each stream serves one call at a time (a second read of
// the same stream waits for the first), but the streams are independent: a
// write goes on while a read waits. close() ends calls waiting on the
// streams (they fail as on a closed session) and returns promptly.
//
// Blocking: make() waits for the pool's mutex, for `id`/`useradd` and for the
// home-directory work; write() blocks while the input pipe is full; the reads
// block until output arrives or the stream ends; close() waits until the
// account's processes have ended (a few seconds at most). None of them touch
// the Python interpreter, so callers may release its lock around every call.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/command_io.hpp"
#include "pool/user_pool.hpp"
#include "sandbox/cgroup.hpp"
#include "sandbox/child_plan.hpp"
#include "sandbox/host_files.hpp"
#include "sandbox/template_layer.hpp"
#include "terminal/async_terminal.hpp"

namespace lumvex {

class TerminalSession final : public AsyncTerminal {
 public:
  // Parent of every session's home directory.
  static constexpr std::string_view kHomeRoot = lumvex::kHomeRoot;
  // Cap on the processes of a session's account (RLIMIT_NPROC).
  static constexpr rlim_t kProcessLimit = 512;
  // How long creating or closing a session waits for the account's
  // processes to end before it gives up.
  static constexpr std::chrono::seconds kEndTimeout{3};

  // Takes an account from `pool`, ends any process of it, makes a fresh
  // empty private home directory <kHomeRoot>/<name> owned by the account
  // (user and group = its uid) and starts
  //   su -s /bin/bash -P -c "export HOME='<home>'; cd /; exec /bin/bash" <name>
  //
  // Gives an error text when the home path cannot be resolved or its owner
  // cannot be changed. Throws InternalError when the pool is poisoned, no
  // account can be had, processes of the account cannot be ended, a
  // directory cannot be made or cleared, or a host program cannot be
  // started. After a failure past taking the account, the account is not
  // given back to the pool.
  //
  // With `layers` (or else the pool's default template), the home is an
  // overlay that starts with the template's files, owned by the account
  // (see sandbox/template_layer.hpp); the pool must have private mounts
  // (an error text otherwise).
  static std::expected<TerminalSession, std::string> make(PoolHandle pool,
                                                          TemplateRef layers = nullptr);

  // A template of the home as it is now: a copy of what the session
  // changed since its template (of the whole home without one), stacked on
  // that template (a template of kMaxTemplateLayers layers gives way to one
  // layer with the whole home). Processes go on meanwhile; a file being written during
  // the copy may be caught part way. An error text on a closed session,
  // a host error when the copy fails.
  std::expected<TemplateRef, std::string> snapshot();

  // Moving is for handing a new session over; neither session may be in use
  // by another thread meanwhile.
  TerminalSession(TerminalSession&& other) noexcept;
  TerminalSession& operator=(TerminalSession&&) = delete;
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // Closes the session; an InternalError from close() is swallowed here, so
  // callers that must report it call close() themselves first.
  ~TerminalSession() override;

  // Ends calls waiting on the streams, ends every process of the account
  // (`su` included, which is reaped), closes the pipes and gives the account
  // back to the pool. Does nothing on a closed session; a close that another
  // thread has begun is waited for. The session counts as closed even if
  // this throws: InternalError when processes of the account cannot be
  // ended in time (the account is then kept out of the pool) or the pool is
  // poisoned.
  void close();

  // Fails (kFailed) on a closed session, when the pipe refuses the data (the
  // shell is gone; no SIGPIPE reaches the process) or when close() ends the
  // wait.
  StreamResult write(std::string_view data) override;
  // Fail (kFailed) on a closed session, on a read error or when close()
  // ends the wait. An empty buffer gives 0 at once.
  StreamResult read_stdout(std::span<char> buffer) override;
  StreamResult read_stderr(std::span<char> buffer) override;

  // For a child of fork(), which holds copies of the parent's sessions:
  // closes the copies of the session's descriptors (its claim included)
  // without ending or signalling anything, and leaves the session closed.
  // Takes no lock (those of the copy may have been held by threads that only
  // the parent has), so nothing else may use the session meanwhile.
  void disown();

  // A command run beside the shell (see run()).
  struct RunRequest {
    std::string command;                   // given to /bin/bash -c
    std::optional<std::string> input;      // its standard input; /dev/null when absent
    std::vector<std::string> environment;  // "NAME=value" entries replacing the shell's
    std::string workdir;                   // absolute, as the session sees it
    std::optional<std::chrono::duration<double>> timeout;
    std::size_t max_output = std::size_t{64} << 20;  // bytes kept of each stream
    // Instead of the command: the helper's own transfer with these
    // arguments (its mode first; session_helper/transfer.hpp).
    std::vector<std::string> transfer;
  };
  // What ended a command that did not end by itself.
  enum class KilledBy {
    kNone,     // it exited by itself, whatever its status
    kTimeout,  // the timeout passed and it was ended (end is kTimedOut)
    kOom,      // the kernel ended it for want of memory: its main process ended by
               // SIGKILL (or, as a shell reports a child so ended, with status 137)
               // and its leaf counted an OOM kill
    kSignal,   // a signal ended its main process, not for want of memory
    kClose,    // close() ended it (end is kClosed)
  };
  struct RunResult {
    enum class End { kExited, kTimedOut, kClosed };
    End end = End::kExited;
    int status = -1;  // raw wait status, when it exited
    Captured out, err;
    KilledBy killed_by = KilledBy::kNone;
    // Its leaf's figures, read after it ended and before the leaf goes
    // (zeros without control groups).
    LeafUsage usage;
    int workdir_error = 0;  // the errno of a working directory it could not enter
    int start_error = 0;    // the errno of a start that failed otherwise (a full process cap)
  };

  // Runs `request.command` with /bin/bash -c as the session's account inside
  // the session's walls (its control groups, a leaf of its own; its
  // namespaces; its process cap), in a session of its own with three pipes:
  // nothing of it goes through the shell's terminal. Waits until both
  // output streams end and the command exits, or until the timeout passes:
  // then every process the command started is ended (the shell's are not).
  // Several runs may go on at once, from any threads. When close() ends the
  // wait, the command's processes are ended and the result's end is
  // kClosed. Fails (kFailed) on a closed session or when the wait fails.
  // Throws InternalError when it cannot be started.
  //
  // An ending is a timeout only when the command was still going at the
  // deadline: a main process that the OOM killer ended first is kOom, also
  // when something it left holds the streams open until the deadline.
  std::expected<RunResult, StreamError> run(const RunRequest& request);

  // A command started beside the shell and left running (see start()).
  struct Started {
    std::uint64_t id = 0;  // names it to the calls below
    // The parent's ends of its standard streams, blocking. With a terminal,
    // `output` is the terminal's master, `input` a second descriptor of it
    // and `error` empty.
    UniqueFd input, output, error;
    // A process descriptor that becomes readable once the command's main
    // process has ended.
    UniqueFd ended;
    pid_t pid = -1;         // its main process, as this process sees it
    int workdir_error = 0;  // as in RunResult: it did not start
    int start_error = 0;
  };

  // Starts `request.command` as run() does (walls, leaf, session of its
  // own; `input`, `timeout` and `max_output` are not used) and leaves it
  // running; with `terminal`, its three streams are one new pseudo-terminal,
  // which is its controlling terminal. Several may run at once. close() ends
  // them all. Fails (kFailed) on a closed session; throws InternalError when
  // it cannot be started.
  std::expected<Started, StreamError> start(const RunRequest& request, bool terminal);

  // The ending of started command `id`, collected once it has ended
  // (nullopt while it runs; the same result on every later call). Its end
  // is kClosed when close() ended it. Fails (kFailed) for an unknown id.
  std::expected<std::optional<RunResult>, StreamError> poll_started(std::uint64_t id);

  // Sends `signal`, as the account, to the process group of started
  // command `id`; with `since` >= 0 (seconds since boot), only to the
  // members other than its main process that started at or after it (what
  // a shell runs for its current command, not the jobs it left in the
  // background). Gives whether anything was signalled; false once it has
  // ended. Fails (kFailed) for an unknown id or a closed session.
  std::expected<bool, StreamError> signal_started(std::uint64_t id, int signal, double since);

  // Ends every process of started command `id`, detached ones included
  // (its leaf; its process group without control groups). Fails (kFailed)
  // for an unknown id or a closed session.
  std::expected<void, StreamError> kill_started(std::uint64_t id);

  // Forgets started command `id` (its leaf goes if nothing of it is left);
  // one still running runs on, and the first start() after it has ended
  // collects it.
  void release_started(std::uint64_t id);

  // Sends `signal` to the foreground job of the shell's terminal (what
  // Ctrl-C there would reach), as the session's account. Fails (kFailed) on
  // a closed session or when the shell is gone; gives false when no
  // process was there to receive it.
  std::expected<bool, StreamError> send_signal(int signal);

  // Makes `port` of the session's loopback reachable from this process's
  // side: gives the port of a new listener on this process's 127.0.0.1
  // whose every connection is joined to a new connection to `port` inside
  // the session (by the helper's relay, session_helper/relay.hpp, run as
  // the account in the session's walls). Works in every network mode; the
  // listener and everything of it end with the session. Fails (kFailed) on
  // a closed session. Throws InternalError when the relay cannot be
  // started.
  std::expected<std::uint16_t, StreamError> expose(std::uint16_t port);

  // The most a transfer out of the session brings back: what its store may
  // hold (the `disk` wall), or the default store's size without one.
  std::uint64_t transfer_limit() const;

  // The shell's environment, as a command starts with it.
  std::vector<std::string> environment() const;

  bool is_open() const;
  // Process id of the session's first process while open (its helper,
  // `su`'s parent, whose end ends the session), -1 once closed.
  pid_t pid() const;
  // Descriptor of the output pipe while open (for waiting on it with
  // select/poll; the session does the reading), -1 once closed.
  int stdout_fd() const;
  std::uint32_t uid() const;
  // The account's login name.
  const std::string& name() const;
  // Figures of the session's control groups: now while open, the final ones
  // once closed (zeros without control groups).
  SessionUsage usage() const;
  // Canonical absolute path of the home directory.
  const std::string& home() const;

 private:
  struct State;
  struct Channel;
  struct StartedEntry;
  class SessionCall;
  class StreamCall;

  explicit TerminalSession(std::unique_ptr<State> state);

  // `allowed` holds the addresses of the allow-list's host names, by entry.
  static std::expected<TerminalSession, std::string> make_with(
      const PoolHandle& pool, ClaimedAccount account, const TemplateRef& layers,
      const std::vector<std::vector<std::string>>& allowed);
  // Ends every process of the session (see close()), and gives the final
  // figures of its control groups; throws InternalError.
  static void end_processes(State& state, Channel& channel, std::vector<UniqueFd>& helper_children,
                            std::optional<SessionUsage>& final_usage);

  StreamResult read_from(int stream, std::span<char> buffer);

  // The plan of a command of `request` in leaf `leaf` (see run()); `wake`
  // is the helper's process descriptor, through which it enters the
  // session's namespaces.
  static void command_plan(State& state, const RunRequest& request, int wake,
                           const std::string& leaf, ChildPlan& plan, CgroupJoin& join);

  std::unique_ptr<State> state_;  // null only in a moved-from session
};

}  // namespace lumvex
