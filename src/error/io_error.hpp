// IoError: the single error type of the in-memory filesystem and of the
// terminal built on it. Errors are values: every fallible operation returns
// IoResult<T>, which holds either the value or one IoError.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace lumvex {

// The eleven kinds, in tag order 0..10.
enum class IoErrorKind : std::uint8_t {
  InodeNotFound,
  NotADirectory,
  NotAFile,
  NotASymlink,
  MaxRecursionDepthExceeded,
  ResourceAlreadyExists,
  DirectoryIsNotEmpty,
  ResourceCurrentInUse,
  UnrecognizedFileMode,
  OperationNotSupported,
  InvalidFileDescriptor,
  // A change would take the filesystem past one of its limits; the
  // operation names the limit ("max_bytes" or "max_entries").
  LimitExceeded,
};

// A kind plus, for OperationNotSupported, the name of the refused operation.
// The operation is a string literal with static lifetime: the value owns no
// memory and is cheap to copy.
class IoError {
 public:
  constexpr explicit IoError(IoErrorKind kind) : kind_(kind) {}
  static constexpr IoError operation_not_supported(const char* operation) {
    return IoError(IoErrorKind::OperationNotSupported, operation);
  }
  static constexpr IoError limit_exceeded(const char* limit) {
    return IoError(IoErrorKind::LimitExceeded, limit);
  }

  constexpr IoErrorKind kind() const { return kind_; }
  // The refused operation for OperationNotSupported, the limit for
  // LimitExceeded, "" otherwise.
  constexpr const char* operation() const { return operation_; }

  // The text users see, e.g. "Inode not found".
  std::string to_string() const;
  // The developer form, e.g. InodeNotFound or OperationNotSupported("read").
  std::string debug_string() const;

  friend bool operator==(const IoError& a, const IoError& b);

 private:
  constexpr IoError(IoErrorKind kind, const char* operation) : kind_(kind), operation_(operation) {}

  IoErrorKind kind_;
  const char* operation_ = "";
};

template <typename T>
using IoResult = std::expected<T, IoError>;

// Shorthand for returning an error from a function that yields IoResult<T>.
inline std::unexpected<IoError> fail(IoErrorKind kind) {
  return std::unexpected(IoError(kind));
}
inline std::unexpected<IoError> fail(IoError error) {
  return std::unexpected(error);
}

}  // namespace lumvex
