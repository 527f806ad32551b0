// ZeroedArray<T>: a fixed-size heap array of trivial values, all bytes zero
// at the start. Large arrays (4 MiB and more) are mapped directly and asked
// to be backed by huge pages: they are what a big directory's index is made
// of, and a random probe into tens of megabytes would otherwise also miss the
// TLB on nearly every access.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace lumvex {

template <typename T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  static constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

  ZeroedArray() = default;
  explicit ZeroedArray(std::size_t n) : size_(n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= kMapThreshold) {
      void* mapped =
          ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped == MAP_FAILED) throw std::bad_alloc();
      (void)::madvise(mapped, bytes, MADV_HUGEPAGE);  // a hint: without it, plain pages
      data_ = static_cast<T*>(mapped);
      mapped_ = true;
    } else if (n > 0) {
      data_ = static_cast<T*>(std::calloc(n, sizeof(T)));
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }
  ZeroedArray(ZeroedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        mapped_(std::exchange(other.mapped_, false)) {}
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    ZeroedArray(std::move(other)).swap(*this);
    return *this;
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() {
    if (mapped_) {
      ::munmap(data_, size_ * sizeof(T));
    } else {
      std::free(data_);
    }
  }

  void swap(ZeroedArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapped_, other.mapped_);
  }

  T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace lumvex
