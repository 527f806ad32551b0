#include "error/io_error.hpp"

#include <cstring>

namespace lumvex {
namespace {

struct KindText {
  const char* name;
  const char* display;
};

constexpr KindText kTexts[] = {
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
    {"LimitExceeded", "No space left in the filesystem: over "},
};

const KindText& text_of(IoErrorKind kind) {
  return kTexts[static_cast<std::size_t>(kind)];
}

}  // namespace

std::string IoError::to_string() const {
  std::string out = text_of(kind_).display;
  if (kind_ == IoErrorKind::OperationNotSupported || kind_ == IoErrorKind::LimitExceeded)
    out += operation_;
  return out;
}

std::string IoError::debug_string() const {
  std::string out = text_of(kind_).name;
  if (kind_ == IoErrorKind::OperationNotSupported || kind_ == IoErrorKind::LimitExceeded) {
    out += "(\"";
    out += operation_;
    out += "\")";
  }
  return out;
}

bool operator==(const IoError& a, const IoError& b) {
  return a.kind_ == b.kind_ && std::strcmp(a.operation_, b.operation_) == 0;
}

}  // namespace lumvex
