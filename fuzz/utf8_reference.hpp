// A slow, obviously correct UTF-8 reference for the fuzz targets, built from
// the definition rather than from a table of byte ranges: a sequence is
// well-formed when it decodes to a Unicode scalar value whose shortest
// encoding is exactly that sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumvex::fuzz {

// The shortest encoding of a scalar value.
inline std::string encode_utf8(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

inline bool is_scalar(std::uint32_t cp) {
  return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

// The number of bytes a sequence with this lead byte claims by its high bits
// (0xxxxxxx, 110xxxxx, 1110xxxx, 11110xxx), or 0 for any other pattern.
inline std::size_t claimed_length(unsigned char lead) {
  if ((lead & 0x80) == 0x00) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

inline bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Whether s[0..k) can be extended to a well-formed sequence (k >= 1, and k at
// most the claimed length). The code points reachable from a prefix form one
// interval; the prefix is viable when that interval meets a scalar value of
// the claimed length.
inline bool viable_prefix(std::string_view s, std::size_t k) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const std::size_t len = claimed_length(byte(0));
  if (len == 0 || k > len) return false;
  for (std::size_t i = 1; i < k; ++i)
    if (!is_continuation(byte(i))) return false;
  static constexpr std::uint32_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t lo = byte(0) & kLeadMask[len];
  std::uint32_t hi = lo;
  for (std::size_t i = 1; i < len; ++i) {
    const std::uint32_t bits = i < k ? (byte(i) & 0x3F) : 0;
    lo = (lo << 6) | bits;
    hi = (hi << 6) | (i < k ? bits : 0x3F);
  }
  static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  static constexpr std::uint32_t kMax[5] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  if (lo < kMin[len]) lo = kMin[len];
  if (hi > kMax[len]) hi = kMax[len];
  if (lo > hi) return false;
  return !(lo >= 0xD800 && hi <= 0xDFFF);  // not only surrogates
}

// The scalar value of the well-formed sequence at the start of `s` and its
// length, or nothing.
struct Decoded {
  std::uint32_t cp;
  std::size_t len;
};
inline std::optional<Decoded> decode_one(std::string_view s) {
  if (s.empty()) return std::nullopt;
  const std::size_t len = claimed_length(static_cast<unsigned char>(s[0]));
  if (len == 0 || len > s.size()) return std::nullopt;
  std::uint32_t cp = static_cast<unsigned char>(s[0]) & (0xFFu >> (len + 1));
  if (len == 1) cp = static_cast<unsigned char>(s[0]);
  for (std::size_t i = 1; i < len; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (!is_continuation(c)) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (!is_scalar(cp) || encode_utf8(cp) != s.substr(0, len)) return std::nullopt;
  return Decoded{cp, len};
}

inline bool reference_is_valid(std::string_view s) {
  while (!s.empty()) {
    auto d = decode_one(s);
    if (!d) return false;
    s.remove_prefix(d->len);
  }
  return true;
}

// Lossy decoding with one U+FFFD per maximal subpart: at a position where no
// well-formed sequence starts, the longest viable prefix (at least one byte)
// is replaced.
inline std::string reference_replace(std::string_view s) {
  std::string out;
  while (!s.empty()) {
    if (auto d = decode_one(s)) {
      out.append(s.substr(0, d->len));
      s.remove_prefix(d->len);
      continue;
    }
    std::size_t k = 1;
    while (k < s.size() && viable_prefix(s, k + 1)) ++k;
    out.append("\xEF\xBF\xBD");
    s.remove_prefix(k);
  }
  return out;
}

}  // namespace lumvex::fuzz
