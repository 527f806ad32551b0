// SmallVector<T, N, Size, Allocator>: a growable array of trivially copyable
// values that keeps up to N of them inline and moves to the heap beyond that.
// It is the one small buffer of the code base: ShortString and FileBytes are
// made of it.
//
// `Size` is the type of its length and capacity; a narrower one makes the
// vector smaller where a few billion elements are plenty. The layout is as
// small as it gets: the room for N values, then the length. On the heap, the
// same room holds the address and the capacity, and the length's top bit
// says so (so a vector holds fewer than half of what `Size` can count). The
// address is copied in and out bytewise, so that it needs no alignment of
// its own: 12 chars and a 32-bit length take 16 bytes, 32 bytes and a
// machine-size length 40.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace lumvex {

// Where heap storage comes from and goes back to: malloc, realloc and free.
// (Tests put an allocator of their own in its place.)
struct MallocAllocator {
  static void* allocate(std::size_t n) noexcept { return std::malloc(n); }
  // realloc can move large blocks by remapping pages instead of copying.
  static void* reallocate(void* p, std::size_t n) noexcept { return std::realloc(p, n); }
  static void deallocate(void* p) noexcept { std::free(p); }
};

template <typename T, std::size_t N, typename Size = std::size_t,
          typename Allocator = MallocAllocator>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds trivially copyable values");
  static_assert(std::is_unsigned_v<Size> && sizeof(Size) <= sizeof(std::size_t));
  static_assert(N > 0 && N < (std::size_t{1} << (std::numeric_limits<Size>::digits - 1)));

 public:
  using value_type = T;
  static constexpr std::size_t kInlineCapacity = N;

  SmallVector() = default;
  SmallVector(const SmallVector& other) { assign(other.data(), other.size()); }
  SmallVector(SmallVector&& other) noexcept { steal(other); }
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      assign(other.data(), other.size());
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~SmallVector() { release(); }

  // The most elements a vector can hold.
  static constexpr std::size_t max_size() {
    return std::min<std::size_t>(kOnHeap - 1, std::numeric_limits<std::size_t>::max() / sizeof(T));
  }

  T* data() { return is_inline() ? inline_ : heap_data(); }
  const T* data() const { return is_inline() ? inline_ : heap_data(); }
  std::size_t size() const { return size_ & ~kOnHeap; }
  std::size_t capacity() const { return is_inline() ? N : heap_capacity(); }
  bool empty() const { return size() == 0; }
  bool is_inline() const { return (size_ & kOnHeap) == 0; }

  T* begin() { return data(); }
  T* end() { return data() + size(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size() - 1]; }

  void push_back(const T& value) {
    const std::size_t n = size();
    if (n == capacity()) {
      // `value` may be an element of this vector, which growing moves: copy
      // it first.
      const T copy = value;
      grow(n + 1);
      data()[n] = copy;
    } else {
      data()[n] = value;
    }
    set_size(n + 1);
  }
  void pop_back() { --size_; }
  void clear() { set_size(0); }

  // Grows (zero-filling new elements) or shrinks to `n` elements.
  void resize(std::size_t n) {
    const std::size_t old = size();
    resize_for_overwrite(n);
    if (n > old) std::memset(static_cast<void*>(data() + old), 0, (n - old) * sizeof(T));
  }

  // Like resize, but leaves new elements unset: the caller overwrites them.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity()) grow(n);
    set_size(n);
  }

  void reserve(std::size_t n) {
    if (n > capacity()) grow(n);
  }

  // Makes this (empty) vector a copy of `values`, with room for no more than
  // them if they need the heap.
  void assign(const T* values, std::size_t n) {
    if (n > capacity()) reallocate(n);
    if (n) std::memcpy(static_cast<void*>(data()), values, n * sizeof(T));
    set_size(n);
  }

  // Releases heap memory that is no longer needed (if the allocator can).
  void shrink_to_fit() noexcept {
    const std::size_t n = size();
    if (is_inline() || n == heap_capacity()) return;
    T* old = heap_data();
    if (n <= N) {
      std::memcpy(static_cast<void*>(inline_), old, n * sizeof(T));
      Allocator::deallocate(old);
      size_ = static_cast<Size>(n);
      return;
    }
    if (T* smaller = static_cast<T*>(Allocator::reallocate(old, n * sizeof(T))))
      set_heap(smaller, n);
  }

 private:
  static constexpr Size kOnHeap = Size{1} << (std::numeric_limits<Size>::digits - 1);

  // The heap block's address and capacity, stored bytewise over the inline
  // elements.
  T* heap_data() const {
    T* pointer;
    std::memcpy(&pointer, heap_, sizeof pointer);
    return pointer;
  }
  std::size_t heap_capacity() const {
    Size capacity;
    std::memcpy(&capacity, heap_ + sizeof(T*), sizeof capacity);
    return capacity;
  }
  void set_heap(T* pointer, std::size_t capacity) {
    const auto narrow = static_cast<Size>(capacity);
    std::memcpy(heap_, &pointer, sizeof pointer);
    std::memcpy(heap_ + sizeof(T*), &narrow, sizeof narrow);
  }

  void set_size(std::size_t n) { size_ = static_cast<Size>(n) | (size_ & kOnHeap); }

  void steal(SmallVector& other) {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof *this);
    other.size_ = 0;
  }

  void release() {
    if (!is_inline()) Allocator::deallocate(heap_data());
    size_ = 0;
  }

  // Room for at least `min_capacity` elements: half as much again as now,
  // or more if asked.
  void grow(std::size_t min_capacity) {
    if (min_capacity > max_size()) throw std::bad_array_new_length();
    const std::size_t current = capacity();
    reallocate(std::max(min_capacity, current + std::min(current / 2 + 1, max_size() - current)));
  }

  void reallocate(std::size_t new_capacity) {
    if (new_capacity > max_size()) throw std::bad_array_new_length();
    const std::size_t n = size();
    T* fresh;
    if (is_inline()) {
      fresh = static_cast<T*>(Allocator::allocate(new_capacity * sizeof(T)));
      if (fresh == nullptr) throw std::bad_alloc();
      if (n) std::memcpy(static_cast<void*>(fresh), inline_, n * sizeof(T));
      size_ = static_cast<Size>(n) | kOnHeap;
    } else {
      fresh = static_cast<T*>(Allocator::reallocate(heap_data(), new_capacity * sizeof(T)));
      if (fresh == nullptr) throw std::bad_alloc();
    }
    set_heap(fresh, new_capacity);
  }

  union {
    T inline_[N] = {};
    unsigned char heap_[sizeof(T*) + sizeof(Size)];
  };
  Size size_ = 0;  // the length; its top bit: on the heap
};

}  // namespace lumvex
