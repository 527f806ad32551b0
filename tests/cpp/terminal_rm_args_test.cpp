#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/arg_parser.hpp"
#include "terminal/rm_args.hpp"

namespace lumvex {
namespace {

using args::ParseErrorKind;

const std::string kUsageTail =
    "\n\nUsage: lumvex [OPTIONS] <TARGET>\n\nFor more information, try '--help'.\n";

const std::string kHelp =
    "Remove a file or a directory (potentially recursive)\n"
    "\n"
    "Usage: lumvex [OPTIONS] <TARGET>\n"
    "\n"
    "Arguments:\n"
    "  <TARGET>         The file or directory to remove\n"
    "\n"
    "Options:\n"
    "  -r, --recursive  Remove directories and their contents (sets RECURSIVE; default: false)\n"
    "  -h, --help       Print help\n"
    "  -V, --version    Print version\n";

struct ParseOk {
  const char* label;
  std::vector<std::string> words;
  bool recursive;
  std::string target;
};

class RmArgsAccepts : public ::testing::TestWithParam<ParseOk> {};

TEST_P(RmArgsAccepts, Parses) {
  const ParseOk& c = GetParam();
  auto m = args::parse(RmArgs::command(), c.words);
  ASSERT_TRUE(m.has_value()) << m.error().render(RmArgs::command());
  EXPECT_EQ(m->get_flag("recursive"), c.recursive);
  ASSERT_NE(m->get_one("target"), nullptr);
  EXPECT_EQ(*m->get_one("target"), c.target);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RmArgsAccepts,
    ::testing::Values(ParseOk{"plain", {"f"}, false, "f"},
                      ParseOk{"short_flag", {"-r", "d"}, true, "d"},
                      ParseOk{"long_flag", {"--recursive", "d"}, true, "d"},
                      ParseOk{"flag_after_operand", {"d", "-r"}, true, "d"},
                      ParseOk{"repeated_flag", {"-r", "d", "--recursive", "-rr"}, true, "d"},
                      ParseOk{"dash_dash_ends_options", {"--", "-r"}, false, "-r"},
                      ParseOk{"flag_then_dash_dash", {"-r", "--", "--help"}, true, "--help"},
                      ParseOk{"lone_dash_is_operand", {"-"}, false, "-"},
                      ParseOk{"empty_operand", {""}, false, ""},
                      ParseOk{"slash_operand", {"/a"}, false, "/a"}),
    [](const ::testing::TestParamInfo<ParseOk>& info) { return std::string(info.param.label); });

struct ParseFail {
  const char* label;
  std::vector<std::string> words;
  ParseErrorKind kind;
  std::string rendered;
};

class RmArgsRejects : public ::testing::TestWithParam<ParseFail> {};

TEST_P(RmArgsRejects, RendersError) {
  const ParseFail& c = GetParam();
  auto m = args::parse(RmArgs::command(), c.words);
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error().kind(), c.kind);
  EXPECT_EQ(m.error().render(RmArgs::command()), c.rendered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RmArgsRejects,
    ::testing::Values(
        ParseFail{"unknown_short",
                  {"-x", "f"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '-x' found" + kUsageTail},
        ParseFail{"unknown_in_cluster",
                  {"-rx", "f"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '-x' found" + kUsageTail},
        ParseFail{"unknown_multibyte_short",
                  {"-\xC3\xA9"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '-\xC3\xA9' found" + kUsageTail},
        ParseFail{"unknown_long",
                  {"f", "--force"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '--force' found" + kUsageTail},
        ParseFail{"unknown_long_with_value",
                  {"--force=yes"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '--force' found" + kUsageTail},
        ParseFail{"second_operand",
                  {"f", "g"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument 'g' found" + kUsageTail},
        ParseFail{"second_operand_after_dash_dash",
                  {"f", "--", "g"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument 'g' found" + kUsageTail},
        ParseFail{
            "missing_operand",
            {"-r"},
            ParseErrorKind::MissingRequired,
            "error: the following required arguments were not provided:\n  <TARGET>" + kUsageTail},
        ParseFail{
            "missing_operand_after_dash_dash",
            {"--"},
            ParseErrorKind::MissingRequired,
            "error: the following required arguments were not provided:\n  <TARGET>" + kUsageTail},
        ParseFail{"value_for_long_flag",
                  {"--recursive=yes", "d"},
                  ParseErrorKind::UnexpectedValue,
                  "error: unexpected value 'yes' for '--recursive' found; no more were expected" +
                      kUsageTail},
        ParseFail{"value_for_short_flag",
                  {"-r=1", "d"},
                  ParseErrorKind::UnexpectedValue,
                  "error: unexpected value '1' for '-r' found; no more were expected" + kUsageTail},
        ParseFail{"help_short", {"-h"}, ParseErrorKind::DisplayHelp, kHelp},
        ParseFail{"help_long_wins_over_missing", {"--help"}, ParseErrorKind::DisplayHelp, kHelp},
        ParseFail{"help_in_cluster", {"f", "-rh"}, ParseErrorKind::DisplayHelp, kHelp},
        ParseFail{"version_short", {"-V"}, ParseErrorKind::DisplayVersion, "lumvex 0.1.2\n"},
        ParseFail{
            "version_long", {"d", "--version"}, ParseErrorKind::DisplayVersion, "lumvex 0.1.2\n"},
        // The first problem in word order decides.
        ParseFail{"error_before_help",
                  {"-x", "-h"},
                  ParseErrorKind::UnknownArgument,
                  "error: unexpected argument '-x' found" + kUsageTail},
        ParseFail{"help_before_error", {"-h", "-x"}, ParseErrorKind::DisplayHelp, kHelp}),
    [](const ::testing::TestParamInfo<ParseFail>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lumvex
