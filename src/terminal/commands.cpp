// The nine commands. Which argument words each one uses:
//   cd, cat, mkdir, touch  the first (required); the rest are ignored
//   ls                     the first, if any; the rest are ignored
//   pwd, help              none
//   rm                     all, parsed as options and operands (RmArgs)
//   echo                   all
// Error texts follow the wording of the usual UNIX tools. Where a path
// cannot be resolved, cd wraps the resolution's text in its own message; the
// other commands return it bare.
#include "terminal/commands.hpp"

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <utility>

#include "base/utf8.hpp"
#include "error/internal_error.hpp"
#include "fs/file_handle.hpp"
#include "terminal/rm_args.hpp"

namespace lumvex {

namespace {

std::string join(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

CommandResult fail_with(std::initializer_list<std::string_view> parts) {
  return CommandResult::failure(join(parts));
}

// "{cmd}: cannot access '{what}': {error}"
CommandResult cannot_access(std::string_view cmd, std::string_view what, const IoError& error) {
  return fail_with({cmd, ": cannot access '", what, "': ", error.to_string()});
}

// The parent directory and the new entry's name for mkdir and touch. The word
// is split at its last "/" or "\"; without one, the parent is the current
// directory. The parent text before the separator is resolved like any
// command path. When the separator is the first character the parent text is
// empty: a leading "/" then means the root (as "/a" does everywhere else), a
// leading "\" means the current directory, as if there were no separator.
struct CreateTarget {
  InodeId parent;
  std::string_view name;
};

std::expected<CreateTarget, std::string> create_target(const TerminalContext& ctx,
                                                       std::string_view word) {
  const std::size_t sep = word.find_last_of("/\\");
  if (sep == std::string_view::npos) return CreateTarget{ctx.cwd, word};
  const std::string_view name = word.substr(sep + 1);
  if (sep == 0) return CreateTarget{word.front() == '/' ? kRootId : ctx.cwd, name};
  auto parent = ctx.get_target_inode(word.substr(0, sep));
  if (!parent) return std::unexpected(std::move(parent.error()));
  return CreateTarget{*parent, name};
}

// mkdir and touch: create one entry of the kind that `make_kind` builds.
CommandResult create_entry(TerminalContext& ctx, std::span<const std::string> args,
                           std::string_view cmd, std::string_view what, INodeKind (*make_kind)()) {
  if (args.empty()) return fail_with({cmd, ": missing argument"});
  const std::string& word = args.front();

  auto target = create_target(ctx, word);
  if (!target) return CommandResult::failure(std::move(target.error()));

  const std::string parent_id = std::to_string(target->parent);
  IoResult<bool> is_dir = ctx.fs->is_directory_raw(target->parent);
  if (!is_dir) return cannot_access(cmd, parent_id, is_dir.error());
  if (!*is_dir) return fail_with({cmd, ": ", parent_id, ": Not a directory"});

  IoResult<InodeId> created = ctx.fs->create_inode(target->parent, target->name, make_kind());
  if (!created) {
    return fail_with(
        {cmd, ": cannot create ", what, " '", word, "': ", created.error().to_string()});
  }
  return CommandResult::success("");
}

}  // namespace

const CommandTable& command_table() {
  // A function-local static is initialised exactly once, and concurrent first
  // callers wait for that to finish.
  static const CommandTable table = [] {
    CommandTable t;
    t.reserve(9);
    t.emplace("cd", &cmd_cd);
    t.emplace("ls", &cmd_ls);
    t.emplace("pwd", &cmd_pwd);
    t.emplace("cat", &cmd_cat);
    t.emplace("mkdir", &cmd_mkdir);
    t.emplace("touch", &cmd_touch);
    t.emplace("help", &cmd_help);
    t.emplace("rm", &cmd_rm);
    t.emplace("echo", &cmd_echo);
    return t;
  }();
  return table;
}

CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return CommandResult::failure("cd: missing argument");
  const std::string& path = args.front();

  auto id = ctx.get_target_inode(path);
  if (!id) return fail_with({"cd: cannot access '", path, "': ", id.error()});
  IoResult<bool> is_dir = ctx.fs->is_directory_raw(*id);
  if (!is_dir) return cannot_access("cd", path, is_dir.error());
  if (!*is_dir) return fail_with({"cd: ", path, ": Not a directory"});

  ctx.cwd = *id;
  return CommandResult::success("");
}

CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string> args) {
  InodeId target = ctx.cwd;
  if (!args.empty()) {
    auto id = ctx.get_target_inode(args.front());
    if (!id) return CommandResult::failure(std::move(id.error()));
    target = *id;
  }

  // Errors name the directory by its id, with or without an argument.
  const std::string target_id = std::to_string(target);
  IoResult<bool> is_dir = ctx.fs->is_directory_raw(target);
  if (!is_dir) return cannot_access("ls", target_id, is_dir.error());
  if (!*is_dir) return fail_with({"ls: ", target_id, ": Not a directory"});

  IoResult<Listing> listing = ctx.fs->ls_raw(target);
  if (!listing) return cannot_access("ls", target_id, listing.error());

  const auto& [files, dirs] = *listing;
  std::size_t size = 0;
  for (const std::string& name : files) size += name.size() + 1;
  for (const std::string& name : dirs) size += name.size() + 2;
  std::string out;
  out.reserve(size);
  for (const std::string& name : files) {
    out.append(name);
    out.push_back('\n');
  }
  for (const std::string& name : dirs) {
    out.append(name);
    out.append("/\n");
  }
  return CommandResult::success(std::move(out));
}

CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string> /*args*/) {
  IoResult<std::string> path = ctx.fs->get_path_by_inode(ctx.cwd);
  if (!path) return cannot_access("pwd", std::to_string(ctx.cwd), path.error());
  return CommandResult::success(std::move(*path));
}

CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return CommandResult::failure("cat: missing argument");
  const std::string& path = args.front();

  auto id = ctx.get_target_inode(path);
  if (!id) return CommandResult::failure(std::move(id.error()));
  IoResult<bool> is_file = ctx.fs->is_file_raw(*id);
  if (!is_file) return cannot_access("cat", path, is_file.error());
  if (!*is_file) return fail_with({"cat: ", path, ": Is a directory"});

  // The handle holds the file's read lock until it is closed, so no writer
  // can change the file between measuring it and reading it. Every early
  // return below closes it through its destructor.
  IoResult<FileHandle> handle =
      FileSystem::open_raw(ctx.fs, *id, FileHandleType{FileHandleType::READ});
  if (!handle) return cannot_access("cat", path, handle.error());

  if (IoResult<void> r = handle->seek(SeekFrom::End(0)); !r) {
    return cannot_access("cat", path, r.error());
  }
  IoResult<std::size_t> length = handle->tell();
  if (!length) return cannot_access("cat", path, length.error());
  if (IoResult<void> r = handle->seek(SeekFrom::Start(0)); !r) {
    return cannot_access("cat", path, r.error());
  }

  std::string bytes(*length, '\0');
  IoResult<std::size_t> count = handle->read(
      std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  if (!count) return cannot_access("cat", path, count.error());
  // Only the bytes actually read are file contents; never pass on the
  // zero padding of a short read.
  bytes.resize(*count);

  if (IoResult<void> r = handle->close(); !r) return cannot_access("cat", path, r.error());
  return CommandResult::success(utf8_replace_invalid(std::move(bytes)));
}

CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string> args) {
  return create_entry(ctx, args, "mkdir", "directory", [] { return INodeKind{Directory{}}; });
}

CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string> args) {
  return create_entry(ctx, args, "touch", "file", [] { return INodeKind{File{}}; });
}

CommandResult cmd_help(TerminalContext& /*ctx*/, std::span<const std::string> /*args*/) {
  std::string out;
  for (const auto& entry : command_table()) {
    out.append(entry.first);
    out.push_back('\n');
  }
  return CommandResult::success(std::move(out));
}

CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return CommandResult::failure("rm: missing argument");

  // Every word is an option or an operand; none is taken as a program name.
  const args::CommandDef command = RmArgs::command();
  auto matches = args::parse(command, args);
  if (!matches) return fail_with({"rm: ", matches.error().render(command)});

  // The flag has a default and the target is required: a successful parse
  // gives both.
  const std::optional<bool> recursive = matches->get_flag("recursive");
  const std::string* target = matches->get_one("target");
  check_invariant(recursive.has_value() && target != nullptr, "rm's parse gives every argument");
  const RmArgs rm_args{.recursive = *recursive, .target = *target};

  auto id = ctx.get_target_inode(rm_args.target);
  if (!id) return CommandResult::failure(std::move(id.error()));
  if (IoResult<void> removed = ctx.fs->rm_raw(*id, rm_args.recursive); !removed) {
    return fail_with({"rm: cannot remove '", rm_args.target, "': ", removed.error().to_string()});
  }
  return CommandResult::success("");
}

CommandResult cmd_echo(TerminalContext& /*ctx*/, std::span<const std::string> args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.append(args[i]);
  }
  return CommandResult::success(std::move(out));
}

}  // namespace lumvex
