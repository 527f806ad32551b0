// FileSystem: an in-memory tree of inodes addressed by 64-bit ids and by
// slash-separated paths. Every operation may be called from several threads
// at once; errors are returned as values.
//
// Locks, outermost first:
//   0. the rename lock: a rename holds it for writing for its whole length;
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
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
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
  static std::shared_ptr<FileSystem> make();

  // Public for make_shared, but only make() can produce the tag.
  FileSystem(Private, std::uint64_t table_seed, HashKey name_key);
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

  // --- copies ---
  // The whole tree (names, bytes, ids, times and the next id) as bytes that
  // load() turns back into an independent filesystem. Open handles are not
  // part of it.
  std::string dump() const;
  // A new filesystem from the output of dump(); malformed input gives a
  // message saying what is wrong. Allocates no more than the input's size
  // warrants.
  static std::expected<std::shared_ptr<FileSystem>, std::string> load(std::string_view bytes);
  // Whether only the root exists and no id has been handed out.
  bool pristine() const { return next_inode_id() == 1; }

  // --- file handles (the handle shares ownership of the filesystem) ---
  static IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                   FileHandleType mode, bool create);
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

  // The entry of the inode that `id` finally stands for.
  IoResult<InodeRef> resolve(InodeId id) const;
  // `node` itself, or for a symlink the inode its chain finally stands for.
  IoResult<InodeRef> follow(InodeRef node) const;
  // The entry that a whole path (from the root) leads to.
  // `renaming`: the caller holds the rename lock for writing.
  IoResult<InodeRef> resolve_path(std::string_view path, bool renaming = false) const;
  // The child of `dir` named `name` (a plain name: not "", "." or ".."), as
  // listed: a symlink child is returned itself.
  IoResult<InodeRef> find_child(const INode& dir, std::string_view name,
                                bool renaming = false) const;
  // find_child's search among the symlink children, by their targets' names.
  IoResult<InodeRef> find_symlink_child(const std::vector<InodeId>& symlinks, std::string_view name,
                                        bool renaming) const;
  // create_inode below an entry that is already held: `parent` is the id
  // the caller named it by. Returns the new entry.
  IoResult<InodeRef> create_below(InodeId parent, INode& dir, std::string_view name,
                                  INodeKind kind);
  // mkdir and touch: create_below the entry that the parent path leads to.
  IoResult<void> create_at_path(std::string_view path, INodeKind kind);
  // Steps after the id is drawn: checks, the new inode, its table entry and
  // its parent's listing.
  IoResult<InodeRef> link_new(InodeId id, InodeId parent, INode& dir, std::string_view name,
                              INodeKind kind);
  // Takes a share of `node`'s file lock for a new handle that names `id`.
  IoResult<FileHandle> open_entry(std::shared_ptr<FileSystem> self, InodeId id, InodeRef node,
                                  FileHandleType mode) const;
  IoResult<void> remove_tree(InodeId id, bool recursive, std::size_t level);
  // Unlinks the claimed `node` from the directory that lists it and returns
  // that directory's reference to it.
  IoResult<InodeRef> unlink_claimed(INode& node);
  // For rename: the deepest level below `dir` (0 for a file or an empty
  // directory), and setting the depths below `dir` after it moved.
  std::size_t subtree_height(const INode& dir) const;
  void renumber_depths(INode& dir) const;

  InodeTable inodes_;
  std::atomic<InodeId> next_inode_id_{1};
  const HashKey hash_key_;  // keys the name index of every directory
  InodeRef root_;           // never removed, so paths start here without a lookup
  mutable SharedMutex rename_lock_;
};

}  // namespace lumvex
