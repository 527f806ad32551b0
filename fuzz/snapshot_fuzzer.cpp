// Fuzzes FileSystem::load, the reader of the byte image that pickling
// carries. Any input must either be refused with a message or give a
// filesystem whose image, dumped again, is the input itself (the format has
// exactly one spelling of each tree), and whose tree holds: every entry
// listed once, reachable by its path, and removable. What it costs stays
// bounded by the image's size: its next id lies within the bound that load()
// sets for ids, and one more creation, in it and in a fork of it, allocates
// for that id only (libFuzzer's memory limit catches any more).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fs/filesystem.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::size_t size) {
  std::fprintf(stderr, "snapshot_fuzzer: %s (input of %zu bytes)\n", what, size);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto loaded = lumvex::FileSystem::load(input);
  if (!loaded) {
    if (loaded.error().rfind("invalid filesystem data: ", 0) != 0)
      fail("unexplained refusal", size);
    return 0;
  }
  lumvex::FileSystem& fs = **loaded;
  if (fs.dump() != input) fail("a loaded image dumps differently", size);
  if (size < 16 || fs.next_inode_id() - 1 > lumvex::FileSystem::max_loaded_id(size - 16))
    fail("a loaded next id beyond the image's bound", size);
  {
    auto copy = lumvex::FileSystem::load(input);
    if (!copy) fail("a loaded image loads only once", size);
    auto fork = (*copy)->fork();
    for (lumvex::FileSystem* side : {copy->get(), fork.get()}) {
      auto made = side->mkdir("/fuzz-new");
      if (!made && made.error().kind() != lumvex::IoErrorKind::ResourceAlreadyExists)
        fail("a loaded filesystem cannot make a directory", size);
    }
  }
  // Every entry in the table is reachable from the root, once, by its path,
  // and knows that path.
  std::size_t reachable = 1;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    auto id = fs.get_inode_by_path_raw(dir);
    if (!id) fail("a listed directory is not found", size);
    auto listing = fs.ls_raw(*id);
    if (!listing) fail("a loaded directory cannot be listed", size);
    for (int kind = 0; kind < 2; ++kind) {
      for (const std::string& name : kind == 0 ? listing->first : listing->second) {
        const std::string path = dir + "/" + name;
        auto child = fs.get_inode_by_path_raw(path);
        if (!child) fail("a listed entry is not found by its path", size);
        auto back = fs.get_path_by_inode(*child);
        if (!back || *back != path) fail("a loaded entry does not know its path", size);
        ++reachable;
        if (kind == 1) pending.push_back(path);
      }
    }
  }
  if (reachable != fs.inode_count()) fail("entries that no directory lists", size);
  (void)fs.debug_string();
  if (!fs.rm("/", true)) fail("the loaded tree cannot be removed", size);
  if (fs.inode_count() != 1) fail("entries are left after removing everything", size);
  return 0;
}
