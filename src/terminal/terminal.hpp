// The simple terminal: interprets one command line at a time against an
// in-memory FileSystem, keeping a current directory between lines.
#pragma once

#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "fs/filesystem.hpp"

namespace lumvex {

// What a command line gives back: success with the output text, or failure
// with an error text. The terminal adds no newline to either.
class CommandResult {
 public:
  static CommandResult success(std::string text) { return CommandResult(true, std::move(text)); }
  static CommandResult failure(std::string text) { return CommandResult(false, std::move(text)); }

  bool ok() const { return ok_; }
  // The output text on success, the error text on failure.
  const std::string& text() const& { return text_; }
  std::string text() && { return std::move(text_); }

  friend bool operator==(const CommandResult&, const CommandResult&) = default;

 private:
  CommandResult(bool ok, std::string text) : ok_(ok), text_(std::move(text)) {}

  bool ok_;
  std::string text_;
};

// The state a command works on.
struct TerminalContext {
  explicit TerminalContext(std::shared_ptr<FileSystem> filesystem, InodeId start = kRootId)
      : fs(std::move(filesystem)), cwd(start) {}

  // Resolves one path argument: a single name relative to `cwd`, or, after
  // one leading "/", relative to the root ("." and ".." and the empty name
  // included; any further "/" is part of the name). On failure the text is
  // "{path}: {error}" with the leading "/" removed from the path.
  std::expected<InodeId, std::string> get_target_inode(std::string_view path) const;

  // Co-owned: the filesystem lives at least as long as the terminal.
  std::shared_ptr<FileSystem> fs;
  // The current directory. Only an id: nothing pins the inode.
  InodeId cwd;
};

// A command: takes the context (only `cd` changes it) and the words after the
// command name. Handlers keep no state and may run on any thread.
using CommandHandler = CommandResult (*)(TerminalContext& ctx, std::span<const std::string> args);

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Runs one command line. Needs exclusive use of the terminal for the call.
  virtual CommandResult run(std::string_view line) = 0;

 protected:
  Terminal() = default;
  Terminal(const Terminal&) = default;
  Terminal(Terminal&&) = default;
  Terminal& operator=(const Terminal&) = default;
  Terminal& operator=(Terminal&&) = default;
};

// Not internally synchronised: callers serialise run() on one terminal.
class SimpleTerminal final : public Terminal {
 public:
  // A terminal on `fs`, starting in the root directory.
  explicit SimpleTerminal(std::shared_ptr<FileSystem> fs) : ctx_(std::move(fs)) {}

  CommandResult run(std::string_view line) override;

  const TerminalContext& context() const { return ctx_; }
  InodeId cwd() const { return ctx_.cwd; }

 private:
  TerminalContext ctx_;
};

}  // namespace lumvex
