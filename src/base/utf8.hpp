// UTF-8 checking and lossy decoding for showing arbitrary bytes as text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumvex {

// Returns `bytes` with every maximal invalid subpart of a UTF-8 sequence
// replaced by one U+FFFD (the replacement the Unicode standard recommends,
// and the one Python's bytes.decode('utf-8', 'replace') makes). Valid input is
// returned as it is, without a copy.
std::string utf8_replace_invalid(std::string bytes);

// The length of the UTF-8 sequence that a byte starts: 1 for ASCII, 2 to 4
// for a lead byte (0xC2..0xF4), and 1 for a byte that cannot start a
// sequence (a continuation byte, 0xC0, 0xC1, 0xF5..0xFF). The bytes that
// follow are not looked at.
constexpr std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0xC2) return 1;
  if (lead <= 0xDF) return 2;
  if (lead <= 0xEF) return 3;
  return lead <= 0xF4 ? 4 : 1;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace lumvex
