#include "terminal/arg_parser.hpp"

#include <algorithm>
#include <cstddef>

#include "base/utf8.hpp"

namespace lumvex::args {

namespace {

// The built-in options every command has, after the command's own.
constexpr std::string_view kHelpHelp = "Print help";
constexpr std::string_view kVersionHelp = "Print version";

// "<NAME>" for a required operand, "[NAME]" for an optional one.
std::string operand_display(const ArgDef& arg) {
  std::string out(arg.required ? "<" : "[");
  out.append(arg.value_name.empty() ? arg.id : arg.value_name);
  out.push_back(arg.required ? '>' : ']');
  return out;
}

// "-r, --recursive", "    --long" or "-r".
std::string option_display(char short_name, std::string_view long_name) {
  std::string out;
  if (short_name != '\0') {
    out.push_back('-');
    out.push_back(short_name);
    if (!long_name.empty()) out.append(", ");
  } else {
    out.append("    ");
  }
  if (!long_name.empty()) {
    out.append("--");
    out.append(long_name);
  }
  return out;
}

// A flag's help text, naming the value it sets and its default:
// "... (sets RECURSIVE; default: false)".
std::string flag_help(const ArgDef& arg) {
  std::string out(arg.help);
  if (arg.value_name.empty()) return out;
  out.append(out.empty() ? "(sets " : " (sets ");
  out.append(arg.value_name);
  if (!arg.default_value.empty()) {
    out.append("; default: ");
    out.append(arg.default_value);
  }
  out.push_back(')');
  return out;
}

// Appends one help-page row: two blanks, the left column padded to `width`,
// two blanks and the help text (no trailing blanks when there is none).
void append_row(std::string& out, std::string_view left, std::size_t width, std::string_view help) {
  out.append("  ");
  out.append(left);
  if (!help.empty()) {
    out.append(width - left.size() + 2, ' ');
    out.append(help);
  }
  out.push_back('\n');
}

const ArgDef* find_long(const CommandDef& cmd, std::string_view name) {
  for (const ArgDef& arg : cmd.args) {
    if (arg.kind == ArgKind::Flag && !arg.long_name.empty() && arg.long_name == name) return &arg;
  }
  return nullptr;
}

const ArgDef* find_short(const CommandDef& cmd, char name) {
  for (const ArgDef& arg : cmd.args) {
    if (arg.kind == ArgKind::Flag && arg.short_name != '\0' && arg.short_name == name) return &arg;
  }
  return nullptr;
}

// Gives `operand` to the first positional argument that has no value yet.
bool assign_operand(const CommandDef& cmd, Matches& matches, const std::string& operand) {
  for (const ArgDef& arg : cmd.args) {
    if (arg.kind == ArgKind::Positional && !matches.contains(arg.id)) {
      matches.set(arg.id, operand);
      return true;
    }
  }
  return false;
}

// Handles one "--name" or "--name=value" word.
std::optional<ParseError> parse_long(const CommandDef& cmd, Matches& matches,
                                     std::string_view word) {
  std::string_view body = word.substr(2);
  std::string_view name = body;
  std::optional<std::string_view> value;
  if (const std::size_t eq = body.find('='); eq != std::string_view::npos) {
    name = body.substr(0, eq);
    value = body.substr(eq + 1);
  }
  const bool is_help = name == "help";
  const bool is_version = name == "version";
  const ArgDef* arg = (is_help || is_version) ? nullptr : find_long(cmd, name);
  if (!is_help && !is_version && arg == nullptr) {
    return ParseError::unknown_argument("--" + std::string(name));
  }
  if (value) return ParseError::unexpected_value(std::string(*value), "--" + std::string(name));
  if (is_help) return ParseError::display_help();
  if (is_version) return ParseError::display_version();
  matches.set(arg->id, "true");
  return std::nullopt;
}

// Handles one cluster of short flags such as "-r" or "-rV".
std::optional<ParseError> parse_short_cluster(const CommandDef& cmd, Matches& matches,
                                              std::string_view word) {
  std::size_t i = 1;
  while (i < word.size()) {
    const char c = word[i];
    if (c == '=' && i > 1) {
      return ParseError::unexpected_value(std::string(word.substr(i + 1)),
                                          "-" + std::string(1, word[i - 1]));
    }
    if (c == 'h') return ParseError::display_help();
    if (c == 'V') return ParseError::display_version();
    const ArgDef* arg = find_short(cmd, c);
    if (arg == nullptr) {
      const std::size_t len =
          std::min(utf8_sequence_length(static_cast<unsigned char>(c)), word.size() - i);
      return ParseError::unknown_argument("-" + std::string(word.substr(i, len)));
    }
    matches.set(arg->id, "true");
    ++i;
  }
  return std::nullopt;
}

}  // namespace

std::string CommandDef::usage() const {
  std::string out("Usage: ");
  out.append(name);
  out.append(" [OPTIONS]");  // -h and -V are always there
  for (const ArgDef& arg : args) {
    if (arg.kind != ArgKind::Positional) continue;
    out.push_back(' ');
    out.append(operand_display(arg));
  }
  return out;
}

std::string CommandDef::help() const {
  std::string out;
  if (!about.empty()) {
    out.append(about);
    out.append("\n\n");
  }
  out.append(usage());
  out.push_back('\n');

  std::vector<std::pair<std::string, std::string>> operands;
  std::vector<std::pair<std::string, std::string>> options;
  for (const ArgDef& arg : args) {
    if (arg.kind == ArgKind::Positional) {
      operands.emplace_back(operand_display(arg), arg.help);
    } else {
      options.emplace_back(option_display(arg.short_name, arg.long_name), flag_help(arg));
    }
  }
  options.emplace_back(option_display('h', "help"), kHelpHelp);
  options.emplace_back(option_display('V', "version"), kVersionHelp);

  // One column width across both sections, so the help texts line up.
  std::size_t width = 0;
  for (const auto& row : operands) width = std::max(width, row.first.size());
  for (const auto& row : options) width = std::max(width, row.first.size());

  if (!operands.empty()) {
    out.append("\nArguments:\n");
    for (const auto& [left, text] : operands) append_row(out, left, width, text);
  }
  out.append("\nOptions:\n");
  for (const auto& [left, text] : options) append_row(out, left, width, text);
  return out;
}

std::string CommandDef::version_line() const {
  std::string out(name);
  out.push_back(' ');
  out.append(version);
  out.push_back('\n');
  return out;
}

ParseError ParseError::unknown_argument(std::string argument) {
  ParseError error(ParseErrorKind::UnknownArgument);
  error.message_ = "unexpected argument '" + argument + "' found";
  return error;
}

ParseError ParseError::unexpected_value(std::string value, std::string option) {
  ParseError error(ParseErrorKind::UnexpectedValue);
  error.message_ =
      "unexpected value '" + value + "' for '" + option + "' found; no more were expected";
  return error;
}

ParseError ParseError::missing_required(std::vector<std::string> arguments) {
  ParseError error(ParseErrorKind::MissingRequired);
  error.message_ = "the following required arguments were not provided:";
  for (const std::string& argument : arguments) {
    error.message_.append("\n  ");
    error.message_.append(argument);
  }
  return error;
}

std::string ParseError::render(const CommandDef& cmd) const {
  switch (kind_) {
    case ParseErrorKind::DisplayHelp:
      return cmd.help();
    case ParseErrorKind::DisplayVersion:
      return cmd.version_line();
    default:
      break;
  }
  std::string out("error: ");
  out.append(message_);
  out.append("\n\n");
  out.append(cmd.usage());
  out.append("\n\nFor more information, try '--help'.\n");
  return out;
}

std::optional<bool> Matches::get_flag(std::string_view id) const {
  const std::string* value = get_one(id);
  if (value == nullptr) return std::nullopt;
  if (*value == "true") return true;
  if (*value == "false") return false;
  return std::nullopt;
}

const std::string* Matches::get_one(std::string_view id) const {
  for (const auto& [key, value] : values_) {
    if (key == id) return &value;
  }
  return nullptr;
}

void Matches::set(std::string_view id, std::string value) {
  for (auto& [key, existing] : values_) {
    if (key == id) {
      existing = std::move(value);
      return;
    }
  }
  values_.emplace_back(id, std::move(value));
}

std::expected<Matches, ParseError> parse(const CommandDef& cmd,
                                         std::span<const std::string> words) {
  Matches matches;
  bool options_ended = false;
  for (const std::string& word : words) {
    const bool is_option = !options_ended && word.size() > 1 && word[0] == '-';
    if (!is_option) {
      if (!assign_operand(cmd, matches, word)) {
        return std::unexpected(ParseError::unknown_argument(word));
      }
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    std::optional<ParseError> error =
        word[1] == '-' ? parse_long(cmd, matches, word) : parse_short_cluster(cmd, matches, word);
    if (error) return std::unexpected(std::move(*error));
  }

  std::vector<std::string> missing;
  for (const ArgDef& arg : cmd.args) {
    if (matches.contains(arg.id)) continue;
    if (arg.required) {
      missing.push_back(arg.kind == ArgKind::Positional
                            ? operand_display(arg)
                            : option_display(arg.short_name, arg.long_name));
    } else if (!arg.default_value.empty()) {
      matches.set(arg.id, std::string(arg.default_value));
    }
  }
  if (!missing.empty()) return std::unexpected(ParseError::missing_required(std::move(missing)));
  return matches;
}

}  // namespace lumvex::args
