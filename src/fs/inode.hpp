// The records of the inode store: INode and its kinds.
//
// An inode is one allocation laid out by kind: a 64-byte header that every
// kind shares (identity, place in the tree, modification time, reference
// count, the data lock, the kind, the file lock, the name and the
// generation), followed by the kind's payload. A file inode is 104 bytes, a
// directory or a symlink inode 72 (the same malloc blocks as without the
// generation: 112 and 80 bytes). Everything a path step needs from
// a child (its name to compare, its kind, its lock) sits in the header, so
// one step costs one visit to the child.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "base/poison.hpp"
#include "base/shared_mutex.hpp"
#include "base/short_string.hpp"
#include "base/thread_annotations.hpp"
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
// exclusive handle, -2 claimed by a removal, -3 moved to a copy (the handles
// look the file up again). Changed only atomically.
struct FileLock {
  static constexpr std::int32_t WRITE_EXCLUSIVE = -1;
  static constexpr std::int32_t REMOVED = -2;
  static constexpr std::int32_t MOVED = -3;

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

// The current time in nanoseconds since the epoch, at the resolution the
// kernel gives file times (a clock tick): cheap enough for every change.
inline std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

class InodeRef;
struct FileNode;
struct DirectoryNode;
struct SymlinkNode;

// The header shared by every kind. The payload (bytes, children) and the
// unlinked mark are guarded by the data lock: a ReadGuard for reading,
// update() for changing them; file() and directory() require it. Everything
// else is fixed at creation and read without the lock (a symlink's target
// among it), except:
//   - the file lock, which is atomic and changed only under a ReadGuard;
//   - the modification time, atomic, set by whoever changes the payload;
//   - the place in the tree (parent, depth, name), which only a rename
//     changes. A rename holds the filesystem's rename lock and the data locks
//     of the old and the new parent for writing, so the name is read safely
//     under the parent's data lock or the rename lock; parent and depth are
//     atomic and may be read at any time.
class INode {
 public:
  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

  const InodeId id;
  std::atomic<InodeId> parent;

 private:
  friend class InodeRef;
  mutable std::atomic<std::uint32_t> refs_{0};  // owners: InodeRefs
  // The data lock. A lock taken for reading is still taken: it is mutable,
  // so that a const INode can be read under it.
  mutable SharedMutex mutex_;

 public:
  const KindTag tag;                // kinds never change
  std::atomic<std::uint8_t> depth;  // at most kMaxDepth

 private:
  Poison poison_;  // of the data lock
  bool unlinked_ GUARDED_BY(mutex_) = false;

 public:
  // The open-handle state; files only. Handles take and give back their
  // share with the data lock held only for reading, so it is atomic, and
  // mutable so that they can do so through a const INode.
  mutable FileLock file_lock;
  ShortString name;  // changed only by a rename (see above)
  // Nanoseconds since the epoch: set at creation, when a write changes a
  // file, and when an entry is added to or removed from a directory. Last in
  // the header, so that what a path step reads (kind, name) stays in the
  // first 48 bytes.
  std::atomic<std::int64_t> mtime_ns;
  // The generation of the filesystem that made this inode: a filesystem
  // changes an inode in place only while the generations match, and copies
  // it first otherwise (see FileSystem::fork). It is set before the inode is
  // published and changed only with every change of the filesystem held off.
  std::atomic<std::uint64_t> gen{0};

  bool is_directory() const { return tag == KindTag::Directory; }
  bool is_file() const { return tag == KindTag::File; }
  bool is_symlink() const { return tag == KindTag::Symlink; }

  // The data lock, for the annotations of code that holds it.
  SharedMutex& data_lock() const RETURN_CAPABILITY(mutex_) { return mutex_; }

  // The payload by kind (null for another kind): read it with the data lock
  // held for reading, change it with the lock held for writing.
  FileNode* file() REQUIRES(mutex_);
  const FileNode* file() const REQUIRES_SHARED(mutex_);
  DirectoryNode* directory() REQUIRES(mutex_);
  const DirectoryNode* directory() const REQUIRES_SHARED(mutex_);
  // A symlink's target never changes; no lock is needed to read it.
  const SymlinkNode* symlink() const;

  // --- the data lock ---
  // An update that ends in an exception marks the lock poisoned (the payload
  // may be half-updated), except a failed allocation: every update here
  // allocates before it changes anything. Every later attempt to take a
  // poisoned lock throws InternalError, and so does check_usable().

  // Holds the data lock for reading for its scope.
  class SCOPED_CAPABILITY ReadGuard {
   public:
    explicit ReadGuard(const INode& node) ACQUIRE_SHARED(node.mutex_) : mutex_(node.mutex_) {
      node.mutex_.lock_shared();
      if (node.poisoned()) {
        node.mutex_.unlock_shared();
        node.check_usable();  // throws
      }
    }
    ~ReadGuard() RELEASE() { mutex_.unlock_shared(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

   private:
    SharedMutex& mutex_;
  };

  // Runs f(*this) with the data lock held for writing and returns its result.
  // f names the lock it needs through its parameter, so that its body is
  // checked as holding it:
  //   node.update([&](INode& n) REQUIRES(n.data_lock()) { ... n.directory() ... });
  template <typename F>
  decltype(auto) update(F&& f) {
    WriterLock lock(mutex_);
    check_usable();
    // The lambda that poisons runs with the lock above held, which the
    // analysis cannot see through it.
    return poison_.guard([&]() NO_THREAD_SAFETY_ANALYSIS -> decltype(auto) { return f(*this); });
  }

  bool poisoned() const { return poison_.poisoned(); }
  // Throws InternalError if the data lock is poisoned. Readers of the fixed
  // fields call it where they would otherwise have taken the lock.
  void check_usable() const { poison_.check("a filesystem lock is poisoned"); }

  // Whether a removal has unlinked this inode (nothing is created below a
  // directory on its way out).
  bool unlinked() const REQUIRES_SHARED(mutex_) { return unlinked_; }
  void set_unlinked(bool value) REQUIRES(mutex_) { unlinked_ = value; }

  // `own_flag`: whether the file lock's value belongs to the filesystem that
  // shows the text (for a file shared with a fork, only one side's handles
  // count; the other side shows 0).
  std::string debug_string(bool own_flag = true) const;

 protected:
  INode(InodeId id, InodeId parent, std::size_t depth, KindTag tag, ShortString name)
      : id(id),
        parent(parent),
        tag(tag),
        depth(static_cast<std::uint8_t>(depth)),
        name(std::move(name)),
        mtime_ns(now_ns()) {}
  ~INode() = default;  // destroyed only through InodeRef, by kind

 private:
  // Takes the data lock for reading if that is possible right now (for the
  // debug text, which must not wait).
  bool try_lock_shared() const TRY_ACQUIRE_SHARED(true, mutex_) { return mutex_.try_lock_shared(); }
  void unlock_shared() const RELEASE_SHARED(mutex_) { mutex_.unlock_shared(); }
};

static_assert(sizeof(INode) == 64);

struct FileNode final : INode {
  FileNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, File&& file)
      : INode(id, parent, depth, KindTag::File, std::move(name)), data(std::move(file.data)) {
    file_lock.flag.store(file.lock.flag.load(), std::memory_order_relaxed);
  }
  FileData data;  // reached only through file(), which requires the data lock
};

struct DirectoryNode final : INode {
  DirectoryNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, Directory&& dir)
      : INode(id, parent, depth, KindTag::Directory, std::move(name)),
        children(std::move(dir.children)) {}
  ChildList children;  // reached only through directory(), which requires the data lock
};

struct SymlinkNode final : INode {
  SymlinkNode(InodeId id, InodeId parent, std::size_t depth, ShortString name, Symlink link)
      : INode(id, parent, depth, KindTag::Symlink, std::move(name)), target(link.target) {}
  const InodeId target;
};

static_assert(sizeof(FileNode) == 104);
static_assert(sizeof(DirectoryNode) == 72 && sizeof(SymlinkNode) == 72);

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
  // A copy of `node` (whose data lock the caller holds, for reading at
  // least) of generation `gen` with the file lock `flag`. The copy shares
  // the payload's bytes or entries until one of the two changes them.
  static InodeRef clone(const INode& node, std::uint64_t gen, std::int32_t flag);

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
