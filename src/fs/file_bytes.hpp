// FileBytes: a file's contents, a growable byte array that keeps up to 32
// bytes inline. Every file inode carries one: it takes 40 bytes, the 32
// inline bytes (or the heap block's address) and the length.
//
// A heap block is counted and shared between copies: copying a FileBytes
// that has one costs a count, and the first change through either copy
// (a non-const data(), a resize) gives that copy a block of its own. Forked
// filesystems share their files' bytes this way until one side writes.
#pragma once

#include <algorithm>
#include <atomic>
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
  FileBytes(FileBytes&& other) noexcept : size_(std::exchange(other.size_, 0)) {
    std::memcpy(room_, other.room_, sizeof room_);
  }
  FileBytes& operator=(FileBytes&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(room_, other.room_, sizeof room_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  // Shares the other's heap block, or copies its inline bytes.
  FileBytes(const FileBytes& other) : size_(other.size_) {
    std::memcpy(room_, other.room_, sizeof room_);
    if (Block* block = heap()) block->refs.fetch_add(1, std::memory_order_relaxed);
  }
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { release(); }

  std::size_t size() const { return size_ & ~kHeapBit; }
  bool empty() const { return size() == 0; }
  std::size_t capacity() const { return heap() ? heap()->capacity : kInlineCapacity; }
  bool is_inline() const { return heap() == nullptr; }
  // Whether the heap block is shared with a copy (so that a change copies it).
  bool shared() const {
    const Block* block = heap();
    return block != nullptr && block->refs.load(std::memory_order_acquire) > 1;
  }

  const std::uint8_t* data() const { return heap() ? heap()->bytes : room_; }
  // Room to change the bytes in: a shared block is copied first.
  std::uint8_t* data() {
    unshare();
    return heap() ? heap()->bytes : room_;
  }
  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size(); }

  // New bytes are zero.
  void resize(std::size_t n) {
    const std::size_t old = size();
    resize_for_overwrite(n);
    if (n > old) std::memset(data() + old, 0, n - old);
  }
  // Like resize, but leaves new bytes unset: the caller overwrites them.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity()) {
      reserve_exactly(std::max(n, capacity() + capacity() / 2));
    } else {
      unshare();
    }
    set_size(n);
  }

 private:
  // A heap block: its count of holders, its capacity and the bytes.
  struct Block {
    std::atomic<std::uint32_t> refs;
    std::size_t capacity;
    std::uint8_t bytes[];
  };
  static constexpr std::size_t kHeapBit = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);

  Block* heap() const {
    if ((size_ & kHeapBit) == 0) return nullptr;
    Block* block;
    std::memcpy(&block, room_, sizeof block);
    return block;
  }
  void set_heap(Block* block) {
    std::memcpy(room_, &block, sizeof block);
    size_ |= kHeapBit;
  }
  void set_size(std::size_t n) { size_ = n | (size_ & kHeapBit); }

  static Block* allocate(std::size_t capacity) {
    auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + capacity));
    if (block == nullptr) throw std::bad_alloc();
    new (&block->refs) std::atomic<std::uint32_t>(1);
    block->capacity = capacity;
    return block;
  }
  static void drop(Block* block) noexcept {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(block);
  }

  // A block of exactly `capacity` bytes (at least size()) that only this
  // copy holds, with the bytes moved over. A failed allocation changes
  // nothing.
  void reserve_exactly(std::size_t capacity) {
    Block* block = heap();
    if (block != nullptr && block->refs.load(std::memory_order_acquire) == 1) {
      // realloc can move large blocks by remapping pages instead of copying.
      auto* grown = static_cast<Block*>(std::realloc(block, sizeof(Block) + capacity));
      if (grown == nullptr) throw std::bad_alloc();
      grown->capacity = capacity;
      set_heap(grown);
      return;
    }
    Block* fresh = allocate(capacity);
    std::memcpy(fresh->bytes, std::as_const(*this).data(), size());
    if (block != nullptr) drop(block);
    set_heap(fresh);
  }
  void unshare() {
    if (shared()) reserve_exactly(heap()->capacity);
  }
  void release() noexcept {
    if (Block* block = heap()) drop(block);
    size_ = 0;
  }

  std::uint8_t room_[kInlineCapacity];
  std::size_t size_ = 0;  // the top bit says the bytes are on the heap
};

static_assert(sizeof(FileBytes) == 40);

}  // namespace lumvex
