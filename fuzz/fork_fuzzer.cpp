// Fuzzes forks: a sequence of changes to up to four live filesystems, each
// a fork of another (or of a fork of a fork), with forks made and dropped
// along the way. Every filesystem has a model (its paths and contents);
// a change that succeeds is applied to its model, and after every step
// every live filesystem must hold exactly what its model holds, so a change
// that leaks into another filesystem, or a fork that misses a change made
// before it, is caught at once.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"

namespace {

using lumvex::FileHandleType;
using lumvex::FileSystem;

// A path's contents; nullopt for a directory.
using Model = std::map<std::string, std::optional<std::string>>;

struct Live {
  std::shared_ptr<FileSystem> fs;
  Model model;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fork_fuzzer: %s\n", what);
  std::abort();
}

class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return at_ >= bytes_.size(); }
  std::uint8_t next() { return empty() ? 0 : bytes_[at_++]; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Paths from three names, up to three levels deep.
std::string path_of(Input& in) {
  static constexpr const char* kNames[] = {"a", "b", "c"};
  const int levels = 1 + in.next() % 3;
  std::string path;
  for (int i = 0; i < levels; ++i) path += std::string("/") + kNames[in.next() % 3];
  return path;
}

bool under(const std::string& path, const std::string& top) {
  return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                         path[top.size()] == '/');
}

std::string read_all(const std::shared_ptr<FileSystem>& fs, const std::string& path) {
  auto handle = FileSystem::open(fs, path, FileHandleType{FileHandleType::READ}, false);
  if (!handle) fail("a file of the model cannot be opened");
  std::string out(4096, '\0');
  auto got = handle->read(std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
  if (!got) fail("a file of the model cannot be read");
  out.resize(*got);
  return out;
}

// The whole tree of `fs`, walked from the root, as a model.
Model walk(const std::shared_ptr<FileSystem>& fs) {
  Model seen;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    auto id = fs->get_inode_by_path_raw(dir);
    if (!id) fail("a listed directory is not found");
    auto listing = fs->ls_raw(*id);
    if (!listing) fail("a directory cannot be listed");
    for (const std::string& name : listing->first)
      seen[dir + "/" + name] = read_all(fs, dir + "/" + name);
    for (const std::string& name : listing->second) {
      seen[dir + "/" + name] = std::nullopt;
      pending.push_back(dir + "/" + name);
    }
  }
  return seen;
}

void apply(Live& live, Input& in) {
  FileSystem& fs = *live.fs;
  Model& model = live.model;
  const std::string path = path_of(in);
  switch (in.next() % 5) {
    case 0:
      if (fs.mkdir(path)) model[path] = std::nullopt;
      break;
    case 1:
      if (fs.touch(path)) model[path] = std::string();
      break;
    case 2: {  // write from the start of a file, lengthening it if need be
      const std::string data(in.next() % 48, static_cast<char>('A' + in.next() % 26));
      auto handle = FileSystem::open(live.fs, path, FileHandleType{FileHandleType::WRITE}, true);
      if (!handle) break;
      auto written =
          handle->write(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
      if (!written || !handle->close()) fail("a write to an open file failed");
      std::string& contents = model[path].emplace(model[path].value_or(""));
      if (contents.size() < data.size()) contents.resize(data.size());
      contents.replace(0, data.size(), data);
      break;
    }
    case 3:
      if (fs.rm(path, true))
        std::erase_if(model, [&](const auto& entry) { return under(entry.first, path); });
      break;
    default: {
      const std::string to = path_of(in);
      if (!fs.rename(path, to)) break;
      if (to == path) break;
      std::erase_if(model, [&](const auto& entry) { return under(entry.first, to); });
      Model moved;
      for (auto it = model.begin(); it != model.end();) {
        if (under(it->first, path)) {
          moved[to + it->first.substr(path.size())] = std::move(it->second);
          it = model.erase(it);
        } else {
          ++it;
        }
      }
      model.merge(moved);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(std::span(data, size));
  std::vector<Live> live;
  live.push_back({FileSystem::make(), {}});
  for (int step = 0; step < 200 && !in.empty(); ++step) {
    const std::uint8_t op = in.next();
    Live& target = live[in.next() % live.size()];
    if (op % 8 == 0 && live.size() < 4) {
      Live forked{target.fs->fork(), target.model};
      if (forked.fs->next_inode_id() != target.fs->next_inode_id())
        fail("a fork hands out other ids");
      live.push_back(std::move(forked));
    } else if (op % 8 == 1 && live.size() > 1) {
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(in.next() % live.size()));
    } else {
      apply(target, in);
    }
    for (const Live& each : live) {
      if (walk(each.fs) != each.model) fail("a filesystem differs from its model");
      if (each.fs->inode_count() != each.model.size() + 1) fail("entries that no directory lists");
    }
  }
  return 0;
}
