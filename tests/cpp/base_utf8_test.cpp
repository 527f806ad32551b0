#include <gtest/gtest.h>

#include <string>

#include "base/utf8.hpp"

namespace lumvex {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

struct Utf8Case {
  const char* label;
  std::string in;
  std::string out;
};

class Utf8ReplaceTest : public ::testing::TestWithParam<Utf8Case> {};

// Expected outputs are those of Python's bytes.decode('utf-8', 'replace'):
// one U+FFFD per maximal invalid subpart.
TEST_P(Utf8ReplaceTest, ReplacesMaximalInvalidSubparts) {
  EXPECT_EQ(utf8_replace_invalid(GetParam().in), GetParam().out);
  EXPECT_EQ(is_valid_utf8(GetParam().in), GetParam().in == GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8ReplaceTest,
    ::testing::Values(Utf8Case{"empty", "", ""}, Utf8Case{"ascii_line", "hello\n", "hello\n"},
                      Utf8Case{"valid_multibyte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"nul_kept", std::string("a\0b", 3), std::string("a\0b", 3)},
                      Utf8Case{"lone_continuation", "a\x80z", "a" + kFFFD + "z"},
                      Utf8Case{"two_continuations", "\x80\xBF", kFFFD + kFFFD},
                      Utf8Case{"invalid_leads", "\xC0\xC1\xF5\xFF", kFFFD + kFFFD + kFFFD + kFFFD},
                      Utf8Case{"overlong_two_byte", "\xC0\xAF", kFFFD + kFFFD},
                      Utf8Case{"truncated_three_at_end", "\xE2\x82", kFFFD},
                      Utf8Case{"truncated_four_then_ascii", "\xF0\x9F\x98x", kFFFD + "x"},
                      Utf8Case{"overlong_three_byte", "\xE0\x80\x80", kFFFD + kFFFD + kFFFD},
                      Utf8Case{"surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
                      Utf8Case{"above_max", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
                      Utf8Case{"max_code_point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
                      Utf8Case{"long_ascii_run", std::string(37, 'a'), std::string(37, 'a')},
                      Utf8Case{"invalid_after_ascii_words", std::string(16, 'a') + "\xFF" + "b",
                               std::string(16, 'a') + kFFFD + "b"},
                      Utf8Case{"truncated_at_word_end", std::string(7, 'a') + "\xC3",
                               std::string(7, 'a') + kFFFD},
                      Utf8Case{"lead_then_lead", "\xE2\xC3\xA9", kFFFD + "\xC3\xA9"},
                      Utf8Case{"invalid_between_valid", "\xC3\xA9\xFF\xC3\xA9",
                               "\xC3\xA9" + kFFFD + "\xC3\xA9"}),
    [](const ::testing::TestParamInfo<Utf8Case>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lumvex
