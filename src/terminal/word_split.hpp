// Splitting of a command line into words by shell quoting rules.
//
// The line is untrusted text, as are the words the argument parser reads
// next and, in the pool and the sandbox, the output of `id` and what the
// kernel's files say (/proc, the mount table).
// This splitter reads the line strictly by index, every step consumes at
// least one byte, and it never reads past the end, whatever the input.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace lumvex {

// Why a line could not be split.
enum class SplitError {
  UnterminatedSingleQuote,
  UnterminatedDoubleQuote,
  TrailingBackslash,  // a backslash as the last character of the line
};

// Splits `line` into words:
//  - runs of space, tab and newline separate words;
//  - a '#' where a word would begin starts a comment running to the end of
//    its line, i.e. up to the next newline, which then separates as usual
//    ('#' inside a word is ordinary);
//  - '...' is taken literally, newlines included;
//  - "..." is taken literally except that a backslash before one of $ ` "
//    and backslash yields that character alone, a backslash before a newline
//    yields nothing, and a backslash before anything else is kept with it;
//  - outside quotes a backslash takes the next byte literally, except that a
//    backslash-newline pair is removed altogether (it neither starts nor ends
//    a word, so "\<newline>#x" is still a comment);
//  - pieces that touch join into one word, and an empty quoted pair standing
//    alone is an empty word.
// Bytes other than the ones named above (UTF-8 sequences, NUL, CR, ...) are
// ordinary word characters.
std::expected<std::vector<std::string>, SplitError> split_words(std::string_view line);

}  // namespace lumvex
