// Filesystem core: name lookup, creation and removal in directories of
// 10, 10,000 and 1,000,000 entries; small-file open/read/close; large reads.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"

namespace lumvex {
namespace {

constexpr int kBatch = 1000;

struct Populated {
  std::shared_ptr<FileSystem> fs;
  InodeId dir;
  std::int64_t size;
};

constexpr std::int64_t kLargest = 1000000;

// One filesystem per directory size, filled once and reused by every
// benchmark of that size. Every filesystem holds the same number of inodes
// (the rest sit in a second directory), so the figures differ only by the
// size of the directory worked in, not by the size of the inode table.
Populated& populated(std::int64_t size) {
  static std::map<std::int64_t, Populated> cache;
  auto it = cache.find(size);
  if (it != cache.end()) return it->second;
  auto fs = FileSystem::make();
  InodeId dir = fs->create_inode(kRootId, "dir", Directory{}).value();
  InodeId ballast = fs->create_inode(kRootId, "ballast", Directory{}).value();
  for (std::int64_t i = 0; i < kLargest; ++i) {
    InodeId target = i < size ? dir : ballast;
    (void)fs->create_inode(target, "entry" + std::to_string(i), File{}).value();
  }
  return cache[size] = Populated{fs, dir, size};
}

void BM_Lookup(benchmark::State& state) {
  auto& p = populated(state.range(0));
  std::mt19937_64 rng(7);
  std::vector<std::string> names;
  for (int i = 0; i < 4096; ++i) names.push_back("entry" + std::to_string(rng() % p.size));
  std::size_t i = 0;
  for (auto _ : state) {
    auto id = p.fs->find_inode_by_name(p.dir, names[i++ & 4095]);
    benchmark::DoNotOptimize(id);
  }
}

void create_batch(std::vector<std::string>& names, std::uint64_t& counter) {
  names.clear();
  for (int i = 0; i < kBatch; ++i) names.push_back("new" + std::to_string(counter++));
}

void BM_Create(benchmark::State& state) {
  auto& p = populated(state.range(0));
  std::vector<std::string> names;
  std::vector<InodeId> ids;
  std::uint64_t counter = 0;
  while (state.KeepRunningBatch(kBatch)) {
    state.PauseTiming();
    create_batch(names, counter);
    ids.clear();
    state.ResumeTiming();
    for (const auto& name : names) ids.push_back(p.fs->create_inode(p.dir, name, File{}).value());
    state.PauseTiming();
    for (InodeId id : ids) (void)p.fs->rm_raw(id, false);
    state.ResumeTiming();
  }
}

void BM_Remove(benchmark::State& state) {
  auto& p = populated(state.range(0));
  std::vector<std::string> names;
  std::vector<InodeId> ids;
  std::uint64_t counter = 0;
  while (state.KeepRunningBatch(kBatch)) {
    state.PauseTiming();
    create_batch(names, counter);
    ids.clear();
    for (const auto& name : names) ids.push_back(p.fs->create_inode(p.dir, name, File{}).value());
    state.ResumeTiming();
    for (InodeId id : ids) (void)p.fs->rm_raw(id, false);
  }
}

BENCHMARK(BM_Lookup)->Arg(10)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_Create)->Arg(10)->Arg(10000)->Arg(1000000);
BENCHMARK(BM_Remove)->Arg(10)->Arg(10000)->Arg(1000000);

void BM_OpenReadCloseSmallFile(benchmark::State& state) {
  auto fs = FileSystem::make();
  {
    auto h = FileSystem::open(fs, "/small", *FileHandleType::from_str("w"), true).value();
    std::vector<std::uint8_t> data(100, 'x');
    (void)h.write(data).value();
  }
  auto read_mode = *FileHandleType::from_str("r");
  std::uint8_t buffer[128];
  for (auto _ : state) {
    auto h = FileSystem::open(fs, "/small", read_mode, true).value();
    benchmark::DoNotOptimize(h.read(buffer).value());
    (void)h.close().value();
  }
}
BENCHMARK(BM_OpenReadCloseSmallFile);

void BM_Read64MiBIn1MiBChunks(benchmark::State& state) {
  constexpr std::size_t kChunk = 1 << 20, kTotal = 64 * kChunk;
  auto fs = FileSystem::make();
  auto h = FileSystem::open(fs, "/big", *FileHandleType::from_str("rw"), true).value();
  {
    std::vector<std::uint8_t> data(kTotal, 'y');
    (void)h.write(data).value();
  }
  std::vector<std::uint8_t> chunk(kChunk);
  for (auto _ : state) {
    (void)h.seek(SeekFrom::Start(0));
    for (std::size_t done = 0; done < kTotal; done += kChunk)
      benchmark::DoNotOptimize(h.read(chunk).value());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_Read64MiBIn1MiBChunks)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumvex
