// The records of the inode store: INode and its kinds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "fs/child_list.hpp"
#include "fs/rw_lock.hpp"
#include "fs/short_string.hpp"
#include "fs/small_vector.hpp"

namespace lumvex {

inline constexpr InodeId kRootId = 0;
// No entry lies deeper than this many levels below the root.
inline constexpr std::size_t kMaxDepth = 64;

// A file's bytes; up to 32 are kept inline.
struct FileData {
  SmallVector<std::uint8_t, 32> data;
};

// Open-handle state of one file: 0 free, n > 0 shared handles, -1 one
// exclusive handle, -2 claimed by a removal. Changed only atomically.
struct FileLock {
  static constexpr std::int32_t WRITE_EXCLUSIVE = -1;
  static constexpr std::int32_t REMOVED = -2;

  FileLock() = default;
  FileLock(FileLock&& other) noexcept : flag(other.flag.load()) {}
  FileLock& operator=(FileLock&& other) noexcept {
    flag.store(other.flag.load());
    return *this;
  }

  std::atomic<std::int32_t> flag{0};
};

struct File {
  FileData data;
  FileLock lock;
};

struct Directory {
  ChildList children;
};

struct Symlink {
  InodeId target = 0;
};

// Tags 0, 1, 2 in this order.
using INodeKind = std::variant<File, Directory, Symlink>;

// What an inode's reader/writer lock guards: its kind and payload, plus the
// mark that a removal has unlinked it (so nothing is created below a
// directory that is on its way out).
struct INodeData {
  INodeKind kind;
  bool unlinked = false;
};

struct INode {
  INode(InodeId id, InodeId parent, std::size_t depth, ShortString name, INodeKind kind)
      : id(id),
        parent(parent),
        depth(depth),
        name(std::move(name)),
        data(INodeData{std::move(kind)}) {}

  const InodeId id;
  const InodeId parent;
  const std::size_t depth;
  const ShortString name;
  RwLock<INodeData> data;

  std::string debug_string() const;
};

// An entry of the inode table. Holding one keeps the inode alive; the lock
// order is always: entry first, then its data lock.
using InodeRef = std::shared_ptr<INode>;

std::string debug_string(const INodeKind& kind);

}  // namespace lumvex
