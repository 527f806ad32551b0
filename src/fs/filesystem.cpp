// The inode store, path resolution and directory listing.
#include "fs/filesystem.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "error/internal_error.hpp"
#include "fs/path.hpp"

namespace lumvex {

namespace {

// Random words from the kernel. getrandom() (rather than std::random_device,
// whose libstdc++ build needs a newer glibc than the rest of the module) only
// blocks before the kernel's pool is first seeded, early in boot.
void random_words(std::uint64_t* out, std::size_t count) {
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  std::size_t left = count * sizeof *out;
  while (left > 0) {
    const ssize_t got = getrandom(bytes, left, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw InternalError(std::string("getrandom failed: ") + std::strerror(errno));
    }
    bytes += got;
    left -= static_cast<std::size_t>(got);
  }
}

}  // namespace

std::shared_ptr<FileSystem> FileSystem::make(FsLimits limits) {
  std::uint64_t words[3];
  random_words(words, 3);
  const HashKey name_key{words[1], words[2]};
  return std::make_shared<FileSystem>(Private{}, words[0], name_key, limits);
}

FileSystem::FileSystem(Private, std::uint64_t table_seed, HashKey name_key, FsLimits limits)
    : inodes_(table_seed),
      hash_key_(name_key),
      generations_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      gen_(0),
      birth_(0),
      limits_(limits) {
  root_ = InodeRef::make(kRootId, kRootId, 0, ShortString(), Directory{});
  inodes_.insert(root_);
}

// --- forks ---

FileSystem::FileSystem(Private, FileSystem& from, std::uint64_t table_seed)
    : inodes_(from.inodes_, table_seed),
      next_inode_id_(from.next_inode_id_.load()),
      hash_key_(from.hash_key_),
      generations_(from.generations_),
      gen_(generations_->fetch_add(1) + 1),
      birth_(gen_.load()),
      limits_(from.limits_),
      bytes_(from.bytes_.load()),
      entries_(from.entries_.load()) {
  shares_.store(true, std::memory_order_relaxed);
  inodes_.set_generation(gen_.load());
  {
    // A root of its own, sharing the entries until one side changes them.
    INode::ReadGuard guard(*from.root_);
    root_ = InodeRef::clone(*from.root_, gen_.load(), 0);
  }
  inodes_.insert(root_);
}

std::shared_ptr<FileSystem> FileSystem::fork() {
  std::uint64_t seed = 0;
  random_words(&seed, 1);
  WriterLock held(rename_lock_);  // no change runs meanwhile
  auto forked = std::make_shared<FileSystem>(Private{}, *this, seed);
  // Everything made so far is now read-only to this side too, except the
  // root, which stays this side's alone.
  const std::uint64_t gen = generations_->fetch_add(1) + 1;
  gen_.store(gen);
  inodes_.set_generation(gen);
  root_->gen.store(gen, std::memory_order_relaxed);
  shares_.store(true, std::memory_order_release);
  return forked;
}

IoResult<InodeRef> FileSystem::own(InodeRef node) {
  if (!node) return fail(IoErrorKind::InodeNotFound);
  if (is_own(*node)) return node;
  // `node` may be a version this filesystem has copied already.
  InodeRef current = inodes_.find(node->id);
  if (!current) return fail(IoErrorKind::InodeNotFound);
  if (is_own(*current)) return current;
  check_invariant(current->id != kRootId, "a filesystem's root is shared");
  InodeRef listed_in = inodes_.find(current->parent.load());
  if (!listed_in) return fail(IoErrorKind::InodeNotFound);
  auto parent = own(std::move(listed_in));
  if (!parent) return parent;
  InodeRef copy;
  InodeRef previous;
  const bool moves_handles = current->is_file() && flag_is_ours(*current);
  // The copy is made and put in place with the original's data lock held
  // for writing: shares are taken and given back under it held for reading
  // (without the tree lock), so none is lost on the way to the copy, and
  // none is taken on the copy before it has the original's state. Only
  // readers and handles run meanwhile, and they hold one data lock at a
  // time, so taking the parent's lock inside cannot deadlock.
  current->update([&](INode& n) REQUIRES(n.data_lock()) {
    copy = InodeRef::clone(n, gen_.load(), moves_handles ? n.file_lock.flag.load() : 0);
    // The table first: if the parent's entries cannot be copied, it is put
    // back and nothing has changed.
    previous = inodes_.insert(copy);
    try {
      (*parent)->update([&](INode& d) REQUIRES(d.data_lock()) {
        previous = d.directory()->children.replace(n, copy);
      });
    } catch (const std::bad_alloc&) {
      inodes_.insert(current);
      throw;
    }
    // Handles on the original find the copy through the table from here on.
    if (moves_handles) n.file_lock.flag.store(FileLock::MOVED, std::memory_order_release);
  });
  check_invariant(previous.get() == current.get(), "a copied entry was not listed");
  return copy;
}

void FileSystem::follow_moved(InodeRef& file) const {
  // The copy is in the table before the original is marked.
  InodeRef next = inodes_.find(file->id);
  check_invariant(next && next.get() != file.get(), "a moved file has no copy");
  file = std::move(next);
}

namespace {

IoResult<void> reserve_up_to(std::atomic<std::uint64_t>& total, std::uint64_t amount,
                             const std::optional<std::uint64_t>& limit, const char* name) {
  if (!limit) return {};  // nothing is counted without a limit (nor in its forks)
  std::uint64_t current = total.load(std::memory_order_relaxed);
  do {
    if (amount > *limit || current > *limit - amount) return fail(IoError::limit_exceeded(name));
  } while (!total.compare_exchange_weak(current, current + amount, std::memory_order_relaxed));
  return {};
}

}  // namespace

IoResult<void> FileSystem::reserve_entries(std::uint64_t count) {
  return reserve_up_to(entries_, count, limits_.max_entries, "max_entries");
}

IoResult<void> FileSystem::reserve_bytes(std::uint64_t delta) {
  return reserve_up_to(bytes_, delta, limits_.max_bytes, "max_bytes");
}

IoResult<InodeRef> FileSystem::resolve(InodeId id) const {
  if (id == kRootId) return root_;
  InodeRef node = inodes_.find(id);
  if (!node) return fail(IoErrorKind::InodeNotFound);
  return follow(std::move(node));
}

IoResult<InodeRef> FileSystem::follow(InodeRef node) const {
  for (int hops = 0;; ++hops) {
    node->check_usable();
    const SymlinkNode* link = node->symlink();
    if (link == nullptr) return node;
    if (hops == kMaxSymlinkHops) return fail(IoErrorKind::MaxRecursionDepthExceeded);
    node = inodes_.find(link->target);
    if (!node) return fail(IoErrorKind::InodeNotFound);
  }
}

IoResult<InodeId> FileSystem::get_inode_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return fail(node.error());
  return (*node)->id;
}

IoResult<bool> FileSystem::is_directory_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return fail(node.error());
  (*node)->check_usable();
  return (*node)->is_directory();
}

IoResult<bool> FileSystem::is_file_raw(InodeId id) const {
  auto is_dir = is_directory_raw(id);
  if (!is_dir) return fail(is_dir.error());
  return !*is_dir;
}

void FileSystem::release_inode_id(InodeId id) {
  // The root is the filesystem itself and is never released. Any other
  // entry is destroyed here, outside every table lock, unless a guard still
  // holds it; then it goes with the last guard.
  if (id != kRootId) inodes_.remove(id);
}

IoResult<InodeRef> FileSystem::find_child(const INode& dir, std::string_view name,
                                          bool renaming) const {
  std::vector<InodeId> symlinks;
  {
    INode::ReadGuard guard(dir);
    const DirectoryNode* node = dir.directory();
    if (node == nullptr) return fail(IoErrorKind::NotADirectory);
    // The listing holds the child, so it lives at least until the guard goes.
    if (const INode* child = node->children.find(name)) return InodeRef(child);
    if (node->children.symlinks().empty()) return fail(IoErrorKind::InodeNotFound);
    symlinks = node->children.symlinks();
  }
  return find_symlink_child(symlinks, name, renaming);
}

IoResult<InodeRef> FileSystem::find_symlink_child(const std::vector<InodeId>& symlinks,
                                                  std::string_view name,
                                                  bool renaming) const NO_THREAD_SAFETY_ANALYSIS {
  // Symlink children answer to their target's name. They are resolved with
  // the directory's lock released, so a link back to the directory itself
  // cannot deadlock; the rename lock keeps the targets' names still.
  if (!renaming) rename_lock_.lock_shared();
  struct Unlock {
    const FileSystem& fs;
    bool held;
    ~Unlock() NO_THREAD_SAFETY_ANALYSIS {
      if (held) fs.rename_lock_.unlock_shared();
    }
  } unlock{*this, !renaming};
  for (InodeId link : symlinks) {
    auto target = resolve(link);
    if (!target) return fail(target.error());
    if ((*target)->name.view() != name) continue;
    InodeRef entry = inodes_.find(link);
    if (!entry) return fail(IoErrorKind::InodeNotFound);
    return entry;
  }
  return fail(IoErrorKind::InodeNotFound);
}

IoResult<InodeId> FileSystem::find_inode_by_name_with_handle(const INode& entry,
                                                             std::string_view name) const {
  if (name.empty() || name == ".") return entry.id;
  if (name == "..") return entry.parent;
  {
    // Only the id is wanted: no reference to the child is taken.
    INode::ReadGuard guard(entry);
    const DirectoryNode* dir = entry.directory();
    if (dir == nullptr) return fail(IoErrorKind::NotADirectory);
    if (const INode* child = dir->children.find(name)) return child->id;
    if (dir->children.symlinks().empty()) return fail(IoErrorKind::InodeNotFound);
  }
  auto child = find_child(entry, name);
  if (!child) return fail(child.error());
  return (*child)->id;
}

IoResult<InodeId> FileSystem::find_inode_by_name(InodeId dir, std::string_view name) const {
  auto entry = resolve(dir);
  if (!entry) return fail(entry.error());
  return find_inode_by_name_with_handle(**entry, name);
}

IoResult<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  auto entry = resolve_path(path);
  if (!entry) return fail(entry.error());
  return (*entry)->id;
}

IoResult<InodeRef> FileSystem::resolve_path(std::string_view path, bool renaming) const {
  InodeRef entry = root_;
  for (std::string_view component : PathComponents(path)) {
    if (component.empty() || component == ".") continue;
    auto next =
        component == ".." ? resolve(entry->parent) : find_child(*entry, component, renaming);
    if (!next) return fail(next.error());
    if ((*next)->is_symlink()) {
      next = follow(std::move(*next));
      if (!next) return fail(next.error());
    } else {
      (*next)->check_usable();
    }
    entry = std::move(*next);
  }
  return entry;
}

IoResult<std::string> FileSystem::get_path_by_inode(InodeId id) const {
  if (id == kRootId) return std::string("/");
  ReaderLock names(rename_lock_);  // no entry on the way moves or changes its name
  // Depth is bounded, so the chain fits on the stack; a longer one can only
  // come from corrupt links.
  std::array<InodeRef, kMaxDepth + 1> chain;
  std::size_t length = 0;
  std::size_t bytes = 0;
  for (InodeId current = id; current != kRootId;) {
    if (length == chain.size()) return fail(IoErrorKind::MaxRecursionDepthExceeded);
    auto node = resolve(current);
    if (!node) return fail(node.error());
    current = (*node)->parent;
    bytes += (*node)->name.size() + 1;
    chain[length++] = std::move(*node);
  }
  std::string path;
  path.reserve(bytes);
  for (std::size_t i = length; i-- > 0;) {
    path += '/';
    path += chain[i]->name.view();
  }
  return path;
}

IoResult<Listing> FileSystem::ls_raw(InodeId id) const {
  auto node = resolve(id);
  if (!node) return fail(node.error());
  Listing listing;
  SmallVector<InodeId, 8> children;
  {
    const INode& entry = **node;
    INode::ReadGuard guard(entry);
    const DirectoryNode* dir = entry.directory();
    if (dir == nullptr) return fail(IoErrorKind::NotADirectory);
    if (dir->children.symlinks().empty()) {
      // The directory lists its children, which know their names and kinds
      // (both fixed): no other lock is taken.
      dir->children.list_names(listing.first, listing.second);
      return listing;
    }
    children = dir->children.ids();
  }
  // With symlinks among the children, each child is resolved to its target
  // for the target's name and kind. A child removed meanwhile is skipped.
  ReaderLock names(rename_lock_);
  for (InodeId child : children) {
    auto resolved = resolve(child);
    if (!resolved) continue;
    const INode& entry = **resolved;
    (entry.is_directory() ? listing.second : listing.first).emplace_back(entry.name.view());
  }
  return listing;
}

IoResult<StatInfo> FileSystem::stat(std::string_view path) const {
  auto entry = resolve_path(path);
  if (!entry) return fail(entry.error());
  const INode& node = **entry;
  StatInfo info;
  info.id = node.id;
  info.is_directory = node.is_directory();
  info.nlink = info.is_directory ? 2 : 1;
  if (node.is_file()) {
    INode::ReadGuard guard(node);
    info.size = node.file()->data.data.size();
    info.mtime_ns = node.mtime_ns.load(std::memory_order_relaxed);
  } else {
    info.mtime_ns = node.mtime_ns.load(std::memory_order_relaxed);
  }
  return info;
}

IoResult<std::size_t> FileSystem::read_file(
    std::string_view path, const std::function<std::uint8_t*(std::size_t)>& sink) const {
  auto entry = resolve_path(path);
  if (!entry) return fail(entry.error());
  auto node = follow(std::move(*entry));
  if (!node) return fail(node.error());
  const INode& file = **node;
  if (!file.is_file()) return fail(IoErrorKind::NotAFile);
  INode::ReadGuard guard(file);
  if (file.file_lock.flag.load(std::memory_order_acquire) == FileLock::WRITE_EXCLUSIVE)
    return fail(IoErrorKind::ResourceCurrentInUse);
  const FileBytes& bytes = file.file()->data.data;
  std::uint8_t* out = sink(bytes.size());
  if (out == nullptr) return 0;
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return bytes.size();
}

std::string FileSystem::debug_string() const {
  ReaderLock names(rename_lock_);  // names are read without their parents' locks
  std::string out = "FileSystem { inodes: {";
  bool first = true;
  inodes_.for_each([&](InodeId id, const INode& node) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(id);
    out += ": ";
    out += node.debug_string(flag_is_ours(node));
  });
  out += "}, next_inode_id: ";
  out += std::to_string(next_inode_id_.load());
  out += " }";
  return out;
}

}  // namespace lumvex
