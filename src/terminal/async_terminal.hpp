// AsyncTerminal: a live terminal fed and read as byte streams. Results carry
// success or failure only; the cause of a failure is not reported.
//
// All three calls may block (on a full input pipe, or until output arrives),
// never touch the Python interpreter, and need exclusive use of the terminal
// for their duration: callers serialise them (e.g. with a mutex of their own).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace lumvex {

class AsyncTerminal {
 public:
  virtual ~AsyncTerminal() = default;

  // Sends all of `data` to the terminal's input. Returns false on failure.
  virtual bool write(std::string_view data) = 0;
  // One read of at most buffer.size() bytes from the terminal's output (or
  // error stream) into the start of `buffer`. Returns the count, 0 meaning end
  // of stream or an empty buffer; std::nullopt on failure.
  virtual std::optional<std::size_t> read_stdout(std::span<char> buffer) = 0;
  virtual std::optional<std::size_t> read_stderr(std::span<char> buffer) = 0;

 protected:
  AsyncTerminal() = default;
  AsyncTerminal(const AsyncTerminal&) = default;
  AsyncTerminal(AsyncTerminal&&) = default;
  AsyncTerminal& operator=(const AsyncTerminal&) = default;
  AsyncTerminal& operator=(AsyncTerminal&&) = default;
};

}  // namespace lumvex
