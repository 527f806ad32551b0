#include "terminal/word_split.hpp"

#include <cstddef>

namespace lumvex {

namespace {

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// The characters that a backslash escapes inside double quotes.
bool is_double_quote_escapable(char c) {
  return c == '$' || c == '`' || c == '"' || c == '\\';
}

}  // namespace

std::expected<std::vector<std::string>, SplitError> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  // True once the current word has begun, even if it is still empty (as after
  // a pair of empty quotes).
  bool in_word = false;
  const std::size_t n = line.size();
  std::size_t i = 0;

  while (i < n) {
    const char c = line[i];

    if (is_separator(c)) {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      ++i;
      continue;
    }

    if (c == '#' && !in_word) {
      // A comment runs to the end of its line; the newline itself separates.
      const std::size_t end = line.find('\n', i);
      i = end == std::string_view::npos ? n : end;
      continue;
    }

    if (c == '\\') {
      if (i + 1 >= n) return std::unexpected(SplitError::TrailingBackslash);
      const char next = line[i + 1];
      i += 2;
      if (next != '\n') {
        word.push_back(next);
        in_word = true;
      }
      continue;
    }

    if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) {
        return std::unexpected(SplitError::UnterminatedSingleQuote);
      }
      word.append(line.substr(i + 1, close - i - 1));
      in_word = true;
      i = close + 1;
      continue;
    }

    if (c == '"') {
      in_word = true;
      ++i;
      bool closed = false;
      while (i < n) {
        const char d = line[i];
        if (d == '"') {
          ++i;
          closed = true;
          break;
        }
        if (d == '\\' && i + 1 < n) {
          const char next = line[i + 1];
          if (is_double_quote_escapable(next)) {
            word.push_back(next);
          } else if (next != '\n') {
            word.push_back('\\');
            word.push_back(next);
          }
          i += 2;
          continue;
        }
        // An ordinary byte, or a backslash at the very end (which leaves the
        // quote unterminated on the next step).
        word.push_back(d);
        ++i;
      }
      if (!closed) return std::unexpected(SplitError::UnterminatedDoubleQuote);
      continue;
    }

    word.push_back(c);
    in_word = true;
    ++i;
  }

  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace lumvex
