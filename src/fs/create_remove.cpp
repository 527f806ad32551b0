// Creating and removing entries: the only writers of the directory tree.
#include "fs/filesystem.hpp"
#include "fs/path.hpp"

namespace lumvex {
namespace {

bool valid_entry_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (is_separator(c)) return false;
  return true;
}

}  // namespace

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string_view name, INodeKind kind) {
  if (!valid_entry_name(name)) return fail(IoErrorKind::ResourceAlreadyExists);
  const InodeId id = next_inode_id_.fetch_add(1);
  auto parent_entry = resolve(parent);
  if (!parent_entry) return fail(parent_entry.error());
  auto created = link_new(id, parent, **parent_entry, name, std::move(kind));
  if (!created) return fail(created.error());
  return id;
}

IoResult<InodeRef> FileSystem::create_below(InodeId parent, INode& dir, std::string_view name,
                                            INodeKind kind) {
  if (!valid_entry_name(name)) return fail(IoErrorKind::ResourceAlreadyExists);
  const InodeId id = next_inode_id_.fetch_add(1);
  return link_new(id, parent, dir, name, std::move(kind));
}

IoResult<InodeRef> FileSystem::link_new(InodeId id, InodeId parent, INode& dir,
                                        std::string_view name, INodeKind kind) {
  const std::size_t depth = dir.depth + std::size_t{1};
  if (depth > kMaxDepth) {
    // A taken name is reported before the depth; nothing can exist that deep.
    if (find_inode_by_name_with_handle(dir, name)) return fail(IoErrorKind::ResourceAlreadyExists);
    return fail(IoErrorKind::MaxRecursionDepthExceeded);
  }
  if (!dir.is_directory()) return fail(IoErrorKind::NotADirectory);  // kinds never change
  InodeRef node = InodeRef::make(id, parent, depth, ShortString(name), std::move(kind));

  // The new entry goes into the table before its parent lists it, so a
  // listed child can always be looked up. If linking fails it is taken out.
  inodes_.insert(node);
  IoResult<void> linked = fail(IoErrorKind::InodeNotFound);
  try {
    linked = dir.update([&](INode& d) REQUIRES(d.data_lock()) -> IoResult<void> {
      if (d.unlinked()) return fail(IoErrorKind::InodeNotFound);  // being removed
      if (!d.directory()->children.append(node, hash_key_))
        return fail(IoErrorKind::ResourceAlreadyExists);
      return {};
    });
  } catch (...) {
    inodes_.remove(id);
    throw;
  }
  if (!linked) {
    inodes_.remove(id);
    return fail(linked.error());
  }
  return node;
}

IoResult<void> FileSystem::create_at_path(std::string_view path, INodeKind kind) {
  auto [parent_path, name] = split_last(path);
  auto parent = resolve_path(parent_path);
  if (!parent) return fail(parent.error());
  auto created = create_below((*parent)->id, **parent, name, std::move(kind));
  if (!created) return fail(created.error());
  return {};
}

IoResult<void> FileSystem::mkdir(std::string_view path) {
  return create_at_path(path, Directory{});
}

IoResult<void> FileSystem::touch(std::string_view path) {
  return create_at_path(path, File{});
}

IoResult<void> FileSystem::rm(std::string_view path, bool recursive) {
  auto id = get_inode_by_path_raw(path);
  if (!id) return fail(id.error());
  return rm_raw(*id, recursive);
}

IoResult<void> FileSystem::rm_raw(InodeId id, bool recursive) {
  return remove_tree(id, recursive, 0);
}

// Removes `id` (and, if recursive, everything below it) depth-first. A
// symlink is removed itself; it is never followed. `level` bounds the
// recursion: trees are at most kMaxDepth deep, so anything deeper can only be
// a cycle through symlinks.
IoResult<void> FileSystem::remove_tree(InodeId id, bool recursive, std::size_t level) {
  if (level > kMaxDepth) return fail(IoErrorKind::MaxRecursionDepthExceeded);
  InodeRef entry = inodes_.find(id);
  if (!entry) return fail(IoErrorKind::InodeNotFound);

  // Phase 1: inspect, and empty a directory when asked to.
  bool is_directory = false;
  SmallVector<InodeId, 8> children;
  {
    const INode& node = *entry;
    INode::ReadGuard guard(node);
    if (const DirectoryNode* dir = node.directory()) {
      is_directory = true;
      if (recursive) {
        children = dir->children.ids();
      } else if (!dir->children.empty()) {
        return fail(IoErrorKind::DirectoryIsNotEmpty);
      }
    }
  }
  for (InodeId child : children) {
    auto removed = remove_tree(child, true, level + 1);
    if (!removed) return removed;
  }

  // The root is the filesystem itself: emptying it is all a removal does.
  if (id == kRootId) return {};

  // Phase 2: claim the entry, unlink it from its parent, release it.
  auto parent = resolve(entry->parent);
  if (!parent) return fail(parent.error());
  INode& node = *entry;
  auto claimed = node.update([&](INode& n) REQUIRES(n.data_lock()) -> IoResult<void> {
    if (n.unlinked()) return fail(IoErrorKind::InodeNotFound);  // another removal won
    // Kinds never change: the node is still what phase 1 saw.
    if (is_directory) {
      // Something created in it after the copy above makes the removal fail.
      if (!n.directory()->children.empty()) return fail(IoErrorKind::DirectoryIsNotEmpty);
    } else if (n.is_file()) {
      std::int32_t expected = 0;
      if (!n.file_lock.flag.compare_exchange_strong(expected, FileLock::REMOVED))
        return fail(IoErrorKind::ResourceCurrentInUse);
    }
    n.set_unlinked(true);
    return {};
  });
  if (!claimed) return claimed;
  InodeRef unlisted;  // the parent's reference, dropped after its lock
  // An entry is only ever linked below a directory, which stays one.
  (*parent)->update([&](INode& d) REQUIRES(d.data_lock()) {
    unlisted = d.directory()->children.remove(id, node.name.view());
  });
  release_inode_id(id);
  return {};
}

}  // namespace lumvex
