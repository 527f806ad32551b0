// SipHash: a keyed hash for names that may come from untrusted input. With a
// random key per filesystem, nobody can choose names that collide in a
// directory's index and turn its constant-time lookups into scans.
//
// sip_hash_rounds<C, D> is SipHash-C-D (C compression rounds per 8-byte
// block, D finalization rounds); sip_hash() is SipHash-1-3, the variant that
// hash tables use for speed. Blocks are read as little-endian words byte by
// byte, so the result is the same on every host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumvex {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

namespace detail {

// The little-endian word of the 8 bytes at `p` (one load on such hosts).
inline std::uint64_t load_le64(const char* p) {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | static_cast<unsigned char>(p[i]);
  return word;
}

}  // namespace detail

template <int C, int D>
std::uint64_t sip_hash_rounds(const HashKey& key, std::string_view data) {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  auto round = [&] {
    v0 += v1;
    v1 = std::rotl(v1, 13) ^ v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = std::rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = std::rotl(v1, 17) ^ v2;
    v2 = std::rotl(v2, 32);
  };
  auto compress = [&](std::uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  };
  const char* p = data.data();
  std::size_t left = data.size();
  for (; left >= 8; p += 8, left -= 8) compress(detail::load_le64(p));
  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = 0; i < left; ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  compress(last);
  v2 ^= 0xff;
  for (int i = 0; i < D; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

inline std::uint64_t sip_hash(const HashKey& key, std::string_view data) {
  return sip_hash_rounds<1, 3>(key, data);
}

}  // namespace lumvex
