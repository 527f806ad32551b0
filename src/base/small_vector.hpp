// SmallVector<T, N, Size>: a growable array of trivially copyable values that
// keeps up to N of them inline and moves to the heap beyond that. `Size` is
// the type of its length and capacity; a narrower one makes the vector
// smaller where a few billion elements are plenty.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace lumvex {

template <typename T, std::size_t N, typename Size = std::size_t>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds trivially copyable values");
  static_assert(N > 0);

 public:
  using value_type = T;

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

  T* data() { return is_inline() ? inline_ : heap_; }
  const T* data() const { return is_inline() ? inline_ : heap_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  bool is_inline() const { return capacity_ == N; }

  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size_ - 1]; }

  void push_back(const T& value) {
    if (size_ == capacity_) {
      // `value` may be an element of this vector, which growing moves: copy
      // it first.
      const T copy = value;
      grow(size_ + 1);
      data()[size_++] = copy;
      return;
    }
    data()[size_++] = value;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }

  // Grows (zero-filling new elements) or shrinks to `n` elements.
  void resize(std::size_t n) {
    if (n > capacity_) grow(n);
    if (n > size_) std::memset(static_cast<void*>(data() + size_), 0, (n - size_) * sizeof(T));
    size_ = static_cast<Size>(n);
  }

  // Like resize, but leaves new elements unset: the caller overwrites them.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity_) grow(n);
    size_ = static_cast<Size>(n);
  }

  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }

  // Releases heap memory that is no longer needed (if the allocator can).
  void shrink_to_fit() noexcept {
    if (is_inline() || size_ == capacity_) return;
    if (size_ <= N) {
      T* old = heap_;
      std::memcpy(static_cast<void*>(inline_), old, size_ * sizeof(T));
      std::free(old);
      capacity_ = N;
      return;
    }
    if (T* smaller = static_cast<T*>(std::realloc(heap_, size_ * sizeof(T)))) {
      heap_ = smaller;
      capacity_ = size_;
    }
  }

 private:
  void assign(const T* values, std::size_t n) {
    reserve(n);
    if (n) std::memcpy(static_cast<void*>(data()), values, n * sizeof(T));
    size_ = static_cast<Size>(n);
  }

  void steal(SmallVector& other) {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (other.is_inline()) {
      std::memcpy(static_cast<void*>(inline_), other.inline_, size_ * sizeof(T));
    } else {
      heap_ = other.heap_;
    }
    other.size_ = 0;
    other.capacity_ = N;
  }

  void release() {
    if (!is_inline()) std::free(heap_);
    size_ = 0;
    capacity_ = N;
  }

  void grow(std::size_t min_capacity) {
    std::size_t target = std::max(min_capacity, std::size_t{capacity_} + capacity_ / 2 + 1);
    reallocate(target);
  }

  void reallocate(std::size_t new_capacity) {
    if (new_capacity > std::numeric_limits<Size>::max() || new_capacity > SIZE_MAX / sizeof(T))
      throw std::bad_array_new_length();
    T* fresh;
    if (is_inline()) {
      fresh = static_cast<T*>(std::malloc(new_capacity * sizeof(T)));
      if (fresh == nullptr) throw std::bad_alloc();
      if (size_) std::memcpy(static_cast<void*>(fresh), inline_, size_ * sizeof(T));
    } else {
      // realloc can move large blocks by remapping pages instead of copying.
      fresh = static_cast<T*>(std::realloc(heap_, new_capacity * sizeof(T)));
      if (fresh == nullptr) throw std::bad_alloc();
    }
    heap_ = fresh;
    capacity_ = static_cast<Size>(new_capacity);
  }

  union {
    T inline_[N] = {};
    T* heap_;
  };
  Size size_ = 0;
  Size capacity_ = N;
};

}  // namespace lumvex
