// UTF-8 checking and lossy decoding for showing arbitrary bytes as text.
#pragma once

#include <string>
#include <string_view>

namespace lumvex {

// Returns `bytes` with every maximal invalid subpart of a UTF-8 sequence
// replaced by one U+FFFD (the replacement the Unicode standard recommends,
// and the one Python's bytes.decode('utf-8', 'replace') makes). Valid input is
// returned as it is, without a copy.
std::string utf8_replace_invalid(std::string bytes);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace lumvex
