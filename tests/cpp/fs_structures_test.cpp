// The filesystem's containers against std containers: seeded random
// sequences of operations, checked after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fs/child_list.hpp"
#include "fs/file_bytes.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"

namespace lumvex {
namespace {

constexpr int kSeeds = 8;
constexpr int kSteps = 3000;

InodeRef new_node(InodeId id, const std::string& name, int kind) {
  INodeKind payload = kind == 0   ? INodeKind{File{}}
                      : kind == 1 ? INodeKind{Directory{}}
                                  : INodeKind{Symlink{0}};
  return InodeRef::make(id, 0, 1, ShortString(name), std::move(payload));
}

class ChildListModel : public testing::TestWithParam<int> {};

TEST_P(ChildListModel, MatchesAnOrderedListOfNames) {
  std::mt19937_64 rng(GetParam());
  const HashKey key{rng(), rng()};
  ChildList list;
  struct Entry {
    InodeId id;
    std::string name;
    int kind;
  };
  std::vector<Entry> model;  // creation order
  InodeId next_id = 1;
  // Few names, so that appends of taken names and removals both happen;
  // some are longer than the inline room of a name.
  auto name_of = [&](std::uint64_t n) {
    return (n % 3 == 0 ? "a-rather-long-entry-name-" : "e") + std::to_string(n % 400);
  };
  for (int step = 0; step < kSteps; ++step) {
    const std::uint64_t r = rng();
    if (r % 5 < 3) {
      const int kind = static_cast<int>(rng() % 7 == 0 ? 2 : rng() % 2);
      const std::string name = name_of(rng());
      const bool taken = kind != 2 && std::any_of(model.begin(), model.end(), [&](const Entry& e) {
                           return e.kind != 2 && e.name == name;
                         });
      const InodeId id = next_id++;
      ASSERT_EQ(list.append(new_node(id, name, kind), key), !taken) << name;
      if (!taken) model.push_back({id, name, kind});
    } else if (!model.empty()) {
      const std::size_t victim = rng() % model.size();
      InodeRef removed = list.remove(model[victim].id, model[victim].name);
      ASSERT_TRUE(removed);
      EXPECT_EQ(removed->id, model[victim].id);
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(victim));
      EXPECT_FALSE(list.remove(next_id + 7, "e1"));  // never listed
    }
    ASSERT_EQ(list.size(), model.size());
    const std::string probe = name_of(rng());
    auto expected = std::find_if(model.begin(), model.end(),
                                 [&](const Entry& e) { return e.kind != 2 && e.name == probe; });
    const INode* found = list.find(probe);
    ASSERT_EQ(found != nullptr, expected != model.end()) << probe;
    if (found) {
      EXPECT_EQ(found->id, expected->id);
    }
    if (step % 50 == 0 || model.size() < 3) {
      std::vector<InodeId> ids, links;
      std::vector<std::string> files, dirs, model_files, model_dirs;
      for (const Entry& e : model) {
        ids.push_back(e.id);
        if (e.kind == 2) links.push_back(e.id);
        if (e.kind != 2) (e.kind == 1 ? model_dirs : model_files).push_back(e.name);
      }
      auto listed = list.ids();
      EXPECT_EQ(std::vector<InodeId>(listed.begin(), listed.end()), ids);
      EXPECT_EQ(list.symlinks(), links);
      list.list_names(files, dirs);
      EXPECT_EQ(files, model_files);
      EXPECT_EQ(dirs, model_dirs);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ChildListModel, testing::Range(1, kSeeds + 1));

class InodeTableModel : public testing::TestWithParam<int> {};

TEST_P(InodeTableModel, MatchesAMap) {
  std::mt19937_64 rng(GetParam());
  InodeTable table(rng());
  std::map<InodeId, InodeRef> model;
  // Mostly a dense run of ids, as creation makes them, plus far ones: any
  // id for lookups and removals, up to 2^20 for insertions (the segments of
  // the table are sized for ids in use, which come from a counter).
  auto pick_id = [&](bool inserting) -> InodeId {
    switch (rng() % 10) {
      case 0:
        return inserting ? rng() % (1u << 20) : rng();
      case 1:
        return (InodeId{1} << (rng() % (inserting ? 20 : 64))) + rng() % 3 - 1;
      default:
        return rng() % 2000;
    }
  };
  for (int step = 0; step < kSteps; ++step) {
    const unsigned op = rng() % 3;
    const InodeId id = pick_id(op == 0);
    const auto it = model.find(id);
    switch (op) {
      case 0: {
        InodeRef node = new_node(id, "n", 0);
        InodeRef replaced = table.insert(node);
        EXPECT_EQ(replaced.get(), it == model.end() ? nullptr : it->second.get());
        model[id] = node;
        break;
      }
      case 1: {
        InodeRef removed = table.remove(id);
        EXPECT_EQ(removed.get(), it == model.end() ? nullptr : it->second.get());
        if (it != model.end()) model.erase(it);
        break;
      }
      default:
        EXPECT_EQ(table.find(id).get(), it == model.end() ? nullptr : it->second.get());
    }
    if (step % 300 == 0) {
      ASSERT_EQ(table.size(), model.size());
      std::map<InodeId, const INode*> visited;
      table.for_each([&](InodeId key, const INode& node) {
        EXPECT_EQ(key, node.id);
        EXPECT_TRUE(visited.emplace(key, &node).second) << "visited twice: " << key;
      });
      ASSERT_EQ(visited.size(), model.size());
      for (const auto& [key, node] : model) EXPECT_EQ(visited[key], node.get());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, InodeTableModel, testing::Range(1, kSeeds + 1));

class FileBytesModel : public testing::TestWithParam<int> {};

TEST_P(FileBytesModel, MatchesAVector) {
  std::mt19937_64 rng(GetParam());
  FileBytes bytes;
  std::vector<std::uint8_t> model;
  for (int step = 0; step < kSteps; ++step) {
    // Sizes around the inline room, and now and then far beyond it.
    const std::size_t n = rng() % 8 == 0 ? rng() % 5000 : rng() % 48;
    switch (rng() % 4) {
      case 0:
        bytes.resize(n);
        model.resize(n);
        break;
      case 3: {  // a copy shares the bytes; a change to it leaves them alone
        FileBytes copy(bytes);
        copy.resize(n / 2);
        if (!copy.empty()) copy.data()[0] ^= 0xff;
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), model.begin(), model.end()));
        break;
      }
      case 1: {  // a write: from within the bytes, lengthening them if need be
        const std::size_t from = rng() % (bytes.size() + 1);
        const std::size_t end = std::max(from + n, bytes.size());
        bytes.resize_for_overwrite(end);
        model.resize(end);
        for (std::size_t i = from; i < end; ++i) bytes.data()[i] = model[i] = rng() & 0xff;
        break;
      }
      default: {
        FileBytes moved(std::move(bytes));
        EXPECT_TRUE(bytes.empty());
        bytes = std::move(moved);
      }
    }
    ASSERT_EQ(bytes.size(), model.size());
    ASSERT_GE(bytes.capacity(), bytes.size());
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), model.begin(), model.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FileBytesModel, testing::Range(1, kSeeds + 1));

}  // namespace
}  // namespace lumvex
