// Fuzzes the command-line word splitter: against a reference written as a
// plain state machine over the quoting rules, and by quoting the words it
// returns in two different ways and splitting them again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "terminal/word_split.hpp"
#include "utf8_reference.hpp"

namespace {

using lumvex::SplitError;
using Words = std::vector<std::string>;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "word_split_fuzzer: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

struct Reference {
  Words words;
  std::optional<SplitError> error;
};

// One state per place the scanner can be in; a word has begun in every state
// but Gap and Comment.
Reference reference_split(std::string_view s) {
  enum class State { Gap, Word, Single, Double, Comment };
  State state = State::Gap;
  Reference ref;
  std::string word;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    switch (state) {
      case State::Comment:
        if (c == '\n') state = State::Gap;
        break;
      case State::Single:
        if (c == '\'')
          state = State::Word;
        else
          word += c;
        break;
      case State::Double:
        if (c == '"') {
          state = State::Word;
        } else if (c == '\\' && i + 1 < s.size()) {
          const char d = s[++i];
          if (d == '$' || d == '`' || d == '"' || d == '\\') {
            word += d;
          } else if (d != '\n') {
            word += '\\';
            word += d;
          }
        } else {
          word += c;
        }
        break;
      case State::Gap:
      case State::Word:
        if (blank(c)) {
          if (state == State::Word) ref.words.push_back(std::exchange(word, {}));
          state = State::Gap;
        } else if (c == '#' && state == State::Gap) {
          state = State::Comment;
        } else if (c == '\\') {
          if (i + 1 == s.size()) return {{}, SplitError::TrailingBackslash};
          const char d = s[++i];
          if (d != '\n') {
            word += d;
            state = State::Word;
          }
        } else if (c == '\'') {
          state = State::Single;
        } else if (c == '"') {
          state = State::Double;
        } else {
          word += c;
          state = State::Word;
        }
        break;
    }
  }
  if (state == State::Single) return {{}, SplitError::UnterminatedSingleQuote};
  if (state == State::Double) return {{}, SplitError::UnterminatedDoubleQuote};
  if (state == State::Word) ref.words.push_back(std::move(word));
  return ref;
}

// Each word in single quotes, a quote inside written as '\''.
std::string quote_single(const Words& words) {
  std::string line;
  for (const std::string& w : words) {
    line += " '";
    for (char c : w) {
      if (c == '\'')
        line += "'\\''";
      else
        line += c;
    }
    line += "'\t";
  }
  return line;
}

// Each byte behind a backslash (a newline in single quotes, since a
// backslash-newline pair vanishes), an empty word as "".
std::string quote_backslash(const Words& words) {
  std::string line;
  for (const std::string& w : words) {
    if (w.empty()) line += "\"\"";
    for (char c : w) {
      if (c == '\n') {
        line += "'\n'";
      } else {
        line += '\\';
        line += c;
      }
    }
    line += "\n";
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto split = lumvex::split_words(line);
  const Reference ref = reference_split(line);

  if (!split) {
    if (!ref.error || *ref.error != split.error()) fail("error differs from the reference", line);
    return 0;
  }
  if (ref.error) fail("the reference rejects a line that was split", line);
  if (*split != ref.words) fail("words differ from the reference", line);

  // Only ASCII bytes are ever taken out, so UTF-8 text gives UTF-8 words.
  if (lumvex::fuzz::reference_is_valid(line)) {
    for (const std::string& w : *split)
      if (!lumvex::fuzz::reference_is_valid(w)) fail("a valid line gave an invalid word", line);
  }

  for (const std::string& requoted : {quote_single(*split), quote_backslash(*split)}) {
    const auto again = lumvex::split_words(requoted);
    if (!again || *again != *split) fail("quoted words do not split back to themselves", line);
  }
  return 0;
}
