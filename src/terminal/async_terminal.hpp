// AsyncTerminal: a live terminal fed and read as byte streams. Results carry
// success or failure only; the cause of a failure is not reported, except
// that a wait broken off by a signal says so, so that the caller can run its
// signal handlers and call again.
//
// The calls may block (on a full input pipe, or until output arrives) and
// never touch the Python interpreter.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>

namespace lumvex {

enum class StreamError {
  kFailed,       // closed, or refused by the stream
  kInterrupted,  // a signal arrived while waiting, before anything moved
};

// A byte count, or why nothing could be moved.
using StreamResult = std::expected<std::size_t, StreamError>;

class AsyncTerminal {
 public:
  virtual ~AsyncTerminal() = default;

  // Sends `data` to the terminal's input, blocking while it is full. Gives
  // the number of bytes sent: all of `data`, or fewer when a signal broke
  // off the wait after part of it went (the caller sends the rest).
  virtual StreamResult write(std::string_view data) = 0;
  // One read of at most buffer.size() bytes from the terminal's output (or
  // error stream) into the start of `buffer`. Gives the count, 0 meaning end
  // of stream or an empty buffer.
  virtual StreamResult read_stdout(std::span<char> buffer) = 0;
  virtual StreamResult read_stderr(std::span<char> buffer) = 0;

 protected:
  AsyncTerminal() = default;
  AsyncTerminal(const AsyncTerminal&) = default;
  AsyncTerminal(AsyncTerminal&&) = default;
  AsyncTerminal& operator=(const AsyncTerminal&) = default;
  AsyncTerminal& operator=(AsyncTerminal&&) = default;
};

}  // namespace lumvex
