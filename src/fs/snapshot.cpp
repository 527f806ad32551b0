// Copies of a whole filesystem as bytes: dump() and load().
//
// Layout (integers little-endian):
//   "LVXFS\0\0\1"                  magic and format version 1
//   u64 next_inode_id
//   the root's record, then nothing more
// A record is
//   u8 kind (0 file, 1 directory, 2 symlink: nothing makes symlinks, and
//   the loader refuses them), u64 id, i64 mtime_ns,
//   u32 name length, the name's bytes (UTF-8; empty for the root only),
// followed by its payload:
//   file:      u64 length, the bytes
//   directory: u64 number of children, then each child's record, in order
//   symlink:   u64 target id
// The loader trusts nothing: every length is checked against what is left of
// the input before anything is allocated for it, and ids are bounded (the
// inode table's index grows with the largest id in use, an eighth of a byte
// per id), so a hostile input can cost no more memory than a fixed amount
// plus a multiple of its own size. An image whose live ids are sparser than
// that bound allows (one id in 1024 per byte, beyond the first 2^26 ids) is
// refused, and so is one whose next id lies beyond it: the next creation
// would place its entry there.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/utf8.hpp"
#include "fs/filesystem.hpp"
#include "fs/path.hpp"

namespace lumvex {
namespace {

constexpr char kMagic[8] = {'L', 'V', 'X', 'F', 'S', '\0', '\0', '\1'};
// The smallest record: kind, id, time, name length and an 8-byte payload word.
constexpr std::size_t kMinRecord = 1 + 8 + 8 + 4 + 8;

void put_u64(std::string& out, std::uint64_t value) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  out.append(bytes, 8);
}

void put_u32(std::string& out, std::uint32_t value) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  out.append(bytes, 4);
}

// Reads the input front to back; any read past its end fails.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  bool u8(std::uint8_t& out) {
    if (rest_.empty()) return false;
    out = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return true;
  }
  bool u32(std::uint32_t& out) {
    std::uint64_t wide = 0;
    if (!little(4, wide)) return false;
    out = static_cast<std::uint32_t>(wide);
    return true;
  }
  bool u64(std::uint64_t& out) { return little(8, out); }
  bool bytes(std::size_t n, std::string_view& out) {
    if (n > rest_.size()) return false;
    out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }
  std::size_t left() const { return rest_.size(); }

 private:
  bool little(std::size_t n, std::uint64_t& out) {
    if (rest_.size() < n) return false;
    out = 0;
    for (std::size_t i = 0; i < n; ++i)
      out |= std::uint64_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
    rest_.remove_prefix(n);
    return true;
  }

  std::string_view rest_;
};

}  // namespace

// --- dump ---

namespace {

void dump_record(std::string& out, const INode& node) {
  out.push_back(static_cast<char>(node.tag));
  put_u64(out, node.id);
  put_u64(out, static_cast<std::uint64_t>(node.mtime_ns.load(std::memory_order_relaxed)));
  put_u32(out, static_cast<std::uint32_t>(node.name.size()));
  out += node.name.view();
  if (node.is_symlink()) {
    put_u64(out, node.symlink()->target);
    return;
  }
  std::vector<InodeRef> children;
  {
    INode::ReadGuard guard(node);
    if (const FileNode* file = node.file()) {
      const FileBytes& data = file->data.data;
      put_u64(out, data.size());
      out.append(reinterpret_cast<const char*>(data.data()), data.size());
      return;
    }
    const DirectoryNode* dir = node.directory();
    children.reserve(dir->children.size());
    dir->children.for_each_node([&](const INode& child) { children.emplace_back(&child); });
  }
  // The children are written with the directory's lock released; each is
  // kept alive by its reference.
  put_u64(out, children.size());
  for (const InodeRef& child : children) dump_record(out, *child);
}

}  // namespace

std::string FileSystem::dump() const {
  ReaderLock still(rename_lock_);  // nothing moves while the tree is walked
  std::string out(kMagic, sizeof kMagic);
  put_u64(out, next_inode_id());
  dump_record(out, *root_);
  return out;
}

// --- load ---

namespace {

class Loader {
 public:
  Loader(std::string_view bytes, InodeId next_id)
      : in_(bytes), next_id_(next_id), max_id_(FileSystem::max_loaded_id(bytes.size())) {}

  // Reads one record below `dir` (null for the root) into `fs`.
  std::expected<InodeRef, std::string> record(const InodeRef& dir, std::size_t depth,
                                              const HashKey& key) {
    std::uint8_t kind = 0;
    std::uint64_t id = 0, mtime = 0;
    std::uint32_t name_length = 0;
    std::string_view name;
    if (!in_.u8(kind) || !in_.u64(id) || !in_.u64(mtime) || !in_.u32(name_length) ||
        !in_.bytes(name_length, name))
      return truncated();
    if (kind > 1) return std::unexpected("unknown entry kind " + std::to_string(kind));
    if (dir) {
      if (id == kRootId || id >= next_id_)
        return std::unexpected("entry id " + std::to_string(id) + " out of range");
      if (id > max_id_)
        return std::unexpected("entry id " + std::to_string(id) +
                               " too large for the size of the image");
      if (!seen_.insert(id).second)
        return std::unexpected("entry id " + std::to_string(id) + " appears twice");
      if (!valid_name(name)) return std::unexpected("invalid entry name");
      if (depth > kMaxDepth) return std::unexpected("tree deeper than the depth limit");
    } else {
      if (id != kRootId || kind != 1 || !name.empty())
        return std::unexpected("the first entry is not the root directory");
    }

    INodeKind payload;
    std::uint64_t count = 0;
    if (!in_.u64(count)) return truncated();
    if (kind == 0) {
      std::string_view data;
      if (!in_.bytes(count, data)) return truncated();
      file_bytes_ += data.size();
      File file;
      file.data.data.resize_for_overwrite(data.size());
      if (!data.empty()) std::memcpy(file.data.data.data(), data.data(), data.size());
      payload = std::move(file);
    } else {
      if (count > in_.left() / kMinRecord) return truncated();
      payload = Directory{};
    }

    const InodeId parent = dir ? dir->id : kRootId;
    InodeRef node = InodeRef::make(id, parent, depth, ShortString(name), std::move(payload));
    node->mtime_ns.store(static_cast<std::int64_t>(mtime), std::memory_order_relaxed);
    if (kind == 1) {
      for (std::uint64_t i = 0; i < count; ++i) {
        auto child = record(node, depth + 1, key);
        if (!child) return child;
        const bool added = node->update([&](INode& d) REQUIRES(d.data_lock()) {
          return d.directory()->children.append(*child, key);
        });
        if (!added) return std::unexpected("two entries of one directory have the same name");
      }
    }
    loaded_.push_back(node);
    return node;
  }

  bool finished() const { return in_.left() == 0; }
  std::vector<InodeRef>& loaded() { return loaded_; }
  // The total size of the files read.
  std::uint64_t file_bytes() const { return file_bytes_; }

 private:
  static std::unexpected<std::string> truncated() {
    return std::unexpected(std::string("truncated or inconsistent lengths"));
  }
  static bool valid_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
      if (is_separator(c)) return false;
    return is_valid_utf8(name);
  }

  Reader in_;
  const InodeId next_id_;
  const InodeId max_id_;
  std::unordered_set<InodeId> seen_;
  std::vector<InodeRef> loaded_;  // every entry below the root
  std::uint64_t file_bytes_ = 0;
};

}  // namespace

std::expected<std::shared_ptr<FileSystem>, std::string> FileSystem::load(std::string_view bytes,
                                                                         FsLimits limits) {
  auto invalid = [](const std::string& why) {
    return std::unexpected("invalid filesystem data: " + why);
  };
  Reader header(bytes);
  std::string_view magic;
  std::uint64_t next_id = 0;
  if (!header.bytes(sizeof kMagic, magic) || std::memcmp(magic.data(), kMagic, 7) != 0)
    return invalid("not a lumvex filesystem");
  if (magic[7] != kMagic[7]) return invalid("unsupported format version");
  if (!header.u64(next_id) || next_id == 0) return invalid("truncated header");
  if (next_id - 1 > max_loaded_id(bytes.size() - sizeof kMagic - 8))
    return invalid("next id " + std::to_string(next_id) + " too large for the size of the image");

  std::shared_ptr<FileSystem> fs = make(limits);
  Loader loader(bytes.substr(sizeof kMagic + 8), next_id);
  auto root = loader.record(nullptr, 0, fs->hash_key_);
  if (!root) return invalid(root.error());
  if (!loader.finished()) return invalid("bytes after the end of the tree");

  // The loaded root's entries become the new filesystem's: the root is the
  // filesystem's own, so its listing and time move over.
  INode& loaded_root = **root;
  ChildList children;
  loaded_root.update(
      [&](INode& d) REQUIRES(d.data_lock()) { children = std::move(d.directory()->children); });
  fs->root_->update([&](INode& d)
                        REQUIRES(d.data_lock()) { d.directory()->children = std::move(children); });
  fs->root_->mtime_ns.store(loaded_root.mtime_ns.load());
  const std::uint64_t total = loader.file_bytes();
  const std::uint64_t entries = loader.loaded().size() - 1;  // the root's record is among them
  if (limits.max_bytes && total > *limits.max_bytes) return invalid("the tree is over max_bytes");
  if (limits.max_entries && entries > *limits.max_entries)
    return invalid("the tree is over max_entries");
  fs->bytes_.store(total);
  fs->entries_.store(entries);
  for (InodeRef& node : loader.loaded())
    if (node->id != kRootId) fs->inodes_.insert(std::move(node));
  fs->next_inode_id_.store(next_id);
  return fs;
}

}  // namespace lumvex
