// Creating and removing entries: the only writers of the directory tree.
#include <vector>

#include "error/internal_error.hpp"
#include "fs/filesystem.hpp"
#include "fs/path.hpp"

namespace lumvex {
namespace {

// Marks `n` (whose data lock the caller holds, and which is still linked) as
// being removed: a directory must be empty, and a file must have no open
// handle, which from here on cannot be opened.
IoResult<void> claim_for_removal(INode& n) REQUIRES(n.data_lock()) {
  if (const DirectoryNode* d = n.directory()) {
    if (!d->children.empty()) return fail(IoErrorKind::DirectoryIsNotEmpty);
  } else if (n.is_file()) {
    std::int32_t expected = 0;
    if (!n.file_lock.flag.compare_exchange_strong(expected, FileLock::REMOVED)) {
      return fail(IoErrorKind::ResourceCurrentInUse);
    }
  }
  n.set_unlinked(true);
  return {};
}

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
  ChangeGuard change(*this);
  auto parent_entry = resolve(parent);
  if (!parent_entry) return fail(parent_entry.error());
  auto created =
      link_new(id, parent, std::move(*parent_entry), name, std::move(kind), /*want_entry=*/false);
  if (!created) return fail(created.error());
  return id;
}

IoResult<InodeRef> FileSystem::create_below(InodeId parent, InodeRef dir, std::string_view name,
                                            INodeKind kind, bool want_entry) {
  if (!valid_entry_name(name)) return fail(IoErrorKind::ResourceAlreadyExists);
  const InodeId id = next_inode_id_.fetch_add(1);
  return link_new(id, parent, std::move(dir), name, std::move(kind), want_entry);
}

IoResult<InodeRef> FileSystem::link_new(InodeId id, InodeId parent, InodeRef dir_entry,
                                        std::string_view name, INodeKind kind, bool want_entry) {
  const std::size_t depth = dir_entry->depth + std::size_t{1};
  if (depth > kMaxDepth) {
    // A taken name is reported before the depth; nothing can exist that deep.
    if (find_inode_by_name_with_handle(*dir_entry, name))
      return fail(IoErrorKind::ResourceAlreadyExists);
    return fail(IoErrorKind::MaxRecursionDepthExceeded);
  }
  if (!dir_entry->is_directory()) return fail(IoErrorKind::NotADirectory);  // kinds never change
  auto owned = own(std::move(dir_entry));
  if (!owned) return fail(owned.error());
  INode& dir = **owned;
  auto reserved = reserve_entries(1);
  if (!reserved) return fail(reserved.error());
  struct Unreserve {
    FileSystem& fs;
    bool keep = false;
    ~Unreserve() {
      if (!keep) fs.release_entries(1);
    }
  } unreserve{*this};
  InodeRef node = InodeRef::make(id, parent, depth, ShortString(name), std::move(kind));
  node->gen.store(gen_.load(std::memory_order_relaxed), std::memory_order_relaxed);

  // The new entry goes into the table before its parent lists it, so a
  // listed child can always be looked up. If linking fails it is taken out.
  inodes_.insert(node);
  IoResult<void> linked = fail(IoErrorKind::InodeNotFound);
  try {
    linked = dir.update([&](INode& d) REQUIRES(d.data_lock()) -> IoResult<void> {
      if (d.unlinked()) return fail(IoErrorKind::InodeNotFound);  // being removed
      // The depth is settled under the directory's lock (no rename runs
      // meanwhile: a rename holds the tree lock for writing).
      const std::size_t settled = d.depth + std::size_t{1};
      if (settled > kMaxDepth) return fail(IoErrorKind::MaxRecursionDepthExceeded);
      node->depth.store(static_cast<std::uint8_t>(settled), std::memory_order_relaxed);
      const std::int64_t made = node->mtime_ns.load(std::memory_order_relaxed);
      // The listing takes over this reference unless the caller wants one
      // (the table holds another either way).
      if (!d.directory()->children.append(want_entry ? node : std::move(node), hash_key_))
        return fail(IoErrorKind::ResourceAlreadyExists);
      d.mtime_ns.store(made, std::memory_order_relaxed);
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
  unreserve.keep = true;
  return node;
}

IoResult<void> FileSystem::create_at_path(std::string_view path, INodeKind kind) {
  auto [parent_path, name] = split_last(path);
  ChangeGuard change(*this);
  auto parent = resolve_path(parent_path, true);
  if (!parent) return fail(parent.error());
  const InodeId parent_id = (*parent)->id;
  auto created =
      create_below(parent_id, std::move(*parent), name, std::move(kind), /*want_entry=*/false);
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
  ChangeGuard change(*this);
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
  SmallVector<InodeId, 8> children;
  {
    const INode& node = *entry;
    INode::ReadGuard guard(node);
    if (const DirectoryNode* dir = node.directory()) {
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
  auto owned = own(std::move(entry));
  if (!owned) return fail(owned.error());
  INode& node = **owned;
  std::uint64_t size = 0;
  // (Kinds never change: the node is still what phase 1 saw, and something
  // created in a directory after the copy above makes the removal fail.)
  auto claimed = node.update([&](INode& n) REQUIRES(n.data_lock()) -> IoResult<void> {
    if (n.unlinked()) return fail(IoErrorKind::InodeNotFound);  // another removal won
    if (const FileNode* file = n.file()) size = file->data.data.size();
    return claim_for_removal(n);
  });
  if (!claimed) return claimed;
  auto unlisted = unlink_claimed(node);  // the parent's reference, dropped after its lock
  if (!unlisted) {
    // Nothing was removed: undo the claim.
    node.update([](INode& n) REQUIRES(n.data_lock()) {
      n.set_unlinked(false);
      if (n.is_file()) n.file_lock.flag.store(0);
    });
    return fail(unlisted.error());
  }
  release_inode_id(id);
  release_entries(1);
  release_bytes(size);
  return {};
}

IoResult<InodeRef> FileSystem::unlink_claimed(INode& node) {
  // A rename may move the entry to another directory between reading its
  // parent and locking that parent; under the parent's lock the entry stays
  // put, so a parent that no longer lists it is simply read again.
  for (;;) {
    const InodeId parent_id = node.parent.load();
    auto parent = resolve(parent_id);
    if (!parent) return fail(parent.error());
    InodeRef unlisted;
    bool moved = false;
    // An entry is only ever linked below a directory, which stays one.
    (*parent)->update([&](INode& d) REQUIRES(d.data_lock()) {
      if (node.parent.load() != parent_id) {
        moved = true;
        return;
      }
      unlisted = d.directory()->children.remove(node.id, node.name.view());
      d.mtime_ns.store(now_ns(), std::memory_order_relaxed);
    });
    if (!moved) return unlisted;
  }
}

// --- rename ---

namespace {

// Drops trailing separators; "" stands for the root.
std::string_view trim_trailing_separators(std::string_view path) {
  while (!path.empty() && is_separator(path.back())) path.remove_suffix(1);
  return path;
}

}  // namespace

std::size_t FileSystem::subtree_height(const INode& top) const {
  // Breadth-first, one level at a time, each directory's lock held only
  // while its children are read.
  std::vector<InodeRef> level{InodeRef(&top)};
  std::size_t height = 0;
  while (!level.empty()) {
    std::vector<InodeRef> next;
    for (const InodeRef& dir : level) {
      const INode& d = *dir;
      INode::ReadGuard guard(d);
      if (const DirectoryNode* node = d.directory())
        node->children.for_each_node([&](const INode& child) { next.emplace_back(&child); });
    }
    if (next.empty()) break;
    ++height;
    level = std::move(next);
  }
  return height;
}

IoResult<void> FileSystem::renumber_depths(InodeRef top) {
  // The rename holds every other change off. Each entry below is made this
  // filesystem's own before its depth changes.
  std::vector<InodeRef> pending{std::move(top)};
  while (!pending.empty()) {
    InodeRef dir = std::move(pending.back());
    pending.pop_back();
    std::vector<InodeRef> children;
    {
      const INode& d = *dir;
      INode::ReadGuard guard(d);
      const DirectoryNode* node = d.directory();
      if (node == nullptr) continue;
      node->children.for_each_node([&](const INode& child) { children.emplace_back(&child); });
    }
    const auto depth = static_cast<std::uint8_t>(dir->depth.load() + 1);
    for (InodeRef& child : children) {
      auto owned = own(std::move(child));
      if (!owned) return fail(owned.error());
      (*owned)->depth.store(depth, std::memory_order_relaxed);
      if ((*owned)->is_directory()) pending.push_back(std::move(*owned));
    }
  }
  return {};
}

IoResult<void> FileSystem::rename(std::string_view src_path, std::string_view dst_path) {
  WriterLock renaming(rename_lock_);  // parents and names hold still under it

  // The source: its directory and its name there.
  src_path = trim_trailing_separators(src_path);
  auto [src_parent_path, src_name] = split_last(src_path);
  if (src_path.empty()) return fail(IoErrorKind::ResourceCurrentInUse);  // the root
  auto src_dir = resolve_path(src_parent_path, true);
  if (!src_dir) return fail(src_dir.error());
  if (src_name == "." || src_name == "..") {
    auto target = resolve_path(src_path, true);
    if (!target) return fail(target.error());
    if ((*target)->id == kRootId) return fail(IoErrorKind::ResourceCurrentInUse);
    return fail(IoError::operation_not_supported("rename"));
  }
  auto src = find_child(**src_dir, src_name, true);
  if (!src) return fail(src.error());

  // The destination's directory and the new name.
  const std::string_view dst_trimmed = trim_trailing_separators(dst_path);
  if (dst_trimmed.empty()) {
    // The root as the destination: a directory that is never empty of
    // itself, and never replaced.
    return fail((*src)->is_directory() ? IoErrorKind::ResourceCurrentInUse : IoErrorKind::NotAFile);
  }
  auto [dst_parent_path, dst_name] = split_last(dst_trimmed);
  auto dst_dir = resolve_path(dst_parent_path, true);
  if (!dst_dir) return fail(dst_dir.error());
  if (!(*dst_dir)->is_directory()) return fail(IoErrorKind::NotADirectory);
  if (!valid_entry_name(dst_name)) return fail(IoErrorKind::ResourceAlreadyExists);

  // In a filesystem that shares, what changes becomes its own first: the
  // entry (and with it its directory), the destination directory and the
  // entry it replaces.
  InodeRef moving_ref = std::move(*src);
  InodeRef from_ref = std::move(*src_dir);
  InodeRef to_ref = std::move(*dst_dir);
  if (shares_.load(std::memory_order_relaxed)) {
    auto owned_src = own(std::move(moving_ref));
    if (!owned_src) return fail(owned_src.error());
    moving_ref = std::move(*owned_src);
    auto owned_to = own(std::move(to_ref));
    if (!owned_to) return fail(owned_to.error());
    to_ref = std::move(*owned_to);
    auto owned_from = own(inodes_.find(moving_ref->parent.load()));
    if (!owned_from) return fail(owned_from.error());
    from_ref = std::move(*owned_from);
    if (auto existing = find_child(*to_ref, dst_name, true);
        existing && existing->get() != moving_ref.get()) {
      auto owned_existing = own(std::move(*existing));
      if (!owned_existing) return fail(owned_existing.error());
    }
  }
  INode& moving = *moving_ref;
  INode& from = *from_ref;
  INode& to = *to_ref;

  // A directory cannot move below itself. Parents change only under the
  // rename lock, so the chain read here stays as it is.
  if (moving.is_directory()) {
    for (InodeRef up(&to);;) {
      if (up->id == moving.id) return fail(IoError::operation_not_supported("rename"));
      if (up->id == kRootId) break;
      auto next = resolve(up->parent.load());
      if (!next) return fail(next.error());
      up = std::move(*next);
    }
  }

  // Depth: moving up or sideways never goes too deep; moving down is
  // checked against the height of what moves.
  const std::size_t new_depth = to.depth + std::size_t{1};
  const std::size_t old_depth = moving.depth;
  const bool deeper = new_depth > old_depth;
  if (new_depth > kMaxDepth ||
      (deeper && moving.is_directory() && new_depth + subtree_height(moving) > kMaxDepth))
    return fail(IoErrorKind::MaxRecursionDepthExceeded);

  ShortString new_name(dst_name);   // allocated before anything changes
  InodeRef replaced;                // the entry that dst named, if any
  std::uint64_t replaced_size = 0;  // its bytes
  InodeRef moved;                   // the old listing's reference to src
  const std::int64_t now = now_ns();

  // Both directories are locked for writing, in id order (a single lock when
  // they are the same), and then the entry being replaced, if any.
  // The callers below hold both data locks for writing; the analysis cannot
  // follow them into a lambda that takes the two inodes as parameters.
  auto body = [&](INode& f, INode& t) NO_THREAD_SAFETY_ANALYSIS -> IoResult<void> {
    if (f.unlinked() || t.unlinked()) return fail(IoErrorKind::InodeNotFound);
    DirectoryNode* from_dir = f.directory();
    DirectoryNode* to_dir = t.directory();
    if (from_dir == nullptr || to_dir == nullptr) return fail(IoErrorKind::NotADirectory);
    // The source may have been removed since it was found.
    if (!moving.is_symlink() && from_dir->children.find(moving.name.view()) != &moving)
      return fail(IoErrorKind::InodeNotFound);
    const INode* existing = to_dir->children.find(dst_name);
    if (existing == &moving) return {};  // renamed onto itself
    to_dir->children.reserve_one(hash_key_, moving.is_symlink());
    if (existing != nullptr) {
      if (moving.is_directory() && !existing->is_directory())
        return fail(IoErrorKind::NotADirectory);
      if (!moving.is_directory() && existing->is_directory()) return fail(IoErrorKind::NotAFile);
      // The source's own directory (a move onto its parent) holds the source,
      // and its lock is held here already.
      if (existing == &f) return fail(IoErrorKind::DirectoryIsNotEmpty);
      InodeRef target(existing);
      auto claimed = target->update([&](INode& e) REQUIRES(e.data_lock()) -> IoResult<void> {
        if (e.unlinked()) return fail(IoErrorKind::ResourceCurrentInUse);  // a removal has it
        if (const FileNode* file = e.file()) replaced_size = file->data.data.size();
        return claim_for_removal(e);
      });
      if (!claimed) return claimed;
    }
    // From here on nothing can fail.
    if (existing != nullptr) replaced = to_dir->children.remove(existing->id, dst_name, true);
    moved = from_dir->children.remove(moving.id, moving.name.view(), true);
    std::swap(moving.name, new_name);
    moving.parent.store(t.id);
    moving.depth.store(static_cast<std::uint8_t>(new_depth));
    bool appended = false;
    try {
      appended = to_dir->children.append(std::move(moved), hash_key_);
    } catch (const std::bad_alloc&) {
      appended = false;  // the reservation above was undone by a compaction
    }
    // Either way the entry is unlisted now: the directories are not to be
    // trusted any more, which the poisoned locks say.
    if (!appended) throw InternalError("rename: relinking the entry failed");
    f.mtime_ns.store(now, std::memory_order_relaxed);
    t.mtime_ns.store(now, std::memory_order_relaxed);
    return {};
  };
  IoResult<void> done;
  if (&from == &to) {
    done = from.update([&](INode& d) REQUIRES(d.data_lock()) { return body(d, d); });
  } else {
    INode& first = from.id < to.id ? from : to;
    INode& second = from.id < to.id ? to : from;
    done = first.update([&](INode& a) REQUIRES(a.data_lock()) {
      return second.update(
          [&](INode& b) REQUIRES(b.data_lock()) { return &a == &from ? body(a, b) : body(b, a); });
    });
  }
  if (!done) return done;
  if (replaced) {
    const InodeId gone = replaced->id;
    replaced = nullptr;
    release_inode_id(gone);
    release_entries(1);
    release_bytes(replaced_size);
  }
  if (new_depth != old_depth && moving.is_directory()) return renumber_depths(moving_ref);
  return {};
}

}  // namespace lumvex
