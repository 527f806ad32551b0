// SipHash-1-3: a keyed hash for names that may come from untrusted input.
// With a random key per filesystem, nobody can choose names that collide in
// a directory's index and turn its constant-time lookups into scans.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace lumvex {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

inline std::uint64_t sip_hash(const HashKey& key, std::string_view data) {
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
  const char* p = data.data();
  std::size_t left = data.size();
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);  // little-endian hosts
    v3 ^= m;
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = 0; i < left; ++i)
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace lumvex
