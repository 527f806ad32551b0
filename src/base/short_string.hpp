// ShortString: an immutable UTF-8 string that keeps up to 12 bytes inline.
// Entry names are almost always short, so most inodes never allocate for
// their name.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumvex {

// Where heap copies come from and go back to: malloc and free. (Tests put an
// allocator of their own in its place.)
struct MallocAllocator {
  static void* allocate(std::size_t n) noexcept { return std::malloc(n); }
  static void deallocate(void* p) noexcept { std::free(p); }
};

template <typename Allocator = MallocAllocator>
class BasicShortString {
 public:
  static constexpr std::size_t kInlineCapacity = 12;

  BasicShortString() = default;
  explicit BasicShortString(std::string_view text) { assign(text); }
  BasicShortString(const BasicShortString& other) { assign(other.view()); }
  BasicShortString(BasicShortString&& other) noexcept : size_(other.size_) {
    std::memcpy(raw_, other.raw_, sizeof(raw_));
    other.size_ = 0;
  }
  // Copies first: if the copy cannot be made, this string stays as it was.
  BasicShortString& operator=(const BasicShortString& other) {
    if (this != &other) *this = BasicShortString(other);
    return *this;
  }
  BasicShortString& operator=(BasicShortString&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof(raw_));
      size_ = other.size_;
      other.size_ = 0;
    }
    return *this;
  }
  ~BasicShortString() { release(); }

  std::string_view view() const { return {size_ <= kInlineCapacity ? raw_ : heap(), size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_inline() const { return size_ <= kInlineCapacity; }

  friend bool operator==(const BasicShortString& a, std::string_view b) { return a.view() == b; }

 private:
  // Fills an empty string. The size is set last, once the text is in place:
  // until then the string still owns nothing.
  void assign(std::string_view text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    if (text.size() != size) throw std::length_error("name too long");
    if (size <= kInlineCapacity) {
      std::memcpy(raw_, text.data(), size);
    } else {
      char* heap = static_cast<char*>(Allocator::allocate(size));
      if (heap == nullptr) throw std::bad_alloc();
      std::memcpy(heap, text.data(), size);
      std::memcpy(raw_, &heap, sizeof heap);
    }
    size_ = size;
  }
  char* heap() const {
    char* pointer;
    std::memcpy(&pointer, raw_, sizeof pointer);
    return pointer;
  }
  void release() {
    if (size_ > kInlineCapacity) Allocator::deallocate(heap());
    size_ = 0;
  }

  // Up to 12 bytes of text inline, or the address of a heap copy.
  char raw_[kInlineCapacity] = {};
  std::uint32_t size_ = 0;
};

using ShortString = BasicShortString<>;

static_assert(sizeof(ShortString) == 16);

}  // namespace lumvex
