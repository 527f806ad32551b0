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

class InodeRef;

struct INode {
  INode(InodeId id, InodeId parent, std::size_t depth, ShortString name, INodeKind kind)
      : id(id),
        parent(parent),
        depth(static_cast<std::uint32_t>(depth)),
        name(std::move(name)),
        data(INodeData{std::move(kind)}) {}
  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

  const InodeId id;
  const InodeId parent;
  const std::uint32_t depth;  // at most kMaxDepth

 private:
  friend class InodeRef;
  mutable std::atomic<std::uint32_t> refs_{0};  // owners: InodeRefs

 public:
  const ShortString name;
  RwLock<INodeData> data;

  std::string debug_string() const;
};

// A counted reference to an INode: an entry of the inode table, or a guard
// on one. Holding one keeps the inode alive; the lock order is always: entry
// first, then its data lock. The count lives in the INode itself, which keeps
// every inode to one allocation and every reference to one pointer.
class InodeRef {
 public:
  InodeRef() = default;
  InodeRef(std::nullptr_t) {}  // NOLINT: implicit like a null pointer
  template <typename... Args>
  static InodeRef make(Args&&... args) {
    return InodeRef(std::make_unique<INode>(std::forward<Args>(args)...).release());
  }

  InodeRef(const InodeRef& other) : node_(other.node_) { retain(); }
  InodeRef(InodeRef&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  InodeRef& operator=(const InodeRef& other) {
    InodeRef(other).swap(*this);
    return *this;
  }
  InodeRef& operator=(InodeRef&& other) noexcept {
    InodeRef(std::move(other)).swap(*this);
    return *this;
  }
  ~InodeRef() { drop(); }

  INode* get() const { return node_; }
  INode* operator->() const { return node_; }
  INode& operator*() const { return *node_; }
  explicit operator bool() const { return node_ != nullptr; }
  void swap(InodeRef& other) noexcept { std::swap(node_, other.node_); }

 private:
  explicit InodeRef(INode* node) : node_(node) { retain(); }
  void retain() const {
    if (node_) node_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void drop() {
    if (node_ && node_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
      std::unique_ptr<INode> last(node_);  // the last owner frees the inode
    node_ = nullptr;
  }

  INode* node_ = nullptr;
};

}  // namespace lumvex
