// FileHandle: an open file of a FileSystem, with its own offset and a share
// of the file's lock (shared without WRITE, exclusive with it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/io_error.hpp"
#include "fs/filesystem.hpp"

namespace lumvex {

// Access mode: a set of the flags READ and WRITE.
struct FileHandleType {
  static constexpr std::uint32_t EMPTY = 0;
  static constexpr std::uint32_t READ = 1;
  static constexpr std::uint32_t WRITE = 2;

  // Accepts exactly "", "r", "w", "rw" and "wr".
  static IoResult<FileHandleType> from_str(std::string_view text);

  bool contains(std::uint32_t flag) const { return (bits & flag) == flag && flag != 0; }
  bool exclusive() const { return (bits & WRITE) != 0; }
  // FileHandleType(READ | WRITE), or FileHandleType(0x0) for the empty set.
  std::string debug_string() const;

  std::uint32_t bits = EMPTY;
};

enum class SeekOrigin { Start, End, Current };

// Where a seek goes: an origin and an unsigned amount (End counts backwards).
struct SeekFrom {
  static SeekFrom Start(std::size_t amount) { return {SeekOrigin::Start, amount}; }
  static SeekFrom End(std::size_t amount) { return {SeekOrigin::End, amount}; }
  static SeekFrom Current(std::size_t amount) { return {SeekOrigin::Current, amount}; }

  SeekOrigin origin;
  std::size_t amount;
};

class FileHandle {
 public:
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // Closes the handle if it is still open.
  ~FileHandle();

  // The inode id the handle was opened on; absent once closed.
  std::optional<InodeId> id() const { return id_; }
  FileHandleType type() const { return type_; }
  const std::shared_ptr<FileSystem>& fs() const { return fs_; }

  // Copies up to buffer.size() bytes from the offset and advances it.
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer);
  // Reads up to `max` bytes without a buffer of that size: once the count c
  // is known, sink(c) supplies room for exactly c bytes. If the sink returns
  // null nothing is read, the offset stays, and the result is 0.
  IoResult<std::size_t> read_into(std::size_t max,
                                  const std::function<std::uint8_t*(std::size_t)>& sink);
  // Writes all of `bytes` at the offset (the offset does not move).
  IoResult<std::size_t> write(std::span<const std::uint8_t> bytes);
  // Replaces the whole content of the file with `bytes` in one step, under
  // the file's lock: readers see the old content or the new, and a refusal
  // (a limit) leaves the old. The offset is kept, but not past the new end.
  IoResult<void> replace(std::span<const std::uint8_t> bytes);
  IoResult<void> seek(SeekFrom target);
  IoResult<std::size_t> tell() const;
  IoResult<void> close();

  // FileHandle { id: Some(n), type: ..., fs: ..., offset: n }
  std::string debug_string() const;

 private:
  friend class FileSystem;
  FileHandle(InodeId id, FileHandleType type, std::shared_ptr<FileSystem> fs, InodeRef file)
      : id_(id), type_(type), fs_(std::move(fs)), file_(std::move(file)) {}
  // Runs change(FileNode&) on the handle's file held for writing, made this
  // filesystem's own first (see write()).
  template <typename F>
  IoResult<std::size_t> change_file(F&& change);
  // Closes an open handle, reporting only whether that worked.
  bool close_quietly() noexcept;
  // Runs f(FileNode&) with the open handle's file locked for reading or
  // writing.
  // A file copied since (see FileSystem::refresh_file) is looked up first.
  template <bool kWrite, typename F>
  auto with_file(F&& f) -> decltype(f(std::declval<FileNode&>()));

  std::optional<InodeId> id_;
  FileHandleType type_;
  std::shared_ptr<FileSystem> fs_;
  std::size_t offset_ = 0;
  // The file itself, while the handle is open. Its share of the file's lock
  // keeps the file from being removed, so it need not be looked up again.
  InodeRef file_;
};

}  // namespace lumvex
