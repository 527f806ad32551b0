// TerminalSession: a live bash shell on the host, run through `su` as an
// account taken from a user pool, with pipes to its standard input, output
// and error. Closing it (explicitly or on destruction) kills `su`, reaps it
// and gives the account back to the pool.
//
// Blocking: make() waits for the pool's mutex, for `id`/`useradd` and for the
// home-directory work; write() blocks while the input pipe is full; the reads
// block until output arrives or the stream ends; close() waits for the killed
// `su` to be reaped and for the pool's mutex. None of them touch the Python
// interpreter, so callers may release its lock around every call. A session
// is not safe for concurrent use: callers serialise its calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "pool/process.hpp"
#include "pool/user_pool.hpp"
#include "terminal/async_terminal.hpp"

namespace lumvex {

class TerminalSession final : public AsyncTerminal {
 public:
  // Parent of every session's home directory.
  static constexpr std::string_view kHomeRoot = "/tmp/tmp_user_home";

  // Takes an account from `pool`, makes a fresh empty home directory
  // <kHomeRoot>/<name> owned by the account (user and group = its uid) and
  // starts `su -s /bin/bash -P -c "cd /; exec /bin/bash" <name>`.
  //
  // Gives an error text when the home path cannot be resolved or its owner
  // cannot be changed. Throws InternalError when the pool is poisoned, no
  // account can be had, a directory cannot be made or cleared, or a host
  // program cannot be started. After a failure past taking the account, the
  // account is not given back to the pool.
  static std::expected<TerminalSession, std::string> make(PoolHandle pool);

  TerminalSession(TerminalSession&& other) noexcept;
  TerminalSession& operator=(TerminalSession&&) = delete;
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  // Closes the session; an InternalError from close() is swallowed here, so
  // callers that must report it call close() themselves first.
  ~TerminalSession() override;

  // Kills `su` (SIGKILL), closes the pipes, reaps the process and gives the
  // account back to the pool. Does nothing on a closed session. The session
  // counts as closed even if this throws: InternalError when the kill cannot
  // be sent (the account is then kept out of the pool) or the pool is
  // poisoned.
  void close();

  // Writes all of `data` to the shell's input, retrying partial and
  // interrupted writes. False when the session is closed or the pipe refuses
  // the data (the shell is gone; no SIGPIPE reaches the process).
  bool write(std::string_view data) override;
  // One read from the shell's output (error) pipe. 0 means end of stream or
  // an empty buffer (which returns at once); nullopt when the session is
  // closed or the read fails or is interrupted.
  std::optional<std::size_t> read_stdout(std::span<char> buffer) override;
  std::optional<std::size_t> read_stderr(std::span<char> buffer) override;

  bool is_open() const { return child_.has_value(); }
  // Process id of `su` while open, -1 once closed.
  pid_t pid() const { return child_ ? child_->pid : -1; }
  // Descriptor of the read end of the shell's output pipe (what read_stdout
  // reads) while open, -1 once closed.
  int stdout_fd() const { return child_ ? child_->stdout_read.get() : -1; }
  std::uint32_t uid() const { return uid_; }
  // Canonical absolute path of the home directory.
  const std::string& home() const { return home_; }

 private:
  TerminalSession(PipedChild child, std::string home, PoolHandle pool, std::uint32_t uid);

  std::optional<std::size_t> read_from(int fd, std::span<char> buffer);

  std::optional<PipedChild> child_;  // absent once closed
  std::string home_;
  PoolHandle pool_;
  std::uint32_t uid_;
};

}  // namespace lumvex
