#include "base/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace lumvex {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `i`, or 0 if there is none. On 0,
// `invalid_len` is set to the length of the maximal subpart to replace (at
// least 1): the lead byte and the continuation bytes that could still have
// been part of a well-formed sequence.
std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& invalid_len) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  if (lead < 0x80) return 1;
  const std::size_t need = utf8_sequence_length(lead) - 1;  // continuation bytes
  if (need == 0) {
    invalid_len = 1;  // 0x80..0xC1 and 0xF5..0xFF never start a sequence
    return 0;
  }
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation
  if (lead == 0xE0) lo = 0xA0;         // no overlong forms
  if (lead == 0xED) hi = 0x9F;         // no surrogates
  if (lead == 0xF0) lo = 0x90;         // no overlong forms
  if (lead == 0xF4) hi = 0x8F;         // nothing above U+10FFFF

  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    const unsigned char c = b(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) break;
  }
  if (k > need) return need + 1;
  invalid_len = k;
  return 0;
}

// The length of the longest well-formed prefix of `s`. Runs of ASCII are
// skipped eight bytes at a time.
std::size_t valid_prefix(std::string_view s) {
  std::size_t i = 0;
  std::size_t invalid_len = 0;
  while (i < s.size()) {
    std::uint64_t word;
    if (s.size() - i >= sizeof word) {
      std::memcpy(&word, s.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += sizeof word;
        continue;
      }
    }
    const std::size_t len = sequence_at(s, i, invalid_len);
    if (len == 0) break;
    i += len;
  }
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  return valid_prefix(text) == text.size();
}

std::string utf8_replace_invalid(std::string bytes) {
  const std::string_view in(bytes);
  std::size_t i = valid_prefix(in);
  if (i == in.size()) return bytes;
  std::size_t invalid_len = 0;

  std::string out;
  out.reserve(in.size() + 8);
  out.append(in.substr(0, i));
  while (i < in.size()) {
    const std::size_t len = sequence_at(in, i, invalid_len);
    if (len == 0) {
      out.append(kReplacement);
      i += invalid_len;
    } else {
      out.append(in.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace lumvex
