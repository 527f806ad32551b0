// FileSystem: an in-memory tree of inodes addressed by 64-bit ids and by
// slash-separated paths. Every operation may be called from several threads
// at once; errors are returned as values.
//
// Locks, outermost first:
//   0. the tree lock: a rename and a fork hold it for writing for their
//      whole length; every other change holds it for reading (or, in a
//      filesystem that shares inodes with a fork, for writing: see below),
//      except taking and giving back a file's share in a filesystem that
//      never shared (open of an existing file, close) and a write to a file
//      the filesystem owns when it counts no bytes (see FileHandle::write);
//      readers that need a stable tree shape or stable names outside their
//      parent's data lock (paths of ids, the debug text, dumps) hold it for
//      reading. Nothing waits for it while holding another lock;
//   1. an inode's data lock (inside INode). Only a rename holds two or three
//      at once (the two parents in id order, then the entry it replaces), and
//      renames are serialised by the rename lock; every other operation lets
//      one go before it takes the next, so no order between inodes is needed
//      there;
//   2. the inode table's chunk locks (leaves, held only inside InodeTable).
// Entry guards (InodeRef) are counted references and never block.
//
// A path step goes from a directory to its child through the directory's
// name index, which holds the child itself; the inode table is consulted
// only for lookups by id (and for "..", and symlink targets).
//
// Forks. fork() makes a second filesystem that shares every inode, every
// directory's entries, every file's bytes and the table's segments with this
// one, at a cost that does not depend on their number. Each inode, table
// chunk and segment carries the generation of the filesystem that made it;
// a fork gives both sides new generations, so that everything made before
// it is read-only to both. A change copies what it changes first: the inode
// (its bytes or entries stay shared until they change themselves), then its
// parent, whose entry now names the copy, and so on up to the root, which
// is never shared. Each side's table is pointed at its copies the same way.
// While a filesystem shares, its changes take the tree lock for writing and
// so run one at a time: a copy is then never made twice, and a fork (which
// takes the lock for writing too) sees every change entirely or not at all.
// Reads run alongside: what they hold is either the original or a copy made
// from it under its data lock.
//
// Open-handle state (the file lock) belongs to the filesystem that made the
// inode: a fork's handles live on its own copies, so a file that is shared
// counts as free in the fork. The maker's handles stay on the shared inode;
// when the maker copies it, the state moves to the copy under the original's
// data lock, held for writing, and the original is marked FileLock::MOVED,
// which tells those handles to look the file up again. Shares are taken and
// given back under the data lock held for reading, so none is lost on the
// way.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sip_hash.hpp"
#include "error/io_error.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"

namespace lumvex {

class FileHandle;
struct FileHandleType;

// Bounds on what a filesystem holds; absent means unbounded.
struct FsLimits {
  std::optional<std::uint64_t> max_bytes;    // total size of the files it can reach
  std::optional<std::uint64_t> max_entries;  // files and directories, the root not counted
};

// Result of a directory listing: names of the non-directories, then of the
// directories, each in creation order.
using Listing = std::pair<std::vector<std::string>, std::vector<std::string>>;

// What stat tells about an entry.
struct StatInfo {
  InodeId id = 0;
  bool is_directory = false;
  std::uint64_t size = 0;   // bytes of a file; 0 for a directory
  std::uint64_t nlink = 1;  // 1 for a file, 2 for a directory
  std::int64_t mtime_ns = 0;
};

class FileSystem {
  class Private;  // a tag that only make() can produce

 public:
  // Symlink chains longer than this end in MaxRecursionDepthExceeded.
  static constexpr int kMaxSymlinkHops = 40;

  // A new filesystem holding only the root directory (id 0); the next id is 1.
  static std::shared_ptr<FileSystem> make(FsLimits limits = {});

  // Public for make_shared, but only make() can produce the tag.
  FileSystem(Private, std::uint64_t table_seed, HashKey name_key, FsLimits limits);
  // The fork's constructor (see fork()); `from`'s changes are held off.
  FileSystem(Private, FileSystem& from, std::uint64_t table_seed);
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // --- inode store ---
  // Follows symlinks from `id` to the inode it finally stands for.
  IoResult<InodeId> get_inode_raw(InodeId id) const;
  // True for anything that is not a directory (after following symlinks).
  IoResult<bool> is_file_raw(InodeId id) const;
  IoResult<bool> is_directory_raw(InodeId id) const;
  // Deletes the table entry of `id` (absent ids are ignored). The caller has
  // already unlinked it from its directory.
  void release_inode_id(InodeId id);
  // The table entry of `id`, or null.
  InodeRef lookup(InodeId id) const { return inodes_.find(id); }
  // The id the next creation will take.
  InodeId next_inode_id() const { return next_inode_id_.load(); }
  std::size_t inode_count() const { return inodes_.size(); }

  // --- paths ---
  IoResult<InodeId> find_inode_by_name(InodeId dir, std::string_view name) const;
  IoResult<InodeId> find_inode_by_name_with_handle(const INode& entry, std::string_view name) const;
  // Resolves a whole path from the root; "/" and "\" both separate.
  IoResult<InodeId> get_inode_by_path_raw(std::string_view path) const;
  IoResult<std::string> get_path_by_inode(InodeId id) const;

  // --- creating and removing ---
  IoResult<InodeId> create_inode(InodeId parent, std::string_view name, INodeKind kind);
  IoResult<void> mkdir(std::string_view path);
  IoResult<void> touch(std::string_view path);
  IoResult<void> rm_raw(InodeId id, bool recursive);
  IoResult<void> rm(std::string_view path, bool recursive);

  // Moves the entry at `src` to the path `dst` in one step, whatever it
  // holds: its id, its bytes or its subtree and every open handle stay with
  // it. An existing `dst` is replaced if it is a file and `src` is one, or an
  // empty directory and `src` is a directory. Errors:
  //   InodeNotFound             src, or the parent of dst, does not exist
  //   NotADirectory             a directory onto a file; dst's parent a file
  //   NotAFile                  a file onto a directory
  //   DirectoryIsNotEmpty       dst is a directory with entries
  //   ResourceCurrentInUse      src is the root; dst is a file with an open handle
  //   ResourceAlreadyExists     dst's last name is not a valid entry name
  //   MaxRecursionDepthExceeded the moved tree would reach below kMaxDepth
  //   OperationNotSupported("rename")  a directory into its own subtree, or a
  //                             src path that ends in "." or ".."
  IoResult<void> rename(std::string_view src, std::string_view dst);

  // --- listing and stat ---
  IoResult<Listing> ls_raw(InodeId id) const;
  IoResult<StatInfo> stat(std::string_view path) const;
  // The whole content of the file at `path`, read in one step under the
  // file's lock without opening it: once its size c is known, sink(c) gives
  // room for exactly c bytes (null: nothing is read). A file that a handle
  // holds for writing is ResourceCurrentInUse, as opening it would be.
  IoResult<std::size_t> read_file(std::string_view path,
                                  const std::function<std::uint8_t*(std::size_t)>& sink) const;

  // --- forks and limits ---
  // A new filesystem with this one's tree, bytes, ids, next id and limits,
  // independent of it from here on (see the notes at the top).
  std::shared_ptr<FileSystem> fork();
  const FsLimits& limits() const { return limits_; }

  // --- copies ---
  // The whole tree (names, bytes, ids, times and the next id) as bytes that
  // load() turns back into an independent filesystem. Open handles are not
  // part of it.
  std::string dump() const;
  // A new filesystem from the output of dump(); malformed input gives a
  // message saying what is wrong. Allocates no more than the input's size
  // warrants.
  static std::expected<std::shared_ptr<FileSystem>, std::string> load(std::string_view bytes,
                                                                      FsLimits limits = {});
  // The largest id that load() takes from an image of `size` bytes (after
  // its header); the next id it takes is at most one more.
  static constexpr InodeId max_loaded_id(std::size_t size) {
    return std::max<InodeId>(InodeId{1} << 26, InodeId{1024} * size);
  }
  // Whether only the root exists and no id has been handed out.
  bool pristine() const { return next_inode_id() == 1; }

  // --- file handles (the handle shares ownership of the filesystem) ---
  static IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                   FileHandleType mode, bool create);
  // Creates the file at `path` and opens it, in one step: an existing entry
  // is ResourceAlreadyExists. Opened with WRITE, no one sees the new file
  // unlocked before the handle lets it go.
  static IoResult<FileHandle> open_new(std::shared_ptr<FileSystem> fs, std::string_view path,
                                       FileHandleType mode);
  static IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                       FileHandleType mode);

  // Debug text: FileSystem { inodes: {...}, next_inode_id: n }.
  std::string debug_string() const;

 private:
  class Private {
   public:
    explicit Private() = default;
  };
  friend class FileHandle;

 public:
  // Holds the tree lock for one change (see the notes at the top).
  class ChangeGuard;

 private:
  // `node` as this filesystem's own, so that it can be changed: itself if it
  // is, or else a copy that replaces it in the table and in its parent's
  // entries (the parent made our own first). The caller holds a ChangeGuard.
  IoResult<InodeRef> own(InodeRef node);
  bool is_own(const INode& node) const {
    return node.gen.load(std::memory_order_relaxed) == gen_.load(std::memory_order_relaxed);
  }
  // Whether a file's open-handle state on `node` is this filesystem's.
  bool flag_is_ours(const INode& node) const {
    return node.gen.load(std::memory_order_relaxed) >= birth_;
  }
  // Makes `file` (which a handle holds) the current version of the file, if
  // it was copied since.
  void refresh_file(InodeRef& file) const {
    while (file->file_lock.flag.load(std::memory_order_acquire) == FileLock::MOVED)
      follow_moved(file);
  }
  void follow_moved(InodeRef& file) const;
  // Accounts for `count` more entries or `delta` more bytes, or fails with
  // LimitExceeded and accounts for nothing.
  IoResult<void> reserve_entries(std::uint64_t count);
  IoResult<void> reserve_bytes(std::uint64_t delta);
  void release_entries(std::uint64_t count) {
    if (limits_.max_entries) entries_.fetch_sub(count, std::memory_order_relaxed);
  }
  void release_bytes(std::uint64_t delta) {
    if (limits_.max_bytes) bytes_.fetch_sub(delta, std::memory_order_relaxed);
  }

  // The entry of the inode that `id` finally stands for.
  IoResult<InodeRef> resolve(InodeId id) const;
  // `node` itself, or for a symlink the inode its chain finally stands for.
  IoResult<InodeRef> follow(InodeRef node) const;
  // The entry that a whole path (from the root) leads to.
  // `renaming`: the caller holds the tree lock (a ChangeGuard, or for a
  // rename the lock itself).
  IoResult<InodeRef> resolve_path(std::string_view path, bool renaming = false) const;
  // The child of `dir` named `name` (a plain name: not "", "." or ".."), as
  // listed: a symlink child is returned itself.
  IoResult<InodeRef> find_child(const INode& dir, std::string_view name,
                                bool renaming = false) const;
  // find_child's search among the symlink children, by their targets' names.
  IoResult<InodeRef> find_symlink_child(const std::vector<InodeId>& symlinks, std::string_view name,
                                        bool renaming) const;
  // create_inode below an entry that is already held: `parent` is the id
  // the caller named it by. Returns the new entry if `want_entry`, else null.
  IoResult<InodeRef> create_below(InodeId parent, InodeRef dir, std::string_view name,
                                  INodeKind kind, bool want_entry = true);
  // mkdir and touch: create_below the entry that the parent path leads to.
  IoResult<void> create_at_path(std::string_view path, INodeKind kind);
  // Steps after the id is drawn: checks, the new inode, its table entry and
  // its parent's listing.
  IoResult<InodeRef> link_new(InodeId id, InodeId parent, InodeRef dir, std::string_view name,
                              INodeKind kind, bool want_entry);
  // Takes a share of `node`'s file lock for a new handle that names `id`.
  // `guarded`: the caller holds a ChangeGuard; without one (only in a
  // filesystem that never shared) the file is not made our own first.
  IoResult<FileHandle> open_entry(std::shared_ptr<FileSystem> self, InodeId id, InodeRef node,
                                  FileHandleType mode, bool guarded);
  // open() with the tree lock held (`guarded`) or not. Unguarded, a file
  // that is missing and to be created gives nothing: creating needs the lock.
  // Whether an open creates the file: never, when it is missing, or always
  // (an existing one is then ResourceAlreadyExists).
  enum class Creation { Never, IfMissing, Always };
  std::optional<IoResult<FileHandle>> open_path(std::shared_ptr<FileSystem> self,
                                                std::string_view path, FileHandleType mode,
                                                Creation create, bool guarded);
  static IoResult<FileHandle> open_with(std::shared_ptr<FileSystem> fs, std::string_view path,
                                        FileHandleType mode, Creation create);
  IoResult<void> remove_tree(InodeId id, bool recursive, std::size_t level);
  // Unlinks the claimed `node` from the directory that lists it and returns
  // that directory's reference to it.
  IoResult<InodeRef> unlink_claimed(INode& node);
  // For rename: the deepest level below `dir` (0 for a file or an empty
  // directory), and setting the depths below `dir` after it moved.
  std::size_t subtree_height(const INode& dir) const;
  IoResult<void> renumber_depths(InodeRef dir);

  InodeTable inodes_;
  std::atomic<InodeId> next_inode_id_{1};
  const HashKey hash_key_;  // keys the name index of every directory (forks keep it)
  InodeRef root_;           // never removed or shared, so paths start here without a lookup
  mutable SharedMutex rename_lock_;  // the tree lock
  // Generations come from a counter that a filesystem shares with its forks
  // (and theirs), so that no two of them ever use the same one.
  std::shared_ptr<std::atomic<std::uint64_t>> generations_;
  // What this filesystem makes now; changed by a fork, with every change
  // held off but for an unguarded write (see FileHandle::write).
  std::atomic<std::uint64_t> gen_;
  const std::uint64_t birth_;        // its first generation: inodes from before are a parent's
  std::atomic<bool> shares_{false};  // set by a fork, on both sides, for good
  const FsLimits limits_;
  // What the limits count (each only while its limit is set): the total
  // size of the files this filesystem can reach, and its entries besides
  // the root.
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> entries_{0};
};

// Holds the tree lock for one change: for reading, or for writing while the
// filesystem shares inodes with a fork (see the notes in the header).
class FileSystem::ChangeGuard {
 public:
  explicit ChangeGuard(const FileSystem& fs) NO_THREAD_SAFETY_ANALYSIS : lock_(fs.rename_lock_) {
    if (!fs.shares_.load(std::memory_order_acquire)) {
      lock_.lock_shared();
      // shares_ is set only with the lock held for writing.
      if (!fs.shares_.load(std::memory_order_relaxed)) return;
      lock_.unlock_shared();
    }
    lock_.lock();
    exclusive_ = true;
  }
  ~ChangeGuard() NO_THREAD_SAFETY_ANALYSIS {
    if (exclusive_) {
      lock_.unlock();
    } else {
      lock_.unlock_shared();
    }
  }
  ChangeGuard(const ChangeGuard&) = delete;
  ChangeGuard& operator=(const ChangeGuard&) = delete;

 private:
  SharedMutex& lock_;
  bool exclusive_ = false;
};

}  // namespace lumvex
