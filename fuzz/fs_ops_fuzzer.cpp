// Fuzzes one FileSystem through its public interface. The input decodes to a
// sequence of operations (create, remove, open, read, write, seek, tell,
// close, list, lookups); each runs against the filesystem and against a small
// model of the described behaviour, and the two must agree on every result
// and every error. After each step the whole inode store is read back from
// its debug text and checked: the table against the tree, the tree's
// invariants, and every inode against the model.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"

namespace {

using lumvex::FileHandle;
using lumvex::FileHandleType;
using lumvex::FileSystem;
using lumvex::InodeId;
using lumvex::IoError;
using lumvex::IoErrorKind;
using lumvex::IoResult;
using lumvex::SeekFrom;

constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kSlots = 6;
constexpr int kMaxSteps = 200;

// A disagreement; the driver reports it with the operations that led there.
struct Failure {
  std::string what;
};

[[noreturn]] void die(const std::string& what) {
  throw Failure{what};
}

void check(bool condition, const std::string& what) {
  if (!condition) die(what);
}

std::unexpected<IoError> err(IoErrorKind kind) {
  return std::unexpected(IoError(kind));
}

template <typename T, typename U>
void same(const IoResult<T>& got, const IoResult<U>& want, const char* op) {
  if (got.has_value() != want.has_value()) {
    die(std::string(op) + ": got " + (got ? "success" : got.error().debug_string()) +
        ", expected " + (want ? "success" : want.error().debug_string()));
  }
  if (!got) {
    check(got.error().kind() == want.error().kind() &&
              std::strcmp(got.error().operation(), want.error().operation()) == 0,
          std::string(op) + ": got " + got.error().debug_string() + ", expected " +
              want.error().debug_string());
    return;
  }
  if constexpr (requires { *got == *want; })
    check(*got == *want, std::string(op) + ": wrong value");
}

// ---------------------------------------------------------------- the model

enum class Kind { File, Directory };

struct MNode {
  InodeId parent;
  std::size_t depth;
  std::string name;
  Kind kind;
  std::vector<InodeId> children;  // creation order
  std::string bytes;
  std::int32_t flag = 0;  // 0 free, n shared handles, -1 exclusive
};

struct MHandle {
  bool open = false;
  InodeId id = 0;
  std::uint32_t mode = 0;
  std::size_t offset = 0;
};

bool is_sep(char c) {
  return c == '/' || c == '\\';
}

bool valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         std::none_of(name.begin(), name.end(), is_sep);
}

std::pair<std::string_view, std::string_view> split_last(std::string_view path) {
  const std::size_t sep = path.find_last_of("/\\");
  if (sep == std::string_view::npos) return {{}, path};
  return {path.substr(0, sep), path.substr(sep + 1)};
}

struct Model {
  std::map<InodeId, MNode> nodes{{0, MNode{0, 0, "", Kind::Directory, {}, {}, 0}}};
  InodeId next = 1;

  bool exists(InodeId id) const { return nodes.count(id) != 0; }

  IoResult<InodeId> find_by_name(InodeId dir, std::string_view name) const {
    auto it = nodes.find(dir);
    if (it == nodes.end()) return err(IoErrorKind::InodeNotFound);
    if (name.empty() || name == ".") return dir;
    if (name == "..") return it->second.parent;
    if (it->second.kind != Kind::Directory) return err(IoErrorKind::NotADirectory);
    for (InodeId child : it->second.children)
      if (nodes.at(child).name == name) return child;
    return err(IoErrorKind::InodeNotFound);
  }

  IoResult<InodeId> resolve_path(std::string_view path) const {
    InodeId current = 0;
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = start;
      while (end < path.size() && !is_sep(path[end])) ++end;
      const std::string_view component = path.substr(start, end - start);
      start = end + 1;
      if (component.empty() || component == ".") continue;
      if (component == "..") {
        current = nodes.at(current).parent;
        continue;
      }
      auto found = find_by_name(current, component);
      if (!found) return found;
      current = *found;
    }
    return current;
  }

  IoResult<InodeId> create(InodeId parent, std::string_view name, Kind kind) {
    if (!valid_name(name)) return err(IoErrorKind::ResourceAlreadyExists);
    const InodeId id = next++;
    auto it = nodes.find(parent);
    if (it == nodes.end()) return err(IoErrorKind::InodeNotFound);
    MNode& dir = it->second;
    const bool is_dir = dir.kind == Kind::Directory;
    const bool taken = is_dir && find_by_name(parent, name).has_value();
    if (dir.depth + 1 > kMaxDepth)
      return err(taken ? IoErrorKind::ResourceAlreadyExists
                       : IoErrorKind::MaxRecursionDepthExceeded);
    if (!is_dir) return err(IoErrorKind::NotADirectory);
    if (taken) return err(IoErrorKind::ResourceAlreadyExists);
    dir.children.push_back(id);
    nodes.emplace(id, MNode{parent, dir.depth + 1, std::string(name), kind, {}, {}, 0});
    return id;
  }

  IoResult<void> create_at(std::string_view path, Kind kind) {
    auto [parent_path, name] = split_last(path);
    auto parent = resolve_path(parent_path);
    if (!parent) return std::unexpected(parent.error());
    auto created = create(*parent, name, kind);
    if (!created) return std::unexpected(created.error());
    return {};
  }

  IoResult<void> remove(InodeId id, bool recursive) {
    auto it = nodes.find(id);
    if (it == nodes.end()) return err(IoErrorKind::InodeNotFound);
    if (it->second.kind == Kind::Directory) {
      if (recursive) {
        const std::vector<InodeId> children = it->second.children;
        for (InodeId child : children)
          if (auto r = remove(child, true); !r) return r;
      } else if (!it->second.children.empty()) {
        return err(IoErrorKind::DirectoryIsNotEmpty);
      }
    }
    if (id == 0) return {};
    const MNode& node = nodes.at(id);
    if (node.kind == Kind::File && node.flag != 0) return err(IoErrorKind::ResourceCurrentInUse);
    auto& siblings = nodes.at(node.parent).children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), id));
    nodes.erase(id);
    return {};
  }

  IoResult<InodeId> open_entry(InodeId id, std::uint32_t mode) {
    auto it = nodes.find(id);
    if (it == nodes.end()) return err(IoErrorKind::InodeNotFound);
    MNode& node = it->second;
    if (node.kind != Kind::File) return err(IoErrorKind::NotAFile);
    if (mode & FileHandleType::WRITE) {
      if (node.flag != 0) return err(IoErrorKind::ResourceCurrentInUse);
      node.flag = -1;
    } else {
      if (node.flag < 0) return err(IoErrorKind::ResourceCurrentInUse);
      ++node.flag;
    }
    return id;
  }

  IoResult<InodeId> open(std::string_view path, std::uint32_t mode, bool create_missing) {
    auto [parent_path, name] = split_last(path);
    auto parent = resolve_path(parent_path);
    if (!parent) return parent;
    auto found = find_by_name(*parent, name);
    if (!found) {
      if (found.error().kind() != IoErrorKind::InodeNotFound || !create_missing) return found;
      found = create(*parent, name, Kind::File);
      if (!found) return found;
    }
    return open_entry(*found, mode);
  }

  void release(const MHandle& h) {
    std::int32_t& flag = nodes.at(h.id).flag;
    if (h.mode & FileHandleType::WRITE) {
      check(flag == -1, "model: exclusive handle on a file it does not hold");
      flag = 0;
    } else {
      check(flag > 0, "model: shared handle on a file it does not hold");
      --flag;
    }
  }

  std::string path_of(InodeId id) const {
    if (id == 0) return "/";
    std::vector<const std::string*> names;
    for (InodeId cur = id; cur != 0; cur = nodes.at(cur).parent)
      names.push_back(&nodes.at(cur).name);
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + **it;
    return path;
  }
};

// ------------------------------------------------- reading the debug text

struct DNode {
  InodeId id = 0, parent = 0;
  std::uint64_t depth = 0;
  std::string name;
  int kind = -1;                    // 0 file, 1 directory, 2 symlink
  std::vector<std::uint64_t> list;  // children, or the file's byte values
  std::int64_t flag = 0;
};

class DebugParser {
 public:
  explicit DebugParser(std::string_view text) : s_(text) {}

  // Every entry of the table, in table order, and the id counter.
  bool parse(std::vector<DNode>& nodes, std::uint64_t& next) {
    lit("FileSystem { inodes: {");
    if (!peek("}")) {
      do {
        const std::uint64_t key = number();
        lit(": ");
        nodes.push_back(node());
        if (ok_ && nodes.back().id != key) ok_ = false;
      } while (ok_ && eat(", "));
    }
    lit("}, next_inode_id: ");
    next = number();
    lit(" }");
    return ok_ && i_ == s_.size();
  }

 private:
  bool peek(std::string_view t) const { return s_.substr(i_, t.size()) == t; }
  bool eat(std::string_view t) {
    if (!peek(t)) return false;
    i_ += t.size();
    return true;
  }
  void lit(std::string_view t) {
    if (!eat(t)) ok_ = false;
  }
  std::uint64_t number() {
    if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') ok_ = false;
    std::uint64_t v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') v = v * 10 + (s_[i_++] - '0');
    return v;
  }
  std::int64_t signed_number() {
    const bool negative = eat("-");
    const auto v = static_cast<std::int64_t>(number());
    return negative ? -v : v;
  }
  std::vector<std::uint64_t> list() {
    std::vector<std::uint64_t> out;
    lit("[");
    if (!eat("]")) {
      do out.push_back(number());
      while (ok_ && eat(", "));
      lit("]");
    }
    return out;
  }
  std::string quoted() {
    std::string out;
    lit("\"");
    while (ok_ && i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) break;
      c = s_[i_++];
      switch (c) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case '0':
          out += '\0';
          break;
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case 'u': {
          lit("{");
          unsigned v = 0;
          for (; i_ < s_.size() && s_[i_] != '}'; ++i_) {
            const char h = s_[i_];
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                                     : -1;
            if (digit < 0) ok_ = false;
            v = v * 16 + static_cast<unsigned>(digit);
          }
          lit("}");
          out += static_cast<char>(v);
          break;
        }
        default:
          ok_ = false;
      }
    }
    lit("\"");
    return out;
  }
  DNode node() {
    DNode n;
    lit("INode { id: ");
    n.id = number();
    lit(", parent: ");
    n.parent = number();
    lit(", depth: ");
    n.depth = number();
    lit(", name: ");
    n.name = quoted();
    lit(", data: RwLock { data: ");
    if (eat("File { data: FileData { data: ")) {
      n.kind = 0;
      n.list = list();
      lit(" }, lock: FileLock { flag: ");
      n.flag = signed_number();
      lit(" } }");
    } else if (eat("Directory { children: ")) {
      n.kind = 1;
      n.list = list();
      lit(" }");
    } else if (eat("Symlink { target: ")) {
      n.kind = 2;
      n.list = {number()};
      lit(" }");
    } else {
      ok_ = false;
    }
    lit(", poisoned: false, .. } }");
    return n;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  bool ok_ = true;
};

// The invariants of the inode store, then agreement with the model.
void check_store(const FileSystem& fs, const Model& model) {
  std::vector<DNode> nodes;
  std::uint64_t next = 0;
  check(DebugParser(fs.debug_string()).parse(nodes, next), "the debug text does not parse");

  std::map<InodeId, const DNode*> by_id;
  for (const DNode& n : nodes) check(by_id.emplace(n.id, &n).second, "an id is in the table twice");
  check(by_id.size() == fs.inode_count(), "inode_count differs from the table");
  check(next == fs.next_inode_id(), "next_inode_id differs from the debug text");
  check(by_id.count(0) == 1, "the root is missing");
  const DNode& root = *by_id.at(0);
  check(root.parent == 0 && root.depth == 0 && root.name.empty() && root.kind == 1, "bad root");

  std::map<InodeId, InodeId> listed_by;
  for (const DNode& n : nodes) {
    check(n.id < next, "an id at or above next_inode_id");
    check(n.depth <= kMaxDepth, "an inode deeper than the limit");
    check(n.kind == 0 || n.kind == 1, "an inode of a kind nothing creates");
    if (n.kind == 0) check(n.flag >= -1, "a file left claimed by a removal");
    if (n.kind != 1) continue;
    std::set<std::string> names;
    for (std::size_t k = 0; k < n.list.size(); ++k) {
      const InodeId child = n.list[k];
      check(k == 0 || n.list[k - 1] < child, "children not in creation order");
      auto it = by_id.find(child);
      check(it != by_id.end(), "a listed child is not in the table");
      check(it->second->parent == n.id, "a child does not name its parent");
      check(it->second->depth == n.depth + 1, "a child's depth is not its parent's plus one");
      check(names.insert(it->second->name).second, "two children share a name");
      check(listed_by.emplace(child, n.id).second, "an inode is listed twice");
    }
  }
  for (const DNode& n : nodes)
    check(n.id == 0 || listed_by.count(n.id) == 1, "an inode in the table that nothing lists");

  check(next == model.next, "next_inode_id differs from the model");
  check(nodes.size() == model.nodes.size(), "the number of inodes differs from the model");
  for (const auto& [id, m] : model.nodes) {
    auto it = by_id.find(id);
    check(it != by_id.end(), "inode " + std::to_string(id) + " is missing");
    const DNode& d = *it->second;
    check(d.parent == m.parent && d.depth == m.depth && d.name == m.name,
          "inode " + std::to_string(id) + " differs from the model");
    if (m.kind == Kind::Directory) {
      check(
          d.kind == 1 && d.list == std::vector<std::uint64_t>(m.children.begin(), m.children.end()),
          "directory " + std::to_string(id) + " differs from the model");
    } else {
      std::string bytes;
      for (std::uint64_t b : d.list) bytes += static_cast<char>(b);
      check(d.kind == 0 && bytes == m.bytes, "file " + std::to_string(id) + " has other bytes");
      check(d.flag == m.flag, "file " + std::to_string(id) + " has another lock state");
    }
  }
}

// ------------------------------------------------------------ the driver

class Driver {
 public:
  Driver(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  void run() {
    for (int step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; ++step) {
      one_step();
      check_store(*fs_, model_);
    }
    // Dropping every handle gives every share back.
    for (std::size_t s = 0; s < kSlots; ++s) drop(s);
    check_store(*fs_, model_);
  }

  const std::string& trace() const { return trace_; }

 private:
  // Ordinary names, the special ones, names that the debug text quotes or
  // escapes, one past the inline capacity, and two with separators.
  static constexpr std::array<std::string_view, 14> kNames = {
      "a",   "b",   "c",   "d",        "f",      ".",
      "..",  "",    "x y", "\xC3\xA9", "a\"b\n", "long-name-0123456789",
      "a/b", "c\\d"};

  void trace(const std::string& line) { trace_ += "  " + line + "\n"; }

  // An existing inode most of the time, sometimes one that is gone or was
  // never made.
  InodeId pick_id() {
    switch (in_.ConsumeIntegralInRange(0, 7)) {
      case 0:
        return model_.next;
      case 1:
        return model_.next > 1 ? in_.ConsumeIntegralInRange<InodeId>(1, model_.next - 1) : 0;
      case 2:
        return in_.ConsumeIntegral<InodeId>();
      case 3: {  // the newest directory, so that deep chains come easily
        for (auto it = model_.nodes.rbegin(); it != model_.nodes.rend(); ++it)
          if (it->second.kind == Kind::Directory) return it->first;
        return 0;
      }
      default: {
        auto it = model_.nodes.begin();
        std::advance(it, in_.ConsumeIntegralInRange<std::size_t>(0, model_.nodes.size() - 1));
        return it->first;
      }
    }
  }

  std::string pick_name() {
    if (in_.ConsumeIntegralInRange(0, 5) == 0) return in_.ConsumeRandomLengthString(16);
    return std::string(kNames[in_.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1)]);
  }

  char sep() { return in_.ConsumeBool() ? '/' : '\\'; }

  // The path of an existing inode, written in one of several equivalent
  // ways, possibly with a name after it; or loose components.
  std::string pick_path() {
    std::string path;
    if (in_.ConsumeBool()) {
      const InodeId id = pick_id();
      if (!model_.exists(id)) return model_.path_of(0) + pick_name();
      const std::string plain = model_.path_of(id);
      for (char c : plain) {
        if (c != '/') {
          path += c;
          continue;
        }
        switch (in_.ConsumeIntegralInRange(0, 5)) {
          case 0:
            path += "//";
            break;
          case 1:
            path += "/./";
            break;
          case 2:
            path += '\\';
            break;
          default:
            path += '/';
        }
      }
      if (in_.ConsumeBool()) path = path.substr(path.empty() || path[0] != '/' ? 0 : 1);
    }
    const int extra = in_.ConsumeIntegralInRange(0, 2);
    for (int k = 0; k < extra; ++k) {
      if (!path.empty() || in_.ConsumeBool()) path += sep();
      path += pick_name();
    }
    if (in_.ConsumeIntegralInRange(0, 7) == 0) path += sep();
    return path;
  }

  std::uint32_t pick_mode() { return in_.ConsumeIntegralInRange<std::uint32_t>(0, 3); }

  std::size_t pick_amount(std::size_t length) {
    switch (in_.ConsumeIntegralInRange(0, 5)) {
      case 0:
        return length;
      case 1:
        return std::numeric_limits<std::size_t>::max();
      case 2:
        return std::numeric_limits<std::size_t>::max() - in_.ConsumeIntegralInRange(0, 8);
      default:
        return in_.ConsumeIntegralInRange<std::size_t>(0, length + 4);
    }
  }

  // The length of the file behind a slot's handle, for choosing amounts.
  std::size_t length_of(std::size_t s) const {
    if (!mh_[s].open) return 0;
    return model_.nodes.at(mh_[s].id).bytes.size();
  }

  void drop(std::size_t s) {
    if (mh_[s].open) model_.release(mh_[s]);
    mh_[s] = MHandle{};
    handles_[s].reset();
  }

  void put(std::size_t s, IoResult<FileHandle>&& opened, const IoResult<InodeId>& want,
           std::uint32_t mode, const char* op) {
    same(opened, want, op);
    if (!opened) return;
    check(opened->id() == std::optional<InodeId>(*want),
          std::string(op) + ": handle names another id");
    check(opened->type().bits == mode, std::string(op) + ": handle has another mode");
    check(opened->tell() == IoResult<std::size_t>(0), std::string(op) + ": offset not 0");
    drop(s);
    handles_[s].emplace(std::move(*opened));
    mh_[s] = MHandle{true, *want, mode, 0};
  }

  // Every operation on a handle fails alike once it is closed.
  template <typename T>
  bool closed(std::size_t s, const IoResult<T>& got, const char* op) {
    if (mh_[s].open) return false;
    same(got, IoResult<T>(err(IoErrorKind::InvalidFileDescriptor)), op);
    return true;
  }

  void one_step() {
    const std::size_t s = in_.ConsumeIntegralInRange<std::size_t>(0, kSlots - 1);
    switch (in_.ConsumeIntegralInRange(0, 21)) {
      case 0:
      case 1: {
        const bool dir = in_.ConsumeBool();
        const std::string path = pick_path();
        trace(std::string(dir ? "mkdir " : "touch ") + path);
        same(dir ? fs_->mkdir(path) : fs_->touch(path),
             model_.create_at(path, dir ? Kind::Directory : Kind::File), dir ? "mkdir" : "touch");
        break;
      }
      case 2: {
        const InodeId parent = pick_id();
        const std::string name = pick_name();
        const bool dir = in_.ConsumeBool();
        trace("create_inode " + std::to_string(parent) + " " + name + (dir ? " dir" : " file"));
        auto got = fs_->create_inode(
            parent, name,
            dir ? lumvex::INodeKind{lumvex::Directory{}} : lumvex::INodeKind{lumvex::File{}});
        same(got, model_.create(parent, name, dir ? Kind::Directory : Kind::File), "create_inode");
        break;
      }
      case 3: {
        const std::string path = pick_path();
        const bool recursive = in_.ConsumeBool();
        trace("rm " + path + (recursive ? " -r" : ""));
        auto target = model_.resolve_path(path);
        same(fs_->rm(path, recursive),
             target ? model_.remove(*target, recursive)
                    : IoResult<void>(std::unexpected(target.error())),
             "rm");
        break;
      }
      case 4: {
        const InodeId id = pick_id();
        const bool recursive = in_.ConsumeBool();
        trace("rm_raw " + std::to_string(id) + (recursive ? " -r" : ""));
        same(fs_->rm_raw(id, recursive), model_.remove(id, recursive), "rm_raw");
        break;
      }
      case 5:
      case 6: {
        const std::string path = pick_path();
        const std::uint32_t mode = pick_mode();
        const bool create = in_.ConsumeIntegralInRange(0, 3) != 0;
        trace("open " + path + " mode " + std::to_string(mode) + (create ? " create" : "") +
              " -> slot " + std::to_string(s));
        auto want = model_.open(path, mode, create);
        put(s, FileSystem::open(fs_, path, FileHandleType{mode}, create), want, mode, "open");
        break;
      }
      case 7: {
        const InodeId id = pick_id();
        const std::uint32_t mode = pick_mode();
        trace("open_raw " + std::to_string(id) + " mode " + std::to_string(mode) + " -> slot " +
              std::to_string(s));
        auto want = model_.open_entry(id, mode);
        put(s, FileSystem::open_raw(fs_, id, FileHandleType{mode}), want, mode, "open_raw");
        break;
      }
      case 8: {
        trace("close slot " + std::to_string(s));
        if (!handles_[s]) break;
        auto got = handles_[s]->close();
        if (closed(s, got, "close")) break;
        same(got, IoResult<void>{}, "close");
        model_.release(mh_[s]);
        mh_[s].open = false;
        check(!handles_[s]->id() && !handles_[s]->tell(), "a closed handle still answers");
        break;
      }
      case 9: {
        trace("drop slot " + std::to_string(s));
        drop(s);
        break;
      }
      case 10:
      case 11: {
        const bool into = in_.ConsumeBool();
        const std::size_t max =
            into ? pick_amount(length_of(s)) : in_.ConsumeIntegralInRange(0, 80);
        trace("read slot " + std::to_string(s) + " max " + std::to_string(max));
        if (!handles_[s]) break;
        std::vector<std::uint8_t> buffer(into ? 0 : max, 0xA5);
        IoResult<std::size_t> got = into ? handles_[s]->read_into(max,
                                                                  [&](std::size_t count) {
                                                                    buffer.assign(count, 0xA5);
                                                                    return buffer.data();
                                                                  })
                                         : handles_[s]->read(buffer);
        if (closed(s, got, "read")) break;
        MHandle& h = mh_[s];
        if (!(h.mode & FileHandleType::READ)) {
          same(got,
               IoResult<std::size_t>(std::unexpected(IoError::operation_not_supported("read"))),
               "read");
          break;
        }
        const std::string& bytes = model_.nodes.at(h.id).bytes;
        const std::size_t count = std::min(max, bytes.size() - h.offset);
        same(got, IoResult<std::size_t>(count), "read");
        check(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count),
                         bytes.begin() + static_cast<std::ptrdiff_t>(h.offset),
                         [](std::uint8_t got, char want) {
                           return got == static_cast<std::uint8_t>(want);
                         }),
              "read gave other bytes");
        check(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(count), buffer.end(),
                          [](std::uint8_t b) { return b == 0xA5; }),
              "read touched the buffer past its count");
        h.offset += count;
        break;
      }
      case 12:
      case 13: {
        std::string bytes = in_.ConsumeRandomLengthString(48);
        if (in_.ConsumeIntegralInRange(0, 7) == 0)
          bytes.append(in_.ConsumeIntegralInRange(0, 300), 'z');
        trace("write slot " + std::to_string(s) + " " + std::to_string(bytes.size()) + " bytes");
        if (!handles_[s]) break;
        auto got = handles_[s]->write(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (closed(s, got, "write")) break;
        const MHandle& h = mh_[s];
        if (!(h.mode & FileHandleType::WRITE)) {
          same(got,
               IoResult<std::size_t>(std::unexpected(IoError::operation_not_supported("write"))),
               "write");
          break;
        }
        same(got, IoResult<std::size_t>(bytes.size()), "write");
        std::string& file = model_.nodes.at(h.id).bytes;
        if (h.offset + bytes.size() > file.size()) file.resize(h.offset + bytes.size());
        file.replace(h.offset, bytes.size(), bytes);
        break;
      }
      case 14:
      case 15: {
        const int origin = in_.ConsumeIntegralInRange(0, 2);
        const std::size_t amount = pick_amount(length_of(s));
        trace("seek slot " + std::to_string(s) + " origin " + std::to_string(origin) + " " +
              std::to_string(amount));
        if (!handles_[s]) break;
        const SeekFrom target = origin == 0   ? SeekFrom::Start(amount)
                                : origin == 1 ? SeekFrom::End(amount)
                                              : SeekFrom::Current(amount);
        auto got = handles_[s]->seek(target);
        if (closed(s, got, "seek")) break;
        same(got, IoResult<void>{}, "seek");
        MHandle& h = mh_[s];
        const std::size_t length = model_.nodes.at(h.id).bytes.size();
        std::size_t to = 0;
        if (origin == 0) to = amount;
        if (origin == 1) to = amount > length ? 0 : length - amount;
        if (origin == 2)
          to = amount > std::numeric_limits<std::size_t>::max() - h.offset
                   ? std::numeric_limits<std::size_t>::max()
                   : h.offset + amount;
        h.offset = std::min(to, length);
        same(handles_[s]->tell(), IoResult<std::size_t>(h.offset), "tell after seek");
        break;
      }
      case 16: {
        const std::size_t to = in_.ConsumeIntegralInRange<std::size_t>(0, kSlots - 1);
        trace("move slot " + std::to_string(s) + " to slot " + std::to_string(to));
        if (!handles_[s] || !handles_[to] || s == to) break;
        // Move assignment closes the handle it replaces; the moved-from one
        // is left closed.
        if (mh_[to].open) model_.release(mh_[to]);
        *handles_[to] = std::move(*handles_[s]);
        mh_[to] = mh_[s];
        mh_[s].open = false;
        same(handles_[s]->tell(), IoResult<std::size_t>(err(IoErrorKind::InvalidFileDescriptor)),
             "tell after move");
        break;
      }
      case 17: {
        const InodeId id = pick_id();
        trace("ls_raw " + std::to_string(id));
        auto got = fs_->ls_raw(id);
        IoResult<lumvex::Listing> want = err(IoErrorKind::InodeNotFound);
        if (auto it = model_.nodes.find(id); it != model_.nodes.end()) {
          if (it->second.kind != Kind::Directory) {
            want = err(IoErrorKind::NotADirectory);
          } else {
            want = lumvex::Listing{};
            for (InodeId child : it->second.children) {
              const MNode& c = model_.nodes.at(child);
              (c.kind == Kind::Directory ? want->second : want->first).push_back(c.name);
            }
          }
        }
        same(got, want, "ls_raw");
        break;
      }
      case 18: {
        const InodeId id = pick_id();
        const std::string name = pick_name();
        const std::string path = pick_path();
        trace("lookups " + std::to_string(id) + " " + name + " " + path);
        same(fs_->find_inode_by_name(id, name), model_.find_by_name(id, name),
             "find_inode_by_name");
        same(fs_->get_inode_by_path_raw(path), model_.resolve_path(path), "get_inode_by_path_raw");
        same(fs_->get_inode_raw(id),
             model_.exists(id) ? IoResult<InodeId>(id) : err(IoErrorKind::InodeNotFound),
             "get_inode_raw");
        auto it = model_.nodes.find(id);
        const bool is_dir = it != model_.nodes.end() && it->second.kind == Kind::Directory;
        same(fs_->is_directory_raw(id),
             model_.exists(id) ? IoResult<bool>(is_dir) : err(IoErrorKind::InodeNotFound),
             "is_directory_raw");
        same(fs_->is_file_raw(id),
             model_.exists(id) ? IoResult<bool>(!is_dir) : err(IoErrorKind::InodeNotFound),
             "is_file_raw");
        same(fs_->get_path_by_inode(id),
             model_.exists(id) ? IoResult<std::string>(model_.path_of(id))
                               : err(IoErrorKind::InodeNotFound),
             "get_path_by_inode");
        break;
      }
      case 20: {
        // Many children in one directory, so that its name index grows.
        const InodeId parent = pick_id();
        const std::string prefix = pick_name();
        const int count = in_.ConsumeIntegralInRange(0, 40);
        const bool dir = in_.ConsumeBool();
        trace("populate " + std::to_string(parent) + " with " + std::to_string(count) + " x " +
              prefix);
        for (int k = 0; k < count; ++k) {
          const std::string name = prefix + std::to_string(k);
          auto got = fs_->create_inode(
              parent, name,
              dir ? lumvex::INodeKind{lumvex::Directory{}} : lumvex::INodeKind{lumvex::File{}});
          same(got, model_.create(parent, name, dir ? Kind::Directory : Kind::File),
               "create_inode (populate)");
        }
        break;
      }
      case 21: {
        // Removes every k-th child of a directory, leaving holes behind.
        const InodeId dir = pick_id();
        const std::size_t every = in_.ConsumeIntegralInRange<std::size_t>(1, 4);
        const std::size_t first = in_.ConsumeIntegralInRange<std::size_t>(0, 3);
        trace("prune " + std::to_string(dir) + " every " + std::to_string(every) + " from " +
              std::to_string(first));
        auto it = model_.nodes.find(dir);
        if (it == model_.nodes.end()) break;
        const std::vector<InodeId> children = it->second.children;
        for (std::size_t k = first; k < children.size(); k += every) {
          same(fs_->rm_raw(children[k], true), model_.remove(children[k], true), "rm_raw (prune)");
        }
        break;
      }
      case 19: {
        const std::string text = in_.ConsumeRandomLengthString(4);
        trace("mode text of " + std::to_string(text.size()) + " bytes");
        std::uint32_t bits = 0;
        bool valid = true;
        for (char c : text) {
          const std::uint32_t flag = c == 'r'   ? FileHandleType::READ
                                     : c == 'w' ? FileHandleType::WRITE
                                                : 0;
          valid = valid && flag != 0 && (bits & flag) == 0;
          bits |= flag;
        }
        auto got = FileHandleType::from_str(text);
        same(got, valid ? IoResult<int>(0) : err(IoErrorKind::UnrecognizedFileMode), "from_str");
        if (got) check(got->bits == bits, "from_str: wrong flags");
        if (handles_[s]) {
          const std::string text_of_handle = handles_[s]->debug_string();
          check(text_of_handle.starts_with(mh_[s].open ? "FileHandle { id: Some(" +
                                                             std::to_string(mh_[s].id) + ")"
                                                       : std::string("FileHandle { id: None")),
                "handle debug text names another id");
        }
        break;
      }
    }
  }

  FuzzedDataProvider in_;
  std::string trace_;  // the operations so far, for the report
  std::shared_ptr<FileSystem> fs_ = FileSystem::make();
  Model model_;
  std::array<std::optional<FileHandle>, kSlots> handles_;
  std::array<MHandle, kSlots> mh_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Driver driver(data, size);
  try {
    driver.run();
  } catch (const Failure& failure) {
    std::fprintf(stderr, "fs_ops_fuzzer: %s\noperations:\n%s", failure.what.c_str(),
                 driver.trace().c_str());
    std::abort();
  }
  // LUMVEX_FUZZ_TRACE=1 shows what an input does (run it alone).
  if (std::getenv("LUMVEX_FUZZ_TRACE") != nullptr) std::fputs(driver.trace().c_str(), stderr);
  return 0;
}
