// The terminal's nine commands and the table that dispatches to them.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "terminal/terminal.hpp"

namespace lumvex {

using CommandTable = std::unordered_map<std::string_view, CommandHandler>;

// The process-wide command table: built completely on first use (safe
// against concurrent first use) and never changed afterwards, so every later
// use reads it without locking.
const CommandTable& command_table();

// Each takes the words after the command name; see the table in
// commands.cpp for which words each one uses.
CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_help(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_echo(TerminalContext& ctx, std::span<const std::string> args);

}  // namespace lumvex
