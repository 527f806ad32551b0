// The records of the inode store: INode and its kinds.
//
// An inode is one allocation laid out by kind: a 48-byte header that every
// kind shares (identity, reference count, the data lock, the kind, the file
// lock and the name), followed by the kind's payload. A file inode is 88
// bytes, a directory or a symlink inode 56. Everything a path step needs from
// a child (its name to compare, its kind, its lock) sits in the header, so
// one step costs one visit to the child.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <string>
#include <utility>
#include <variant>

#include "base/shared_mutex.hpp"
#include "base/short_string.hpp"
#include "error/internal_error.hpp"
#include "fs/child_list.hpp"
#include "fs/file_bytes.hpp"

namespace lumvex {

inline constexpr InodeId kRootId = 0;
// No entry lies deeper than this many levels below the root.
inline constexpr std::size_t kMaxDepth = 64;

// A file's bytes; up to 32 are kept inline.
struct FileData {
  FileBytes data;
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

// What a new inode is, with its initial payload. Tags 0, 1, 2 in this order.
using INodeKind = std::variant<File, Directory, Symlink>;

enum class KindTag : std::uint8_t { File = 0, Directory = 1, Symlink = 2 };

class InodeRef;
struct FileNode;
struct DirectoryNode;
struct SymlinkNode;

// The header shared by every kind. The payload (bytes, children, target) is
// guarded by the data lock: read() for reading, update() for changing it.
// Everything else is fixed at creation and read without the lock, except the
// file lock, which is atomic and changed only under read().
class INode {
 public:
  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

  const InodeId id;
  const InodeId parent;

 private:
  friend class InodeRef;
  mutable std::atomic<std::uint32_t> refs_{0};  // owners: InodeRefs
  mutable SharedMutex mutex_;                   // the data lock

 public:
  const KindTag tag;         // kinds never change
  const std::uint8_t depth;  // at most kMaxDepth

 private:
  std::atomic<bool> poisoned_{false};
  bool unlinked_ = false;  // guarded by the data lock

 public:
  FileLock file_lock;  // the open-handle state; files only
  const ShortString name;

  bool is_directory() const { return tag == KindTag::Directory; }
  bool is_file() const { return tag == KindTag::File; }
  bool is_symlink() const { return tag == KindTag::Symlink; }

  // The payload by kind (null for another kind). Hold the data lock.
  FileNode* file();
  const FileNode* file() const;
  DirectoryNode* directory();
  const DirectoryNode* directory() const;
  // A symlink's target never changes; no lock is needed to read it.
  const SymlinkNode* symlink() const;

  // --- the data lock ---
  // An update that ends in an exception marks the lock poisoned (the payload
  // may be half-updated), except a failed allocation: every update here
  // allocates before it changes anything. Every later attempt to take a
  // poisoned lock throws InternalError, and so does check_usable().
  class ReadGuard {
   public:
    explicit ReadGuard(const INode& node) : lock_(node.mutex_) { node.check_usable(); }

   private:
    std::shared_lock<SharedMutex> lock_;
  };
  ReadGuard read() const { return ReadGuard(*this); }

  // Runs f() with the data lock held for writing and returns its result.
  template <typename F>
  decltype(auto) update(F&& f) {
    std::unique_lock lock(mutex_);
    check_usable();
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;  // nothing was changed yet
    } catch (...) {
      poisoned_.store(true);
      throw;
    }
  }

  // Calls f() if the data lock can be taken for reading right now, and
  // returns false without calling it otherwise (used by debug rendering).
  template <typename F>
  bool try_read(F&& f) const {
    std::shared_lock<SharedMutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    f();
    return true;
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
  // Throws InternalError if the data lock is poisoned. Readers of the fixed
  // fields call it where they would otherwise have taken the lock.
  void check_usable() const {
    if (poisoned()) throw InternalError("a filesystem lock is poisoned");
  }

  // Whether a removal has unlinked this inode (nothing is created below a
  // directory on its way out). Hold the data lock.
  bool unlinked() const { return unlinked_; }
  void set_unlinked(bool value) { unlinked_ = value; }

  std::string debug_string() const;

 protected:
  INode(InodeId id, InodeId parent, std::size_t depth, KindTag tag, ShortString name)
      : id(id),
        parent(parent),
        tag(tag),
        depth(static_cast<std::uint8_t>(depth)),
        name(std::move(name)) {}
  ~INode() = default;  // destroyed only through InodeRef, by kind
};

static_assert(sizeof(INode) == 48);

struct FileNode final : INode {
  FileNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, File&& file)
      : INode(id, parent, depth, KindTag::File, std::move(name)), data(std::move(file.data)) {
    file_lock.flag.store(file.lock.flag.load(), std::memory_order_relaxed);
  }
  FileData data;
};

struct DirectoryNode final : INode {
  DirectoryNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, Directory&& dir)
      : INode(id, parent, depth, KindTag::Directory, std::move(name)),
        children(std::move(dir.children)) {}
  ChildList children;
};

struct SymlinkNode final : INode {
  SymlinkNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, Symlink link)
      : INode(id, parent, depth, KindTag::Symlink, std::move(name)), target(link.target) {}
  const InodeId target;
};

static_assert(sizeof(FileNode) == 88);
static_assert(sizeof(DirectoryNode) == 56 && sizeof(SymlinkNode) == 56);

inline FileNode* INode::file() {
  return is_file() ? static_cast<FileNode*>(this) : nullptr;
}
inline const FileNode* INode::file() const {
  return is_file() ? static_cast<const FileNode*>(this) : nullptr;
}
inline DirectoryNode* INode::directory() {
  return is_directory() ? static_cast<DirectoryNode*>(this) : nullptr;
}
inline const DirectoryNode* INode::directory() const {
  return is_directory() ? static_cast<const DirectoryNode*>(this) : nullptr;
}
inline const SymlinkNode* INode::symlink() const {
  return is_symlink() ? static_cast<const SymlinkNode*>(this) : nullptr;
}

// A counted reference to an INode: an entry of the inode table, a directory's
// listing of a child, or a guard on one. Holding one keeps the inode alive;
// the lock order is always: entry first, then its data lock. The count lives
// in the INode itself, which keeps every inode to one allocation and every
// reference to one pointer.
class InodeRef {
 public:
  InodeRef() = default;
  InodeRef(std::nullptr_t) {}  // NOLINT: implicit like a null pointer
  // A new reference to `node`, which some other reference keeps alive.
  explicit InodeRef(const INode* node) : node_(const_cast<INode*>(node)) { retain(); }
  // A new inode of `kind`, and the first reference to it.
  static InodeRef make(InodeId id, InodeId parent, std::size_t depth, ShortString name,
                       INodeKind kind);

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

  // Gives up the reference without dropping it: the caller now owns one
  // count on the returned inode and hands it back with adopt().
  INode* release() { return std::exchange(node_, nullptr); }
  static InodeRef adopt(INode* node) {
    InodeRef ref;
    ref.node_ = node;
    return ref;
  }

 private:
  void retain() const {
    if (node_) node_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void drop() {
    if (node_ && node_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(node_);
    node_ = nullptr;
  }
  // The last owner frees the inode, by its kind.
  static void destroy(INode* node) noexcept;

  INode* node_ = nullptr;
};

}  // namespace lumvex
