// FileBytes: a file's contents, a growable byte array that keeps up to 32
// bytes inline. Inline, the 32 bytes and a one-byte length are all there is;
// on the heap, the same 32 bytes hold the address, the length and the
// capacity. That keeps it at 40 bytes (a plain small vector with machine-size
// length and capacity takes 48), which matters because every file inode
// carries one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace lumvex {

class FileBytes {
 public:
  static constexpr std::size_t kInlineCapacity = 32;

  FileBytes() = default;
  FileBytes(FileBytes&& other) noexcept { steal(other); }
  FileBytes& operator=(FileBytes&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { release(); }

  bool is_inline() const { return inline_size_ != kOnHeap; }
  std::uint8_t* data() { return is_inline() ? inline_ : heap_.data; }
  const std::uint8_t* data() const { return is_inline() ? inline_ : heap_.data; }
  std::size_t size() const { return is_inline() ? inline_size_ : heap_.size; }
  std::size_t capacity() const { return is_inline() ? kInlineCapacity : heap_.capacity; }
  bool empty() const { return size() == 0; }

  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size(); }
  std::uint8_t operator[](std::size_t i) const { return data()[i]; }

  // Grows (zero-filling the new bytes) or shrinks to `n` bytes.
  void resize(std::size_t n) {
    std::size_t old = size();
    resize_for_overwrite(n);
    if (n > old) std::memset(data() + old, 0, n - old);
  }

  // Like resize, but leaves new bytes unset: the caller overwrites them.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity()) grow(n);
    set_size(n);
  }

 private:
  static constexpr std::uint8_t kOnHeap = 0xff;

  void set_size(std::size_t n) {
    if (is_inline()) {
      inline_size_ = static_cast<std::uint8_t>(n);
    } else {
      heap_.size = n;
    }
  }

  void grow(std::size_t min_capacity) {
    const std::size_t current = capacity();
    if (current > SIZE_MAX / 2) throw std::bad_array_new_length();
    const std::size_t target = std::max(min_capacity, current + current / 2 + 1);
    if (is_inline()) {
      auto* fresh = static_cast<std::uint8_t*>(std::malloc(target));
      if (fresh == nullptr) throw std::bad_alloc();
      const std::size_t n = inline_size_;
      std::memcpy(fresh, inline_, n);
      heap_ = Heap{fresh, n, target};
      inline_size_ = kOnHeap;
    } else {
      // realloc can move large blocks by remapping pages instead of copying.
      auto* fresh = static_cast<std::uint8_t*>(std::realloc(heap_.data, target));
      if (fresh == nullptr) throw std::bad_alloc();
      heap_.data = fresh;
      heap_.capacity = target;
    }
  }

  void steal(FileBytes& other) {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof *this);
    other.inline_size_ = 0;
  }

  void release() {
    if (!is_inline()) std::free(heap_.data);
    inline_size_ = 0;
  }

  struct Heap {
    std::uint8_t* data;
    std::size_t size;
    std::size_t capacity;
  };
  union {
    std::uint8_t inline_[kInlineCapacity] = {};
    Heap heap_;
  };
  std::uint8_t inline_size_ = 0;  // the inline length, or kOnHeap
};

static_assert(sizeof(FileBytes) == 40);

}  // namespace lumvex
