// File handles and the file-lock protocol.
#include "fs/file_handle.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "error/internal_error.hpp"
#include "fs/path.hpp"

namespace lumvex {

IoResult<FileHandleType> FileHandleType::from_str(std::string_view text) {
  FileHandleType type;
  for (char c : text) {
    std::uint32_t flag = c == 'r' ? READ : c == 'w' ? WRITE : EMPTY;
    if (flag == EMPTY || (type.bits & flag) != 0) return fail(IoErrorKind::UnrecognizedFileMode);
    type.bits |= flag;
  }
  return type;
}

std::string FileHandleType::debug_string() const {
  if (bits == EMPTY) return "FileHandleType(0x0)";
  std::string out = "FileHandleType(";
  if (bits & READ) out += "READ";
  if ((bits & READ) && (bits & WRITE)) out += " | ";
  if (bits & WRITE) out += "WRITE";
  return out + ")";
}

// --- opening ---

IoResult<FileHandle> FileSystem::open_entry(std::shared_ptr<FileSystem> self, InodeId id,
                                            InodeRef entry, FileHandleType mode, bool guarded) {
  if (!entry->is_file()) return fail(IoErrorKind::NotAFile);  // kinds never change
  InodeRef node = std::move(entry);
  if (guarded) {
    // A handle's share lives on this filesystem's own copy of the file.
    auto owned = own(std::move(node));
    if (!owned) return fail(owned.error());
    node = std::move(*owned);
  }
  for (;;) {
    refresh_file(node);
    INode::ReadGuard guard(*node);
    auto& flag = node->file_lock.flag;  // atomics change under the read lock
    std::int32_t current = flag.load();
    if (current == FileLock::MOVED) continue;  // copied meanwhile: to the copy
    if (mode.exclusive()) {
      while (current != FileLock::MOVED) {
        if (current != 0) return fail(IoErrorKind::ResourceCurrentInUse);
        if (flag.compare_exchange_weak(current, FileLock::WRITE_EXCLUSIVE)) break;
      }
    } else {
      while (current != FileLock::MOVED) {
        if (current < 0) return fail(IoErrorKind::ResourceCurrentInUse);
        if (flag.compare_exchange_weak(current, current + 1)) break;
      }
    }
    if (current != FileLock::MOVED) break;
  }
  return FileHandle(id, mode, std::move(self), std::move(node));
}

IoResult<FileHandle> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                      FileHandleType mode, bool create) {
  return open_with(std::move(fs), path, mode, create ? Creation::IfMissing : Creation::Never);
}

IoResult<FileHandle> FileSystem::open_new(std::shared_ptr<FileSystem> fs, std::string_view path,
                                          FileHandleType mode) {
  return open_with(std::move(fs), path, mode, Creation::Always);
}

IoResult<FileHandle> FileSystem::open_with(std::shared_ptr<FileSystem> fs, std::string_view path,
                                           FileHandleType mode, Creation create) {
  // A filesystem that never shared opens an existing file without the tree
  // lock: the share is taken by compare-and-swap, as a close gives it back.
  // Creating, and everything in a filesystem that shares, takes the lock.
  if (!fs->shares_.load(std::memory_order_acquire)) {
    if (auto opened = fs->open_path(fs, path, mode, create, false)) return std::move(*opened);
  }
  ChangeGuard change(*fs);
  return *fs->open_path(fs, path, mode, create, true);
}

std::optional<IoResult<FileHandle>> FileSystem::open_path(std::shared_ptr<FileSystem> self,
                                                          std::string_view path,
                                                          FileHandleType mode, Creation create,
                                                          bool guarded) {
  auto [parent_path, name] = split_last(path);
  auto parent = resolve_path(parent_path, guarded);
  if (!parent) return fail(parent.error());
  INode& dir = **parent;
  if (name.empty() || name == "." || name == "..") {
    // The directory itself or its parent: never a file, but reported as
    // opening it reports.
    const InodeId id = name == ".." ? dir.parent.load() : dir.id;
    auto node = resolve(id);
    if (!node) return fail(node.error());
    return open_entry(std::move(self), id, std::move(*node), mode, guarded);
  }
  // A concurrent creation of the same name can slip in between the lookup
  // and our own creation; then the lookup is simply repeated.
  for (int attempt = 0;; ++attempt) {
    auto found = find_child(dir, name, guarded);
    if (!found && (found.error().kind() != IoErrorKind::InodeNotFound || create == Creation::Never))
      return fail(found.error());
    if (found && create == Creation::Always) return fail(IoErrorKind::ResourceAlreadyExists);
    if (!found) {
      if (!guarded) return std::nullopt;  // creating needs the lock
      auto created = create_below(dir.id, *parent, name, File{});
      if (!created) {
        if (created.error().kind() != IoErrorKind::ResourceAlreadyExists || attempt == 3)
          return fail(created.error());
        continue;
      }
      found = std::move(created);
    }
    // The handle keeps the id found in the directory (a link's own id).
    const InodeId id = (*found)->id;
    auto node = follow(std::move(*found));
    if (!node) return fail(node.error());
    return open_entry(std::move(self), id, std::move(*node), mode, guarded);
  }
}

IoResult<FileHandle> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                          FileHandleType mode) {
  const bool guarded = fs->shares_.load(std::memory_order_acquire);
  std::optional<ChangeGuard> change;
  if (guarded) change.emplace(*fs);
  auto node = fs->resolve(id);
  if (!node) return fail(node.error());
  const InodeId resolved = (*node)->id;
  return fs->open_entry(fs, resolved, std::move(*node), mode, guarded);
}

// --- the handle ---

FileHandle::FileHandle(FileHandle&& other) noexcept
    : id_(std::exchange(other.id_, std::nullopt)),
      type_(other.type_),
      fs_(other.fs_),
      offset_(other.offset_),
      file_(std::move(other.file_)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (id_) (void)close_quietly();
    id_ = std::exchange(other.id_, std::nullopt);
    type_ = other.type_;
    fs_ = other.fs_;
    offset_ = other.offset_;
    file_ = std::move(other.file_);
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (id_) (void)close_quietly();
}

bool FileHandle::close_quietly() noexcept {
  try {
    return close().has_value();
  } catch (const std::exception&) {
    return false;
  }
}

// Runs f(FileNode&) with the handle's file held for writing, or
// f(const FileNode&) with it held for reading.
template <bool kWrite, typename F>
auto FileHandle::with_file(F&& f) -> decltype(f(std::declval<FileNode&>())) {
  using Result = decltype(f(std::declval<FileNode&>()));
  fs_->refresh_file(file_);
  if constexpr (kWrite) {
    return file_->update([&](INode& node) REQUIRES(node.data_lock()) -> Result {
      FileNode* file = node.file();
      if (file == nullptr) return fail(IoErrorKind::NotAFile);
      return f(*file);
    });
  } else {
    const INode& node = *file_;
    INode::ReadGuard guard(node);
    const FileNode* file = node.file();
    if (file == nullptr) return fail(IoErrorKind::NotAFile);
    return f(*file);
  }
}

IoResult<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
  return read_into(buffer.size(), [&](std::size_t) { return buffer.data(); });
}

IoResult<std::size_t> FileHandle::read_into(std::size_t max,
                                            const std::function<std::uint8_t*(std::size_t)>& sink) {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  if (!type_.contains(FileHandleType::READ)) return fail(IoError::operation_not_supported("read"));
  return with_file<false>([&](const FileNode& file) -> IoResult<std::size_t> {
    const auto& bytes = file.data.data;
    std::size_t available = offset_ < bytes.size() ? bytes.size() - offset_ : 0;
    std::size_t count = std::min(max, available);
    std::uint8_t* out = sink(count);
    if (out == nullptr) return 0;
    if (count) std::memcpy(out, bytes.data() + offset_, count);
    offset_ += count;
    return count;
  });
}

template <typename F>
IoResult<std::size_t> FileHandle::change_file(F&& change) {
  // Without a byte limit, a file that is this filesystem's own is written
  // in place without the tree lock: whether it is own is decided under its
  // data lock, which a fork's readers must take too. A fork that comes
  // before that decision makes the file shared (and the write takes the
  // path below); one that comes after cannot be read before the write ends,
  // so the write is entirely before it. (Counting bytes needs the lock: a
  // fork copies the count.)
  if (!fs_->limits().max_bytes) {
    bool shared = false;
    auto written = with_file<true>([&](FileNode& file) -> IoResult<std::size_t> {
      if (!fs_->is_own(file)) {
        shared = true;
        return 0;
      }
      return change(file);
    });
    if (!shared) return written;
  }
  FileSystem::ChangeGuard guard(*fs_);
  // The file this filesystem's own (a copy if it is shared with a fork; a
  // version moved since is looked up by own() too).
  if (!fs_->is_own(*file_)) {
    auto owned = fs_->own(file_);
    if (!owned) return fail(owned.error());
    file_ = std::move(*owned);
  }
  return with_file<true>(change);
}

IoResult<std::size_t> FileHandle::write(std::span<const std::uint8_t> bytes) {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  if (!type_.contains(FileHandleType::WRITE))
    return fail(IoError::operation_not_supported("write"));
  // Checked before the file is locked: failing inside the update would mark
  // a file poisoned that it never changed.
  if (bytes.size() > std::numeric_limits<std::size_t>::max() - offset_)
    throw InternalError("file size overflows");
  const std::size_t end = offset_ + bytes.size();
  // Writes the bytes into `file`, accounting for its growth first.
  auto write_into = [&](FileNode& file) -> IoResult<std::size_t> {
    auto& data = file.data.data;
    if (end > data.size()) {
      const std::uint64_t growth = end - data.size();
      auto reserved = fs_->reserve_bytes(growth);
      if (!reserved) return fail(reserved.error());
      // Every added byte lies in [offset, end) and is overwritten just below.
      try {
        data.resize_for_overwrite(end);
      } catch (const std::bad_alloc&) {
        fs_->release_bytes(growth);
        throw;
      }
    }
    if (!bytes.empty()) {
      std::memcpy(data.data() + offset_, bytes.data(), bytes.size());
      file.mtime_ns.store(now_ns(), std::memory_order_relaxed);
    }
    return bytes.size();
  };
  return change_file(write_into);
}

// GCC 12 at -O1 (the sanitizers' builds) takes the inline room of the new
// bytes below for uninitialized where it is only read once the heap mark
// says it holds a block.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
IoResult<void> FileHandle::replace(std::span<const std::uint8_t> bytes) {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  if (!type_.contains(FileHandleType::WRITE))
    return fail(IoError::operation_not_supported("write"));
  // The new content is made aside, before the file is locked: a failed
  // allocation leaves the file as it was.
  FileBytes fresh;
  fresh.resize_for_overwrite(bytes.size());
  if (!bytes.empty()) std::memcpy(fresh.data(), bytes.data(), bytes.size());
  auto swap_in = [&](FileNode& file) -> IoResult<std::size_t> {
    auto& data = file.data.data;
    const std::size_t old = data.size();
    if (bytes.size() > old) {
      auto reserved = fs_->reserve_bytes(bytes.size() - old);
      if (!reserved) return fail(reserved.error());
    } else {
      fs_->release_bytes(old - bytes.size());
    }
    data = std::move(fresh);
    file.mtime_ns.store(now_ns(), std::memory_order_relaxed);
    offset_ = std::min(offset_, bytes.size());
    return bytes.size();
  };
  auto replaced = change_file(swap_in);
  if (!replaced) return fail(replaced.error());
  return {};
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

IoResult<void> FileHandle::seek(SeekFrom target) {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  return with_file<false>([&](const FileNode& file) -> IoResult<void> {
    std::size_t length = file.data.data.size();
    std::size_t next = 0;
    switch (target.origin) {
      case SeekOrigin::Start:
        next = target.amount;
        break;
      case SeekOrigin::End:
        next = target.amount > length ? 0 : length - target.amount;
        break;
      case SeekOrigin::Current:
        next = target.amount > std::numeric_limits<std::size_t>::max() - offset_
                   ? std::numeric_limits<std::size_t>::max()
                   : offset_ + target.amount;
        break;
    }
    offset_ = std::min(next, length);
    return {};
  });
}

IoResult<std::size_t> FileHandle::tell() const {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  return offset_;
}

IoResult<void> FileHandle::close() {
  if (!id_) return fail(IoErrorKind::InvalidFileDescriptor);
  // No tree lock: the share is given back under the file's read lock, which
  // keeps a copy of the file (FileSystem::own, which moves the state under
  // the write lock) from happening meanwhile. A file copied before is
  // followed to its copy.
  for (;;) {
    bool moved = false;
    auto closed = with_file<false>([&](const FileNode& file) -> IoResult<void> {
      auto& flag = file.file_lock.flag;
      std::int32_t current = flag.load();
      if (current == FileLock::MOVED) {
        moved = true;
        return {};
      }
      if (type_.exclusive()) {
        check_invariant(current == FileLock::WRITE_EXCLUSIVE,
                        "an exclusive handle closes a file it does not hold");
        flag.store(0, std::memory_order_release);
      } else {
        do {
          check_invariant(current > 0, "a shared handle closes a file it does not hold");
        } while (!flag.compare_exchange_weak(current, current - 1));
      }
      return {};
    });
    if (moved) continue;
    if (closed) {
      id_.reset();
      file_ = nullptr;
    }
    return closed;
  }
}

std::string FileHandle::debug_string() const {
  std::string out = "FileHandle { id: ";
  out += id_ ? "Some(" + std::to_string(*id_) + ")" : std::string("None");
  out += ", type: " + type_.debug_string();
  out += ", fs: " + fs_->debug_string();
  out += ", offset: " + std::to_string(offset_) + " }";
  return out;
}

}  // namespace lumvex
