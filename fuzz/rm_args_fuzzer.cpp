// Fuzzes rm's argument parsing. The input is a list of words separated by NUL
// bytes. Each list is parsed against rm's definition and checked against a
// small decision procedure for the accepted syntax; then the same words run
// through the rm command itself on a small filesystem.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/filesystem.hpp"
#include "terminal/arg_parser.hpp"
#include "terminal/commands.hpp"
#include "terminal/rm_args.hpp"
#include "terminal/terminal.hpp"
#include "utf8_reference.hpp"

namespace {

using lumvex::args::ParseErrorKind;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "rm_args_fuzzer: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// What the parse should come to, and the word or option an error names.
struct Expected {
  std::optional<ParseErrorKind> error;
  std::string culprit;
  bool recursive = false;
  std::string target;
};

Expected rejected(ParseErrorKind kind, std::string culprit) {
  Expected out;
  out.error = kind;
  out.culprit = std::move(culprit);
  return out;
}

// Options and operands in any order; "--" ends the options; a word of one
// byte, or one not starting with '-', is an operand; rm takes exactly one.
Expected decide(const std::vector<std::string>& words) {
  Expected out;
  bool options_ended = false;
  bool have_target = false;
  for (const std::string& w : words) {
    if (options_ended || w.size() < 2 || w[0] != '-') {
      if (have_target) return rejected(ParseErrorKind::UnknownArgument, w);
      out.target = w;
      have_target = true;
    } else if (w == "--") {
      options_ended = true;
    } else if (w[1] == '-') {
      const std::string body = w.substr(2);
      const std::size_t eq = body.find('=');
      const std::string name = body.substr(0, eq);
      if (name != "help" && name != "version" && name != "recursive")
        return rejected(ParseErrorKind::UnknownArgument, "--" + name);
      if (eq != std::string::npos) return rejected(ParseErrorKind::UnexpectedValue, "--" + name);
      if (name == "help") return rejected(ParseErrorKind::DisplayHelp, "");
      if (name == "version") return rejected(ParseErrorKind::DisplayVersion, "");
      out.recursive = true;
    } else {
      for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i] == '=' && i > 1)
          return rejected(ParseErrorKind::UnexpectedValue, std::string("-") + w[i - 1]);
        if (w[i] == 'h') return rejected(ParseErrorKind::DisplayHelp, "");
        if (w[i] == 'V') return rejected(ParseErrorKind::DisplayVersion, "");
        if (w[i] != 'r')
          return rejected(ParseErrorKind::UnknownArgument, "-" + std::string(1, w[i]));
        out.recursive = true;
      }
    }
  }
  if (!have_target) return rejected(ParseErrorKind::MissingRequired, "<TARGET>");
  return out;
}

std::vector<std::string> split_at_nul(std::string_view input) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (words.size() < 16) {
    const std::size_t end = input.find('\0', start);
    words.emplace_back(input.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words = split_at_nul(input);
  if (size == 0) words.clear();

  const lumvex::args::CommandDef command = lumvex::RmArgs::command();
  const auto matches = lumvex::args::parse(command, words);
  const Expected expected = decide(words);

  bool words_valid = true;
  for (const std::string& w : words)
    words_valid = words_valid && lumvex::fuzz::reference_is_valid(w);

  if (matches) {
    check(!expected.error, "accepted words the syntax rejects");
    // As rm reads them: the flag always has a value, the target is the operand.
    const std::optional<bool> recursive = matches->get_flag("recursive");
    const std::string* target = matches->get_one("target");
    check(recursive.has_value() && *recursive == expected.recursive, "wrong recursive value");
    check(target != nullptr && *target == expected.target, "wrong target");
  } else {
    const auto& error = matches.error();
    check(expected.error.has_value() && error.kind() == *expected.error, "wrong error kind");
    const std::string text = error.render(command);
    check(ends_with(text, "\n"), "rendered text does not end in a newline");
    switch (error.kind()) {
      case ParseErrorKind::DisplayHelp:
        check(text == command.help(), "help request renders something else");
        check(contains(text, "RECURSIVE") && contains(text, "<TARGET>") &&
                  contains(text, "Remove a file or a directory (potentially recursive)"),
              "help page lacks a value name or the about text");
        break;
      case ParseErrorKind::DisplayVersion:
        check(text == "lumvex 0.1.2\n", "wrong version line");
        break;
      default:
        check(text.starts_with("error: "), "error text does not start with error:");
        check(contains(text, "Usage: lumvex [OPTIONS] <TARGET>"), "error text lacks the usage");
        // An unknown short option may be a multi-byte character; the text
        // names at least its first byte.
        check(contains(text, expected.culprit), "error text does not name the culprit");
        break;
    }
    // The text reaches Python as str: it must stay valid UTF-8.
    if (words_valid) check(lumvex::fuzz::reference_is_valid(text), "rendering broke UTF-8");
  }

  // The rm command on a small tree: f, d/x, e/.
  auto fs = lumvex::FileSystem::make();
  check(fs->touch("f").has_value() && fs->mkdir("d").has_value() && fs->touch("d/x").has_value() &&
            fs->mkdir("e").has_value(),
        "cannot build the tree");
  lumvex::TerminalContext ctx(fs);
  const std::size_t before = fs->inode_count();
  const auto id = ctx.get_target_inode(expected.target);
  const lumvex::CommandResult result = lumvex::cmd_rm(ctx, words);
  if (words.empty()) {
    check(result == lumvex::CommandResult::failure("rm: missing argument"), "rm without words");
  } else if (!matches) {
    check(result == lumvex::CommandResult::failure("rm: " + matches.error().render(command)),
          "rm does not pass the parser's text on");
  } else if (!id) {
    check(result == lumvex::CommandResult::failure(id.error()), "rm of an unresolvable target");
  } else if (result.ok()) {
    check(result.text().empty() && (fs->inode_count() < before || *id == lumvex::kRootId),
          "rm succeeded without removing anything");
  } else {
    check(result.text().starts_with("rm: cannot remove '" + expected.target + "': "),
          "rm failure without its text");
    check(fs->inode_count() == before || expected.recursive, "a failed rm removed something");
  }
  if (words_valid) check(lumvex::fuzz::reference_is_valid(result.text()), "rm output broke UTF-8");
  return 0;
}
