// Many threads create, list, open, write, read and remove in overlapping
// directories; afterwards the tree must still be consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"

namespace lumvex {
namespace {

// Records the handles each thread believes it holds. Entries are added after
// an open succeeds and dropped before the close, so the registry never holds
// more than the filesystem grants: any conflict it sees is a real one.
class OpenRegistry {
 public:
  void opened(InodeId id, bool exclusive) {
    std::lock_guard lock(mutex_);
    auto& [readers, writers] = held_[id];
    if (writers > 0 || (exclusive && readers > 0)) ++conflicts_;
    (exclusive ? writers : readers) += 1;
  }
  void closing(InodeId id, bool exclusive) {
    std::lock_guard lock(mutex_);
    auto& [readers, writers] = held_[id];
    (exclusive ? writers : readers) -= 1;
  }
  int conflicts() {
    std::lock_guard lock(mutex_);
    return conflicts_;
  }

 private:
  std::mutex mutex_;  // guards held_ and conflicts_
  std::map<InodeId, std::pair<int, int>> held_;
  int conflicts_ = 0;
};

void check_tree(const FileSystem& fs) {
  std::size_t reachable = 0;
  std::vector<InodeId> pending = {kRootId};
  while (!pending.empty()) {
    InodeId dir_id = pending.back();
    pending.pop_back();
    ++reachable;
    InodeRef dir = fs.lookup(dir_id);
    ASSERT_TRUE(dir);
    std::vector<InodeId> children;
    {
      const INode& node = *dir;
      INode::ReadGuard guard(node);
      if (node.is_file()) {
        EXPECT_EQ(node.file_lock.flag.load(), 0) << "file " << dir_id << " still locked";
        continue;
      }
      node.directory()->children.for_each([&](InodeId id) { children.push_back(id); });
    }
    std::set<std::string> names;
    for (InodeId child_id : children) {
      InodeRef child = fs.lookup(child_id);
      ASSERT_TRUE(child) << "listed child " << child_id << " missing from the table";
      EXPECT_EQ(child->parent, dir_id);
      EXPECT_EQ(child->depth, dir->depth + 1);
      EXPECT_TRUE(names.insert(std::string(child->name.view())).second)
          << "duplicate name " << child->name.view();
      EXPECT_EQ(fs.find_inode_by_name(dir_id, child->name.view()).value_or(~0ull), child_id);
      pending.push_back(child_id);
    }
  }
  EXPECT_EQ(reachable, fs.inode_count()) << "entries in the table that no directory lists";
}

TEST(FsStressTest, ConcurrentTreeOperationsKeepTheInvariants) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 6000;
  auto fs = FileSystem::make();
  const std::vector<std::string> dirs = {"/a", "/b", "/a/x", "/b/y"};
  for (const auto& dir : dirs) ASSERT_TRUE(fs->mkdir(dir));
  const std::vector<std::string> names = {"n0", "n1", "n2", "n3", "n4", "n5"};
  OpenRegistry registry;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1234 + t);
      auto pick = [&](const auto& v) -> const auto& { return v[rng() % v.size()]; };
      for (int i = 0; i < kIterations; ++i) {
        std::string path = pick(dirs) + "/" + pick(names);
        switch (rng() % 7) {
          case 0:
            (void)fs->mkdir(path);
            break;
          case 1:
            (void)fs->touch(path);
            break;
          case 2:
            (void)fs->rm(path, rng() % 2 == 0);
            break;
          case 3: {
            auto id = fs->get_inode_by_path_raw(pick(dirs));
            if (id) (void)fs->ls_raw(*id);
            break;
          }
          case 4:
            (void)fs->rm(pick(dirs) + "/" + pick(names) + "/" + pick(names), false);
            break;
          default: {
            bool exclusive = rng() % 3 == 0;
            auto handle =
                FileSystem::open(fs, path, *FileHandleType::from_str(exclusive ? "rw" : "r"), true);
            if (!handle) break;
            InodeId id = *handle->id();
            registry.opened(id, exclusive);
            std::uint8_t buffer[16];
            if (exclusive) {
              const std::uint8_t payload[] = {'s', 't', 'r', 'e', 's', 's'};
              (void)handle->write(payload);
            }
            (void)handle->read(buffer);
            (void)handle->seek(SeekFrom::End(1));
            (void)fs->rm(path, false);  // must be refused while open
            (void)fs->mkdir(path + "/sub");
            registry.closing(id, exclusive);
            EXPECT_TRUE(handle->close());
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(registry.conflicts(), 0);
  check_tree(*fs);
}

// Renames that cross each other (a into b while b goes into a), mixed with
// creations, removals and open handles: none may deadlock, and the tree must
// stay a tree, every entry reachable once from the root.
TEST(FsStressTest, CrossingRenamesNeitherDeadlockNorMakeCycles) {
  constexpr int kThreads = 6;
  constexpr int kIterations = 4000;
  auto fs = FileSystem::make();
  for (const char* dir : {"/a", "/b", "/a/c", "/b/d"}) ASSERT_TRUE(fs->mkdir(dir));
  ASSERT_TRUE(fs->touch("/a/f"));
  const std::vector<std::string> paths = {"/a",     "/b",     "/a/b", "/b/a",   "/a/c",
                                          "/b/d",   "/c",     "/d",   "/a/b/c", "/b/a/d",
                                          "/a/c/b", "/b/d/a", "/f",   "/a/f",   "/b/f"};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(99 + t);
      auto pick = [&]() -> const std::string& { return paths[rng() % paths.size()]; };
      for (int i = 0; i < kIterations; ++i) {
        switch (rng() % 8) {
          case 0:
            (void)fs->mkdir(pick());
            break;
          case 1:
            (void)fs->rm(pick(), false);
            break;
          case 2: {
            auto handle = FileSystem::open(fs, pick(), *FileHandleType::from_str("r"), false);
            if (!handle) break;
            (void)fs->rename(pick(), pick());  // the open file may move meanwhile
            std::uint8_t buffer[4];
            EXPECT_TRUE(handle->read(buffer));
            EXPECT_TRUE(handle->close());
            break;
          }
          case 3:
            (void)fs->get_path_by_inode(static_cast<InodeId>(rng() % 16));
            break;
          default:
            (void)fs->rename(pick(), pick());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  check_tree(*fs);
}

TEST(FsStressTest, ManySharedOpensOfOneFileBalance) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->touch("/f"));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto handle = FileSystem::open(fs, "/f", *FileHandleType::from_str("r"), false);
        if (!handle || !handle->close()) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(fs->rm("/f", false));
}

// Writers create files one after another and fill each with one write while
// the main thread forks. Every fork must hold, for each writer, the files up
// to some point, each either complete or (the newest only) still empty: a
// change is in a fork entirely or not at all. Forks are changed too, and
// neither side may see the other's changes afterwards.
TEST(FsStressTest, ForksUnderConcurrentWritesSeeEachChangeWholeOrNotAtAll) {
  auto fs = FileSystem::make();
  constexpr int kWriters = 2;
  constexpr int kFiles = 3000;  // at most: the writers stop once the forks are made
  constexpr std::size_t kForks = 60;
  const auto write_mode = *FileHandleType::from_str("w");
  auto contents = [](int i) { return std::string(40 + i % 7, static_cast<char>('a' + i % 26)); };
  for (int t = 0; t < kWriters; ++t) ASSERT_TRUE(fs->mkdir("/w" + std::to_string(t)));
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kFiles && !stop.load(); ++i) {
        const std::string data = contents(i);
        auto handle = FileSystem::open(fs, "/w" + std::to_string(t) + "/f" + std::to_string(i),
                                       write_mode, true);
        if (!handle ||
            !handle->write(
                std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())) ||
            !handle->close())
          ++failures;
      }
    });
  }
  std::vector<std::pair<std::shared_ptr<FileSystem>, std::string>> forks;  // and their images
  while (forks.size() < kForks) {
    auto fork = fs->fork();
    ASSERT_TRUE(fork->touch("/only-in-the-fork"));
    for (int t = 0; t < kWriters; ++t) {
      const std::string dir = "/w" + std::to_string(t);
      auto listing = fork->ls_raw(*fork->get_inode_by_path_raw(dir));
      ASSERT_TRUE(listing);
      const std::size_t count = listing->first.size();
      for (std::size_t i = 0; i < count; ++i) {
        const std::string path = dir + "/f" + std::to_string(i);
        auto handle = FileSystem::open(fork, path, *FileHandleType::from_str("r"), false);
        ASSERT_TRUE(handle) << path << " is missing though a later file is there";
        std::string got(64, '\0');
        got.resize(*handle->read(std::span(reinterpret_cast<std::uint8_t*>(got.data()), 64)));
        if (got.empty() && i + 1 == count) continue;  // created, not yet written
        EXPECT_EQ(got, contents(static_cast<int>(i))) << path;
      }
    }
    forks.emplace_back(fork, fork->dump());
  }
  stop = true;
  for (auto& thread : writers) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(fs->get_inode_by_path_raw("/only-in-the-fork"));
  for (const auto& [fork, image] : forks) EXPECT_EQ(fork->dump(), image);
  check_tree(*fs);
}

// Handles give their shares back without the tree lock, while a rename in a
// filesystem that shares (forked again and again) copies their file: no
// share may be lost or counted twice on the way to the copy.
TEST(FsStressTest, SharesGivenBackWhileTheFileIsCopiedBalance) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->touch("/f"));
  std::atomic<bool> done{false};
  std::atomic<int> opened{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      const auto mode = *FileHandleType::from_str("r");
      while (!done.load()) {
        std::vector<FileHandle> handles;
        for (const char* path : {"/f", "/g", "/f"}) {
          auto handle = FileSystem::open(fs, path, mode, false);
          if (handle) handles.push_back(std::move(*handle));
        }
        opened += static_cast<int>(handles.size());
        for (FileHandle& handle : handles) ASSERT_TRUE(handle.close());
      }
    });
  }
  std::vector<std::shared_ptr<FileSystem>> forks;
  // At least 300 rounds, and on until the readers have been at work.
  for (int i = 0; i < 300 || (opened.load() < 300 && i < 100000); ++i) {
    forks.push_back(fs->fork());  // everything shared again: the renames copy
    ASSERT_TRUE(fs->rename("/f", "/g"));
    ASSERT_TRUE(fs->rename("/g", "/f"));
    if (forks.size() > 4) forks.erase(forks.begin());
  }
  done = true;
  for (auto& thread : readers) thread.join();
  EXPECT_GT(opened.load(), 0);
  // Every share is back: the file can be opened exclusively and removed.
  auto writer = FileSystem::open(fs, "/f", *FileHandleType::from_str("w"), false);
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->close());
  EXPECT_TRUE(fs->rm("/f", false));
  for (const auto& fork : forks) EXPECT_TRUE(fork->rm("/f", false));
}

}  // namespace
}  // namespace lumvex
