#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/word_split.hpp"

namespace lumvex {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* label;
  std::string line;
  Words words;
};

class SplitWordsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitWordsTest, SplitsIntoExpectedWords) {
  const SplitCase& c = GetParam();
  auto result = split_words(c.line);
  ASSERT_TRUE(result.has_value()) << "line: " << c.line;
  EXPECT_EQ(*result, c.words) << "line: " << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitWordsTest,
    ::testing::Values(
        // Separators.
        SplitCase{"empty", "", {}}, SplitCase{"blanks", " \t\n  ", {}},
        SplitCase{"single", "ls", {"ls"}},
        SplitCase{"runs_of_separators", "  a \t\n b\t\tc  ", {"a", "b", "c"}},
        SplitCase{"cr_is_ordinary", "a\rb", {"a\rb"}},
        // Comments.
        SplitCase{"only_comment", "# nothing here", {}},
        SplitCase{"comment_after_blanks", "   #x 'unclosed", {}},
        SplitCase{"trailing_comment", "echo a # b", {"echo", "a"}},
        SplitCase{"hash_inside_word", "a#b c#", {"a#b", "c#"}},
        SplitCase{"hash_after_quotes_is_word", "''#x", {"#x"}},
        SplitCase{"comment_ends_at_newline", "a #b 'x\nc", {"a", "c"}},
        SplitCase{"comment_to_end_of_text", "a #b", {"a"}},
        SplitCase{"escaped_hash", "\\#x", {"#x"}},
        SplitCase{"quoted_hash", "'#' \"#\"", {"#", "#"}},
        // Single quotes.
        SplitCase{"single_quotes", "echo 'a  b' c", {"echo", "a  b", "c"}},
        SplitCase{"single_quote_newline", "'a\nb'", {"a\nb"}},
        SplitCase{"single_quote_no_escapes", "'a\\'", {"a\\"}},
        SplitCase{"single_quote_keeps_double", "'\"'", {"\""}},
        // Double quotes.
        SplitCase{"double_quotes", "\"a  b\"", {"a  b"}},
        SplitCase{"double_escapes", "\"\\$\\`\\\"\\\\\"", {"$`\"\\"}},
        SplitCase{"double_backslash_newline", "\"a\\\nb\"", {"ab"}},
        SplitCase{"double_other_backslash_kept", "\"\\a\\n\\'\"", {"\\a\\n\\'"}},
        SplitCase{"double_keeps_single", "\"it's\"", {"it's"}},
        SplitCase{"double_keeps_hash_and_newline", "\"#\n\"", {"#\n"}},
        // Backslash outside quotes.
        SplitCase{"escaped_space", "a\\ b", {"a b"}},
        SplitCase{"escaped_quotes", "\\'\\\"", {"'\""}},
        SplitCase{"escaped_backslash", "\\\\", {"\\"}},
        SplitCase{"backslash_newline_joins", "a\\\nb", {"ab"}},
        SplitCase{"backslash_newline_alone", "\\\n", {}},
        SplitCase{"backslash_newline_then_comment", "\\\n#x", {}},
        SplitCase{"backslash_newline_between", "a \\\n b", {"a", "b"}},
        SplitCase{"escaped_tab", "a\\\tb", {"a\tb"}},
        // Joining and empty words.
        SplitCase{"joining", "a'b c'd", {"ab cd"}},
        SplitCase{"joining_mixed", "x\"y\"'z'\\ w", {"xyz w"}},
        SplitCase{"empty_single", "''", {""}}, SplitCase{"empty_double", "\"\"", {""}},
        SplitCase{"empty_words_between", "a '' \"\" b", {"a", "", "", "b"}},
        SplitCase{"empty_quote_joined", "a''", {"a"}},
        // Bytes beyond ASCII and NUL are ordinary.
        SplitCase{"utf8", "echo h\xC3\xA9llo", {"echo", "h\xC3\xA9llo"}},
        SplitCase{"nul", std::string("a\0b", 3), {std::string("a\0b", 3)}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.label); });

struct FailCase {
  const char* label;
  std::string line;
  SplitError error;
};

class SplitFailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(SplitFailureTest, Fails) {
  const FailCase& c = GetParam();
  auto result = split_words(c.line);
  ASSERT_FALSE(result.has_value()) << "line: " << c.line;
  EXPECT_EQ(result.error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SplitFailureTest,
    ::testing::Values(
        FailCase{"open_single", "echo 'abc", SplitError::UnterminatedSingleQuote},
        FailCase{"lone_single", "'", SplitError::UnterminatedSingleQuote},
        FailCase{"single_ends_in_backslash", "'a\\", SplitError::UnterminatedSingleQuote},
        FailCase{"open_double", "echo \"abc", SplitError::UnterminatedDoubleQuote},
        FailCase{"escaped_close_double", "\"a\\\"", SplitError::UnterminatedDoubleQuote},
        FailCase{"double_ends_in_backslash", "\"a\\", SplitError::UnterminatedDoubleQuote},
        FailCase{"trailing_backslash", "echo a\\", SplitError::TrailingBackslash},
        FailCase{"only_backslash", "\\", SplitError::TrailingBackslash},
        FailCase{"backslash_after_blank", "a \\", SplitError::TrailingBackslash}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.label); });

// Quotes a word so that splitting gives it back unchanged.
std::string single_quote(const std::string& word) {
  std::string out("'");
  for (char c : word) {
    if (c == '\'') {
      out.append("'\\''");
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

// Random lines over an alphabet rich in the characters the rules treat
// specially. Splitting must terminate without reading out of bounds (the
// sanitizer build checks the latter), never produce more text than it was
// given, and quoting its words back must split to the same words.
TEST(SplitWordsFuzz, RandomLinesAreHandledSafely) {
  constexpr std::string_view kAlphabet = "ab#'\"\\ \t\n$`\x80\xC3\xFF";
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> length(0, 64);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(kAlphabet.size()));
  std::size_t succeeded = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string line(static_cast<std::size_t>(length(rng)), '\0');
    for (char& c : line) {
      const int k = pick(rng);
      c = k == static_cast<int>(kAlphabet.size()) ? '\0' : kAlphabet[static_cast<std::size_t>(k)];
    }
    auto words = split_words(line);
    if (!words) continue;
    ++succeeded;
    std::size_t total = 0;
    for (const std::string& w : *words) total += w.size();
    ASSERT_LE(total, line.size()) << "line: " << line;
    ASSERT_LE(words->size(), line.size()) << "line: " << line;

    std::string requoted;
    for (const std::string& w : *words) {
      requoted.append(single_quote(w));
      requoted.push_back(' ');
    }
    auto again = split_words(requoted);
    ASSERT_TRUE(again.has_value()) << "line: " << line;
    ASSERT_EQ(*again, *words) << "line: " << line;
  }
  // The alphabet is not so hostile that nothing ever splits.
  EXPECT_GT(succeeded, 1000u);
}

}  // namespace
}  // namespace lumvex
