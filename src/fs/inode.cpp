#include "fs/inode.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace lumvex {
namespace {

// Quotes a name the way the debug text shows strings.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

template <typename Range>
void append_list(std::string& out, const Range& values) {
  out += '[';
  bool first = true;
  for (auto value : values) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(value);
  }
  out += ']';
}

void append_kind(std::string& out, const INode& node, bool own_flag)
    REQUIRES_SHARED(node.data_lock()) {
  if (const FileNode* file = node.file()) {
    out += "File { data: FileData { data: ";
    append_list(out, file->data.data);
    out += " }, lock: FileLock { flag: ";
    out += std::to_string(own_flag ? node.file_lock.flag.load() : 0);
    out += " } }";
  } else if (const DirectoryNode* dir = node.directory()) {
    out += "Directory { children: ";
    append_list(out, dir->children.ids());
    out += " }";
  } else {
    out += "Symlink { target: ";
    out += std::to_string(node.symlink()->target);
    out += " }";
  }
}

}  // namespace

std::string INode::debug_string(bool own_flag) const {
  std::string out = "INode { id: " + std::to_string(id) + ", parent: " + std::to_string(parent) +
                    ", depth: " + std::to_string(unsigned{depth}) + ", name: ";
  append_quoted(out, name.view());
  out += ", data: RwLock { data: ";
  // The text never waits for the lock: a payload being changed is shown as
  // locked.
  if (try_lock_shared()) {
    try {
      append_kind(out, *this, own_flag);
    } catch (...) {  // out of memory
      unlock_shared();
      throw;
    }
    unlock_shared();
  } else {
    out += "<locked>";
  }
  out += poisoned() ? ", poisoned: true, .. } }" : ", poisoned: false, .. } }";
  return out;
}

InodeRef InodeRef::make(InodeId id, InodeId parent, std::size_t depth, ShortString name,
                        INodeKind kind) {
  INode* node = std::visit(
      [&](auto& payload) -> INode* {
        using Payload = std::remove_cvref_t<decltype(payload)>;
        if constexpr (std::is_same_v<Payload, File>) {
          return std::make_unique<FileNode>(id, parent, depth, std::move(name), std::move(payload))
              .release();
        } else if constexpr (std::is_same_v<Payload, Directory>) {
          return std::make_unique<DirectoryNode>(id, parent, depth, std::move(name),
                                                 std::move(payload))
              .release();
        } else {
          return std::make_unique<SymlinkNode>(id, parent, depth, std::move(name), payload)
              .release();
        }
      },
      kind);
  return InodeRef(node);
}

InodeRef InodeRef::clone(const INode& node, std::uint64_t gen,
                         std::int32_t flag) NO_THREAD_SAFETY_ANALYSIS {
  const InodeId parent = node.parent.load(std::memory_order_relaxed);
  const std::size_t depth = node.depth.load(std::memory_order_relaxed);
  INode* copy = nullptr;
  if (const FileNode* file = node.file()) {
    auto made = std::make_unique<FileNode>(node.id, parent, depth, node.name, File{});
    made->data.data = FileBytes(file->data.data);
    made->file_lock.flag.store(flag, std::memory_order_relaxed);
    copy = made.release();
  } else if (const DirectoryNode* dir = node.directory()) {
    Directory payload;
    payload.children = ChildList(dir->children);
    copy = std::make_unique<DirectoryNode>(node.id, parent, depth, node.name, std::move(payload))
               .release();
  } else {
    copy = std::make_unique<SymlinkNode>(node.id, parent, depth, node.name,
                                         Symlink{node.symlink()->target})
               .release();
  }
  copy->mtime_ns.store(node.mtime_ns.load(std::memory_order_relaxed), std::memory_order_relaxed);
  copy->gen.store(gen, std::memory_order_relaxed);
  return InodeRef(copy);
}

void InodeRef::destroy(INode* node) noexcept {
  switch (node->tag) {
    case KindTag::File:
      std::unique_ptr<FileNode>{static_cast<FileNode*>(node)};
      break;
    case KindTag::Directory:
      std::unique_ptr<DirectoryNode>{static_cast<DirectoryNode*>(node)};
      break;
    case KindTag::Symlink:
      std::unique_ptr<SymlinkNode>{static_cast<SymlinkNode*>(node)};
      break;
  }
}

}  // namespace lumvex
