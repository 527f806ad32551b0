// FileSystem: an in-memory tree of inodes addressed by 64-bit ids and by
// slash-separated paths. Every operation may be called from several threads
// at once; errors are returned as values.
//
// Locks, outermost first:
//   1. an inode's data lock (inside INode). No operation holds two at once:
//      name searches, symlink chains and listings let one go before they
//      take the next, so no order between inodes is needed;
//   2. the inode table's chunk locks (leaves, held only inside InodeTable).
// Entry guards (InodeRef) are counted references and never block.
//
// A path step goes from a directory to its child through the directory's
// name index, which holds the child itself; the inode table is consulted
// only for lookups by id (and for "..", and symlink targets).
#pragma once

#include <atomic>
#include <cstdint>
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

  // --- listing ---
  IoResult<Listing> ls_raw(InodeId id) const;

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
  IoResult<InodeRef> resolve_path(std::string_view path) const;
  // The child of `dir` named `name` (a plain name: not "", "." or ".."), as
  // listed: a symlink child is returned itself.
  IoResult<InodeRef> find_child(const INode& dir, std::string_view name) const;
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

  InodeTable inodes_;
  std::atomic<InodeId> next_inode_id_{1};
  const HashKey hash_key_;  // keys the name index of every directory
  InodeRef root_;           // never removed, so paths start here without a lookup
};

}  // namespace lumvex
