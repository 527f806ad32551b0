// A small declarative command-line argument parser: a command is described
// by a CommandDef (name, version, about text and its arguments), and parse()
// matches a list of words against it. Flags have a short and/or a long form;
// positional operands take one word each, in order. Every command gets the
// options -h/--help and -V/--version; asking for them comes back as a
// ParseError of kind DisplayHelp/DisplayVersion whose rendering is the help
// page or the version line.
//
// Syntax accepted: options and operands in any order; short flags may be
// clustered ("-rV"); "--" ends the options (every later word is an operand);
// a lone "-" is an operand; a repeated flag is the same as a single one.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumvex::args {

enum class ArgKind { Flag, Positional };

struct ArgDef {
  std::string_view id;
  ArgKind kind = ArgKind::Flag;
  char short_name = '\0';       // flags: '\0' for none
  std::string_view long_name;   // flags: "" for none
  std::string_view value_name;  // shown for arguments that take a value
  std::string_view help;        // one line on the help page; may be empty
  std::string_view default_value;
  bool required = false;
};

struct CommandDef {
  std::string_view name;
  std::string_view version;
  std::string_view about;
  std::span<const ArgDef> args;

  // "Usage: NAME [OPTIONS] <REQUIRED> [OPTIONAL]"
  std::string usage() const;
  // About text, usage, Arguments and Options sections; ends in a newline.
  std::string help() const;
  // "NAME VERSION\n"
  std::string version_line() const;
};

enum class ParseErrorKind {
  UnknownArgument,  // an option not defined, or an operand too many
  UnexpectedValue,  // "--flag=value" or "-f=value" for a flag
  MissingRequired,  // a required argument not given
  DisplayHelp,      // -h or --help
  DisplayVersion,   // -V or --version
};

class ParseError {
 public:
  static ParseError unknown_argument(std::string argument);
  static ParseError unexpected_value(std::string value, std::string option);
  // The arguments as they appear in the usage line, e.g. "<TARGET>".
  static ParseError missing_required(std::vector<std::string> arguments);
  static ParseError display_help() { return ParseError(ParseErrorKind::DisplayHelp); }
  static ParseError display_version() { return ParseError(ParseErrorKind::DisplayVersion); }

  ParseErrorKind kind() const { return kind_; }

  // The full text for `cmd`: an error with the usage line and a hint to try
  // --help, or the help page, or the version line. Always ends in a newline.
  std::string render(const CommandDef& cmd) const;

 private:
  explicit ParseError(ParseErrorKind kind) : kind_(kind) {}

  ParseErrorKind kind_;
  std::string message_;  // the error's own sentence, without "error: "
};

// The values found by parse(), defaults included.
class Matches {
 public:
  // A flag's value: its default text ("true"/"false") when not given; absent
  // when the argument has no value at all or it is not a boolean.
  std::optional<bool> get_flag(std::string_view id) const;
  // An argument's value text, or nullptr when there is none.
  const std::string* get_one(std::string_view id) const;

  void set(std::string_view id, std::string value);
  bool contains(std::string_view id) const { return get_one(id) != nullptr; }

 private:
  std::vector<std::pair<std::string_view, std::string>> values_;
};

// Matches `words` (the arguments only, no program name) against `cmd`.
std::expected<Matches, ParseError> parse(const CommandDef& cmd, std::span<const std::string> words);

}  // namespace lumvex::args
