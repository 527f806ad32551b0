// ShortString: an immutable UTF-8 string that keeps up to 12 bytes inline.
// Entry names are almost always short, so most inodes never allocate for
// their name.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "base/small_vector.hpp"

namespace lumvex {

template <typename Allocator = MallocAllocator>
class BasicShortString {
  // The text, on the heap in a block of its own size when it is longer than
  // fits inline.
  using Bytes = SmallVector<char, 12, std::uint32_t, Allocator>;

 public:
  static constexpr std::size_t kInlineCapacity = Bytes::kInlineCapacity;

  BasicShortString() = default;
  explicit BasicShortString(std::string_view text) {
    if (text.size() > Bytes::max_size()) throw std::length_error("name too long");
    bytes_.assign(text.data(), text.size());
  }
  BasicShortString(const BasicShortString& other) = default;
  BasicShortString(BasicShortString&& other) noexcept = default;
  // Copies first: if the copy cannot be made, this string stays as it was.
  BasicShortString& operator=(const BasicShortString& other) {
    if (this != &other) *this = BasicShortString(other);
    return *this;
  }
  BasicShortString& operator=(BasicShortString&& other) noexcept = default;

  std::string_view view() const { return {bytes_.data(), bytes_.size()}; }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  bool is_inline() const { return bytes_.is_inline(); }

  friend bool operator==(const BasicShortString& a, std::string_view b) { return a.view() == b; }

 private:
  Bytes bytes_;
};

using ShortString = BasicShortString<>;

static_assert(sizeof(ShortString) == 16);

}  // namespace lumvex
