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

class ShortString {
 public:
  static constexpr std::size_t kInlineCapacity = 12;

  ShortString() = default;
  explicit ShortString(std::string_view text) { assign(text); }
  ShortString(const ShortString& other) { assign(other.view()); }
  ShortString(ShortString&& other) noexcept : size_(other.size_) {
    std::memcpy(raw_, other.raw_, sizeof(raw_));
    other.size_ = 0;
  }
  ShortString& operator=(const ShortString& other) {
    if (this != &other) {
      release();
      assign(other.view());
    }
    return *this;
  }
  ShortString& operator=(ShortString&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof(raw_));
      size_ = other.size_;
      other.size_ = 0;
    }
    return *this;
  }
  ~ShortString() { release(); }

  std::string_view view() const { return {size_ <= kInlineCapacity ? raw_ : heap(), size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_inline() const { return size_ <= kInlineCapacity; }

  friend bool operator==(const ShortString& a, std::string_view b) { return a.view() == b; }

 private:
  void assign(std::string_view text) {
    size_ = static_cast<std::uint32_t>(text.size());
    if (text.size() != size_) throw std::length_error("name too long");
    if (size_ <= kInlineCapacity) {
      std::memcpy(raw_, text.data(), size_);
    } else {
      char* heap = static_cast<char*>(std::malloc(size_));
      if (heap == nullptr) throw std::bad_alloc();
      std::memcpy(heap, text.data(), size_);
      std::memcpy(raw_, &heap, sizeof heap);
    }
  }
  char* heap() const {
    char* pointer;
    std::memcpy(&pointer, raw_, sizeof pointer);
    return pointer;
  }
  void release() {
    if (size_ > kInlineCapacity) std::free(heap());
    size_ = 0;
  }

  // Up to 12 bytes of text inline, or the address of a heap copy.
  char raw_[kInlineCapacity] = {};
  std::uint32_t size_ = 0;
};

static_assert(sizeof(ShortString) == 16);

}  // namespace lumvex
