#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"
#include "terminal/commands.hpp"
#include "terminal/rm_args.hpp"
#include "terminal/terminal.hpp"

namespace lumvex {

void PrintTo(const CommandResult& result, std::ostream* os) {
  *os << (result.ok() ? "success(" : "failure(") << ::testing::PrintToString(result.text()) << ")";
}

namespace {

const std::string kNotFound = "Inode not found";
const std::string kFormat = "The command was not correctly formatted";
const std::string kRmUsageTail =
    "\n\nUsage: lumvex [OPTIONS] <TARGET>\n\nFor more information, try '--help'.\n";

// One line of a script and what it must give back.
struct Step {
  std::string line;
  bool ok;
  std::string text;
};

struct Script {
  const char* label;
  std::vector<Step> steps;
};

Step ok(std::string line, std::string text = "") {
  return {std::move(line), true, std::move(text)};
}
Step err(std::string line, std::string text) {
  return {std::move(line), false, std::move(text)};
}

class TerminalScript : public ::testing::TestWithParam<Script> {};

// Runs every step on one fresh terminal over a fresh filesystem.
TEST_P(TerminalScript, GivesExpectedResults) {
  SimpleTerminal term(FileSystem::make());
  for (const Step& step : GetParam().steps) {
    const CommandResult result = term.run(step.line);
    EXPECT_EQ(result.ok(), step.ok) << "line: " << step.line << "\ntext: " << result.text();
    EXPECT_EQ(result.text(), step.text) << "line: " << step.line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, TerminalScript,
    ::testing::Values(
        Script{"empty_lines", {ok(""), ok(" \t\n "), ok("# only a comment"), ok("  # x 'y")}},
        Script{"echo",
               {ok("echo 'a  b' c", "a  b c"), ok("echo"), ok("echo a # b", "a"),
                ok("echo '' x", " x"), ok("echo \"$HOME\" \\#", "$HOME #")}},
        Script{"bad_format",
               {err("echo 'abc", kFormat), err("echo \"abc", kFormat), err("echo a\\", kFormat),
                err("nosuch 'x", kFormat)}},
        Script{"command_not_found",
               {err("frobnicate x", "frobnicate: command not found"),
                err("LS", "LS: command not found"), err("'' x", ": command not found")}},
        Script{"pwd", {ok("pwd", "/"), ok("pwd a b", "/")}}));

// The name is looked up after quote removal and joining.
TEST(TerminalDispatch, QuotedCommandNameIsLookedUpUnquoted) {
  SimpleTerminal term(FileSystem::make());
  EXPECT_EQ(term.run("'l's"), CommandResult::success(""));
  EXPECT_EQ(term.run("\"pw\"d"), CommandResult::success("/"));
}

INSTANTIATE_TEST_SUITE_P(
    Navigation, TerminalScript,
    ::testing::Values(
        Script{"cd_basics",
               {err("cd", "cd: missing argument"), ok("mkdir a"), ok("mkdir b"), ok("cd a b"),
                ok("pwd", "/a"), ok("cd ."), ok("cd ''"), ok("pwd", "/a"), ok("cd .."),
                ok("pwd", "/"), ok("cd .."), ok("pwd", "/"), ok("cd a"), ok("cd /"), ok("pwd", "/"),
                ok("cd /a"), ok("pwd", "/a")}},
        Script{
            "cd_errors",
            {err("cd nope", "cd: cannot access 'nope': nope: " + kNotFound),
             err("cd /nope", "cd: cannot access '/nope': nope: " + kNotFound), ok("touch f"),
             err("cd f", "cd: f: Not a directory"), ok("pwd", "/"), ok("mkdir a"), ok("mkdir a/b"),
             err("cd /a/b", "cd: cannot access '/a/b': a/b: " + kNotFound), ok("pwd", "/")}},
        Script{"ls",
               {ok("ls"), ok("touch b"), ok("touch a"), ok("mkdir d"), ok("ls", "b\na\nd/\n"),
                ok("ls d"), ok("ls .", "b\na\nd/\n"), ok("cd d"), ok("ls ..", "b\na\nd/\n"),
                ok("ls /", "b\na\nd/\n"), ok("ls", ""), err("ls nope", "nope: " + kNotFound),
                err("ls /nope", "nope: " + kNotFound)}},
        Script{"cat_basics",
               {err("cat", "cat: missing argument"), ok("mkdir d"),
                err("cat d", "cat: d: Is a directory"), err("cat /", "cat: /: Is a directory"),
                err("cat nope", "nope: " + kNotFound), err("cat /nope", "nope: " + kNotFound),
                ok("touch f"), ok("cat f"), ok("cd d"), err("cat ../f", "../f: " + kNotFound),
                ok("cat /f")}}),
    [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Creation, TerminalScript,
    ::testing::Values(
        Script{"mkdir_basics",
               {err("mkdir", "mkdir: missing argument"), ok("mkdir a b"), ok("ls", "a/\n"),
                err("mkdir a", "mkdir: cannot create directory 'a': Resource already exists"),
                err("touch a", "touch: cannot create file 'a': Resource already exists"),
                ok("mkdir a/b"), ok("ls a", "b/\n"), err("mkdir a/b/c", "a/b: " + kNotFound),
                ok("mkdir 'a\\c'"), ok("ls a", "b/\nc/\n"),
                err("mkdir a/", "mkdir: cannot create directory 'a/': Resource already exists"),
                err("mkdir x/", "x: " + kNotFound), err("mkdir /nope/x", "nope: " + kNotFound)}},
        Script{
            "mkdir_bad_names",
            {err("mkdir ''", "mkdir: cannot create directory '': Resource already exists"),
             err("mkdir .", "mkdir: cannot create directory '.': Resource already exists"),
             err("mkdir ..", "mkdir: cannot create directory '..': Resource already exists"),
             err("mkdir /", "mkdir: cannot create directory '/': Resource already exists"),
             err("touch ''", "touch: cannot create file '': Resource already exists"), ok("ls")}},
        // A word whose only separator is its first character: "/" means the
        // root, a backslash means the current directory.
        Script{"leading_separator",
               {ok("mkdir /a"), ok("ls", "a/\n"), ok("cd a"), ok("mkdir /b"), ok("touch /f"),
                ok("ls"), ok("ls /", "f\na/\nb/\n"), ok("mkdir '\\c'"), ok("touch '\\g'"),
                ok("ls", "g\nc/\n"), ok("mkdir //h"), ok("ls /", "f\na/\nb/\nh/\n"),
                ok("mkdir /a/x"), ok("ls", "g\nc/\nx/\n")}},
        Script{"touch_basics",
               {err("touch", "touch: missing argument"), ok("touch f g"), ok("ls", "f\n"),
                err("touch f", "touch: cannot create file 'f': Resource already exists"),
                ok("mkdir d"), ok("touch d/x"), ok("touch 'd\\y'"), ok("ls d", "x\ny\n"),
                err("touch d/x/", "d/x: " + kNotFound)}},
        Script{"rm_basics",
               {err("rm", "rm: missing argument"), ok("touch f"), ok("rm f"), ok("ls"),
                err("rm nope", "nope: " + kNotFound), err("rm /nope", "nope: " + kNotFound),
                ok("mkdir e"), ok("rm e"), ok("ls")}},
        Script{"rm_recursive", {ok("mkdir d"),
                                ok("touch d/f"),
                                err("rm d", "rm: cannot remove 'd': Directory is not empty"),
                                ok("ls", "d/\n"),
                                ok("rm -r d"),
                                ok("ls"),
                                ok("mkdir d"),
                                ok("mkdir d/e"),
                                ok("rm --recursive d"),
                                ok("ls"),
                                ok("mkdir d"),
                                ok("touch d/f"),
                                ok("rm d -r"),
                                ok("ls"),
                                ok("mkdir d"),
                                ok("cd d"),
                                ok("touch f"),
                                ok("rm -r /d"),
                                ok("cd /"),
                                ok("ls")}},
        Script{"rm_parser_errors",
               {ok("touch f"), ok("touch g"),
                err("rm -r",
                    "rm: error: the following required arguments were not provided:\n  <TARGET>" +
                        kRmUsageTail),
                err("rm f g", "rm: error: unexpected argument 'g' found" + kRmUsageTail),
                err("rm -x f", "rm: error: unexpected argument '-x' found" + kRmUsageTail),
                ok("ls", "f\ng\n"), err("rm -V", "rm: lumvex 0.1.2\n"), ok("rm -- f"),
                ok("ls", "g\n")}},
        Script{"rm_operand_like_option",
               {ok("touch -- -r"), ok("touch ./-x") /* no parser in touch: name "-x" */,
                ok("ls", "--\n-x\n")}}),
    [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.label); });

TEST(TerminalHelp, ListsTheNineCommandsOncePerLine) {
  SimpleTerminal term(FileSystem::make());
  for (const char* line : {"help", "help me please"}) {
    const CommandResult result = term.run(line);
    ASSERT_TRUE(result.ok());
    ASSERT_FALSE(result.text().empty());
    EXPECT_EQ(result.text().back(), '\n');
    std::vector<std::string> names;
    std::istringstream lines(result.text());
    for (std::string name; std::getline(lines, name);) names.push_back(name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"cat", "cd", "echo", "help", "ls", "mkdir", "pwd",
                                               "rm", "touch"}));
  }
  EXPECT_EQ(command_table().size(), 9u);
}

TEST(TerminalRm, HelpIsPrefixed) {
  SimpleTerminal term(FileSystem::make());
  const args::CommandDef command = RmArgs::command();
  EXPECT_EQ(term.run("rm -h"), CommandResult::failure("rm: " + command.help()));
  EXPECT_EQ(term.run("rm f --help"), CommandResult::failure("rm: " + command.help()));
  EXPECT_EQ(term.run("rm --version"), CommandResult::failure("rm: lumvex 0.1.2\n"));
}

class TerminalFsTest : public ::testing::Test {
 protected:
  InodeId id_of(std::string_view path) const {
    auto id = fs_->get_inode_by_path_raw(path);
    EXPECT_TRUE(id.has_value()) << path;
    return id.value_or(~InodeId{0});
  }
  void write_file(std::string_view path, std::string_view bytes) {
    auto handle = FileSystem::open(fs_, path, FileHandleType{FileHandleType::WRITE}, true);
    ASSERT_TRUE(handle.has_value());
    ASSERT_TRUE(handle->write(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
    ASSERT_TRUE(handle->close());
  }
  CommandResult run(std::string_view line) { return term_.run(line); }

  std::shared_ptr<FileSystem> fs_ = FileSystem::make();
  SimpleTerminal term_{fs_};
};

TEST_F(TerminalFsTest, TargetResolution) {
  ASSERT_TRUE(run("mkdir a").ok());
  ASSERT_TRUE(run("mkdir a/b").ok());
  const InodeId a = id_of("/a");
  TerminalContext ctx(fs_, a);

  using Expect = std::expected<InodeId, std::string>;
  struct Case {
    std::string path;
    Expect result;
  };
  const std::vector<Case> cases = {
      {"/", kRootId},
      {"", a},
      {".", a},
      {"..", kRootId},
      {"/..", kRootId},
      {"b", id_of("/a/b")},
      {"/a", a},
      {"//a", std::unexpected("/a: " + kNotFound)},  // only one "/" is removed
      {"/a/b", std::unexpected("a/b: " + kNotFound)},
      {"b/", std::unexpected("b/: " + kNotFound)},
      {"nope", std::unexpected("nope: " + kNotFound)},
  };
  for (const Case& c : cases) EXPECT_EQ(ctx.get_target_inode(c.path), c.result) << c.path;

  // Below a file only "." and ".." resolve.
  ASSERT_TRUE(run("touch a/f").ok());
  TerminalContext in_file(fs_, id_of("/a/f"));
  EXPECT_EQ(in_file.get_target_inode("."), id_of("/a/f"));
  EXPECT_EQ(in_file.get_target_inode(".."), a);
  EXPECT_EQ(in_file.get_target_inode("x"),
            Expect(std::unexpected("x: The specified INode is not a directory")));
}

TEST_F(TerminalFsTest, ErrorsNameInodesById) {
  ASSERT_TRUE(run("touch f").ok());
  const std::string f = std::to_string(id_of("/f"));
  EXPECT_EQ(run("ls f"), CommandResult::failure("ls: " + f + ": Not a directory"));
  EXPECT_EQ(run("ls /f"), CommandResult::failure("ls: " + f + ": Not a directory"));
  EXPECT_EQ(run("mkdir f/x"), CommandResult::failure("mkdir: " + f + ": Not a directory"));
  EXPECT_EQ(run("touch f/x"), CommandResult::failure("touch: " + f + ": Not a directory"));
}

TEST_F(TerminalFsTest, RemovedCurrentDirectory) {
  ASSERT_TRUE(run("mkdir a").ok());
  const std::string a = std::to_string(id_of("/a"));
  ASSERT_TRUE(run("cd a").ok());
  EXPECT_EQ(run("rm /a"), CommandResult::success(""));
  EXPECT_EQ(std::to_string(term_.cwd()), a);  // cwd keeps the removed id

  const std::vector<std::pair<std::string, std::string>> failures = {
      {"pwd", "pwd: cannot access '" + a + "': " + kNotFound},
      {"ls", "ls: cannot access '" + a + "': " + kNotFound},
      {"ls .", ".: " + kNotFound},
      {"mkdir x", "mkdir: cannot access '" + a + "': " + kNotFound},
      {"touch x", "touch: cannot access '" + a + "': " + kNotFound},
      {"cd x", "cd: cannot access 'x': x: " + kNotFound},
      {"cat x", "x: " + kNotFound},
      {"rm x", "x: " + kNotFound},
      {"cd .", "cd: cannot access '.': .: " + kNotFound},
  };
  for (const auto& [line, text] : failures) {
    EXPECT_EQ(run(line), CommandResult::failure(text)) << line;
  }
  EXPECT_EQ(run("cd /"), CommandResult::success(""));
  EXPECT_EQ(run("pwd"), CommandResult::success("/"));
}

TEST_F(TerminalFsTest, CatReturnsContents) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"hello\n", "hello\n"},
      {"no newline", "no newline"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"cut \xE2\x82", "cut " + fffd},
      {std::string(1000, 'x') + "\n", std::string(1000, 'x') + "\n"},
  };
  int n = 0;
  for (const auto& [bytes, text] : cases) {
    const std::string name = "f" + std::to_string(n++);
    write_file("/" + name, bytes);
    EXPECT_EQ(run("cat " + name), CommandResult::success(text)) << name;
  }
}

TEST_F(TerminalFsTest, CatAndRmRespectOpenHandles) {
  write_file("/f", "data");
  {
    auto writer = FileSystem::open(fs_, "/f", FileHandleType{FileHandleType::WRITE}, false);
    ASSERT_TRUE(writer.has_value());
    EXPECT_EQ(run("cat f"),
              CommandResult::failure("cat: cannot access 'f': Resource is currently in use"));
    EXPECT_EQ(run("rm f"),
              CommandResult::failure("rm: cannot remove 'f': Resource is currently in use"));
    ASSERT_TRUE(writer->close());
  }
  {
    // A reader does not stop cat, and cat releases its own lock: the file
    // can be opened for writing and removed afterwards.
    auto reader = FileSystem::open(fs_, "/f", FileHandleType{FileHandleType::READ}, false);
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(run("cat f"), CommandResult::success("data"));
  }
  EXPECT_EQ(run("cat f"), CommandResult::success("data"));
  EXPECT_TRUE(FileSystem::open(fs_, "/f", FileHandleType{FileHandleType::WRITE}, false));
  EXPECT_EQ(run("rm f"), CommandResult::success(""));
}

TEST_F(TerminalFsTest, FailedCdKeepsDirectory) {
  ASSERT_TRUE(run("mkdir a").ok());
  ASSERT_TRUE(run("touch a/f").ok());
  ASSERT_TRUE(run("cd a").ok());
  const InodeId a = term_.cwd();
  for (const char* line : {"cd f", "cd nope", "cd", "cd 'x"}) {
    EXPECT_FALSE(run(line).ok()) << line;
    EXPECT_EQ(term_.cwd(), a) << line;
  }
}

TEST_F(TerminalFsTest, TerminalsShareFilesButNotDirectories) {
  SimpleTerminal other(fs_);
  ASSERT_TRUE(run("mkdir /a").ok());
  ASSERT_TRUE(run("cd /a").ok());
  EXPECT_EQ(run("pwd"), CommandResult::success("/a"));
  EXPECT_EQ(other.run("pwd"), CommandResult::success("/"));
  EXPECT_EQ(other.run("ls"), CommandResult::success("a/\n"));
  ASSERT_TRUE(other.run("touch a/f").ok());
  EXPECT_EQ(run("ls"), CommandResult::success("f\n"));
}

// Terminals on separate threads over one filesystem (the sanitizer builds
// check the command table's first use and the shared filesystem).
TEST(TerminalThreads, ConcurrentTerminalsOnOneFilesystem) {
  auto fs = FileSystem::make();
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&fs, &failures, t] {
      SimpleTerminal term(fs);
      const std::string dir = "d" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        const bool good =
            term.run("mkdir /" + dir).ok() && term.run("cd " + dir).ok() &&
            term.run("touch f").ok() && term.run("ls") == CommandResult::success("f\n") &&
            term.run("cd ..").ok() && term.run("rm -r " + dir).ok() && term.run("help").ok();
        if (!good) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// Random lines built from command names, options and awkward paths: every
// line gives a result, and the terminal stays usable afterwards.
TEST(TerminalFuzz, RandomCommandLines) {
  const std::vector<std::string> tokens = {
      "cd", "ls", "pwd", "cat", "mkdir", "touch", "rm",   "echo", "help", "-r",  "--recursive",
      "--", "-h", "-x",  "a",   "b",     "a/b",   "a\\b", "/",    "/a",   "//",  ".",
      "..", "''", "'",   "\"",  "\\",    "#",     " ",    "\t",   "\n",   "\xFF"};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> count(0, 6);
  std::uniform_int_distribution<std::size_t> pick(0, tokens.size() - 1);
  auto fs = FileSystem::make();
  SimpleTerminal term(fs);
  for (int round = 0; round < 20000; ++round) {
    std::string line;
    for (std::size_t n = count(rng); n > 0; --n) {
      line += tokens[pick(rng)];
      if (pick(rng) % 2 == 0) line += ' ';
    }
    (void)term.run(line);
  }
  ASSERT_TRUE(term.run("cd /").ok());
  EXPECT_EQ(term.run("pwd"), CommandResult::success("/"));
  EXPECT_TRUE(term.run("ls /").ok());
}

}  // namespace
}  // namespace lumvex
