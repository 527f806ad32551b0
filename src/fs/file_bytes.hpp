// FileBytes: a file's contents, a growable byte array that keeps up to 32
// bytes inline. Every file inode carries one: it takes 40 bytes, the 32
// inline bytes (or the heap block's address and capacity) and the length.
// It moves but is never copied.
#pragma once

#include <cstdint>

#include "base/small_vector.hpp"

namespace lumvex {

class FileBytes : public SmallVector<std::uint8_t, 32> {
 public:
  FileBytes() = default;
  FileBytes(FileBytes&&) noexcept = default;
  FileBytes& operator=(FileBytes&&) noexcept = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() = default;
};

static_assert(sizeof(FileBytes) == 40);

}  // namespace lumvex
