#include "terminal/terminal.hpp"

#include <string>
#include <vector>

#include "terminal/commands.hpp"
#include "terminal/word_split.hpp"

namespace lumvex {

std::expected<InodeId, std::string> TerminalContext::get_target_inode(std::string_view path) const {
  InodeId start = cwd;
  std::string_view name = path;
  if (!name.empty() && name.front() == '/') {
    name.remove_prefix(1);
    start = kRootId;
  }
  IoResult<InodeId> found = fs->find_inode_by_name(start, name);
  if (!found) {
    std::string text(name);
    text.append(": ");
    text.append(found.error().to_string());
    return std::unexpected(std::move(text));
  }
  return *found;
}

CommandResult SimpleTerminal::run(std::string_view line) {
  auto words = split_words(line);
  if (!words) return CommandResult::failure("The command was not correctly formatted");
  if (words->empty()) return CommandResult::success("");

  const CommandTable& table = command_table();
  const std::string& name = words->front();
  const auto entry = table.find(name);
  if (entry == table.end()) return CommandResult::failure(name + ": command not found");
  return entry->second(ctx_, std::span<const std::string>(*words).subspan(1));
}

}  // namespace lumvex
