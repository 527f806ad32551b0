#include "fs/inode.hpp"

#include <cstdio>
#include <string>

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

struct KindPrinter {
  std::string& out;
  void operator()(const File& file) const {
    out += "File { data: FileData { data: ";
    append_list(out, file.data.data);
    out += " }, lock: FileLock { flag: ";
    out += std::to_string(file.lock.flag.load());
    out += " } }";
  }
  void operator()(const Directory& dir) const {
    out += "Directory { children: ";
    append_list(out, dir.children.ids());
    out += " }";
  }
  void operator()(const Symlink& link) const {
    out += "Symlink { target: ";
    out += std::to_string(link.target);
    out += " }";
  }
};

}  // namespace

std::string INode::debug_string() const {
  std::string out = "INode { id: " + std::to_string(id) + ", parent: " + std::to_string(parent) +
                    ", depth: " + std::to_string(depth) + ", name: ";
  append_quoted(out, name.view());
  out += ", data: RwLock { data: ";
  bool shown = data.try_read([&](const INodeData& d) { std::visit(KindPrinter{out}, d.kind); });
  if (!shown) out += "<locked>";
  out += data.poisoned() ? ", poisoned: true, .. } }" : ", poisoned: false, .. } }";
  return out;
}

}  // namespace lumvex
