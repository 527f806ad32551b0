// The generic containers against the standard ones: seeded random sequences
// of operations, the contents compared after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/shared_mutex.hpp"
#include "base/short_string.hpp"
#include "base/small_vector.hpp"
#include "base/zeroed_array.hpp"

namespace lumvex {
namespace {

constexpr int kSeeds = 8;
constexpr int kSteps = 4000;

// An allocator that fails on demand: the next `fail_after` allocations
// succeed, the one after fails.
struct FlakyAllocator {
  static inline int fail_after = -1;  // -1: never fail
  static bool fails() {
    if (fail_after < 0) return false;
    return fail_after-- == 0;
  }
  static void* allocate(std::size_t n) noexcept {
    return fails() ? nullptr : MallocAllocator::allocate(n);
  }
  static void* reallocate(void* p, std::size_t n) noexcept {
    return fails() ? nullptr : MallocAllocator::reallocate(p, n);
  }
  static void deallocate(void* p) noexcept { MallocAllocator::deallocate(p); }
};

class BaseModel : public testing::TestWithParam<int> {};

template <typename V, typename T>
void expect_same(const V& vector, const std::vector<T>& model, int step) {
  ASSERT_EQ(vector.size(), model.size()) << "step " << step;
  ASSERT_GE(vector.capacity(), vector.size());
  ASSERT_TRUE(std::equal(vector.begin(), vector.end(), model.begin())) << "step " << step;
}

TEST_P(BaseModel, SmallVectorActsAsAVector) {
  using Vector = SmallVector<std::uint32_t, 4, std::uint32_t, FlakyAllocator>;
  std::mt19937_64 rng(GetParam());
  Vector vector;
  std::vector<std::uint32_t> model;
  for (int step = 0; step < kSteps; ++step) {
    const auto value = static_cast<std::uint32_t>(rng());
    switch (rng() % 10) {
      case 0:
      case 1:
        vector.push_back(value);
        model.push_back(value);
        break;
      case 2:  // an element of its own, which growing may move
        if (!model.empty()) {
          const std::size_t i = rng() % model.size();
          vector.push_back(vector[i]);
          model.push_back(model[i]);
        }
        break;
      case 3:
        if (!model.empty()) {
          vector.pop_back();
          model.pop_back();
        }
        break;
      case 4: {  // grow zero-filled, or shrink
        const std::size_t n = rng() % 40;
        vector.resize(n);
        model.resize(n);
        break;
      }
      case 5: {  // grow for overwriting, then overwrite
        const std::size_t old = model.size(), n = old + rng() % 20;
        vector.resize_for_overwrite(n);
        model.resize(n);
        for (std::size_t i = old; i < n; ++i) vector[i] = model[i] = value + i;
        break;
      }
      case 6:
        if (rng() % 4 == 0) {
          vector.clear();
          model.clear();
        } else {
          vector.reserve(rng() % 64);
        }
        break;
      case 7:
        vector.shrink_to_fit();
        ASSERT_TRUE(model.size() > 4 || vector.is_inline()) << step;
        break;
      case 8: {  // copies and moves keep the contents; a moved-from one is empty
        Vector copy(vector);
        expect_same(copy, model, step);
        Vector moved(std::move(copy));
        ASSERT_TRUE(copy.empty());
        vector = moved;
        expect_same(vector, model, step);
        vector = std::move(moved);
        break;
      }
      case 9:  // an allocation that fails changes nothing
        FlakyAllocator::fail_after = 0;
        try {
          vector.resize(model.size() + rng() % 8);
          model.resize(vector.size());
        } catch (const std::bad_alloc&) {
        }
        FlakyAllocator::fail_after = -1;
        break;
    }
    expect_same(vector, model, step);
  }
}

TEST_P(BaseModel, ShortStringActsAsAString) {
  std::mt19937_64 rng(GetParam());
  std::vector<ShortString> strings(8);
  std::vector<std::string> model(8);
  auto random_text = [&] {
    std::string text(rng() % 30, '\0');  // inline up to 12 bytes, on the heap beyond
    for (char& c : text) c = static_cast<char>(rng());
    return text;
  };
  for (int step = 0; step < kSteps; ++step) {
    const std::size_t a = rng() % strings.size(), b = rng() % strings.size();
    switch (rng() % 4) {
      case 0: {
        std::string text = random_text();
        strings[a] = ShortString(text);
        model[a] = text;
        break;
      }
      case 1:
        strings[a] = strings[b];
        model[a] = model[b];
        break;
      case 2:
        if (a != b) {
          strings[a] = std::move(strings[b]);
          model[a] = std::move(model[b]);
          model[b].clear();  // a moved-from ShortString is empty
        }
        break;
      case 3: {
        ShortString copy(strings[a]);
        strings[b] = std::move(copy);
        model[b] = model[a];
        break;
      }
    }
    for (std::size_t i = 0; i < strings.size(); ++i) {
      ASSERT_EQ(strings[i].view(), model[i]) << "step " << step;
      ASSERT_EQ(strings[i].is_inline(), model[i].size() <= ShortString::kInlineCapacity);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BaseModel, testing::Range(1, kSeeds + 1));

// A copy that cannot allocate throws and leaves the target as it was, still
// owning what it owned (ASan checks that nothing is freed twice).
TEST(ShortString, FailedCopyLeavesTheTargetIntact) {
  using String = BasicShortString<FlakyAllocator>;
  const std::string long_text(40, 'x'), other_text(30, 'y');
  for (const std::string& before : {std::string("short"), long_text}) {
    String target(before), source(other_text);
    FlakyAllocator::fail_after = 0;
    EXPECT_THROW(target = source, std::bad_alloc);
    FlakyAllocator::fail_after = 0;
    EXPECT_THROW(String{other_text}, std::bad_alloc);
    EXPECT_EQ(target.view(), before);
    target = source;
    EXPECT_EQ(target.view(), other_text);
  }
}

// Zero-filled whatever the size (empty, calloc below the threshold, a fresh
// mapping above it), and a move hands the storage over.
TEST(ZeroedArray, StartsZeroedAndMoves) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000},
                        ZeroedArray<std::uint64_t>::kMapThreshold / sizeof(std::uint64_t) + 1}) {
    ZeroedArray<std::uint64_t> array(n);
    ASSERT_EQ(array.size(), n);
    EXPECT_TRUE(
        std::all_of(array.data(), array.data() + n, [](std::uint64_t v) { return v == 0; }));
    if (n) array[n - 1] = 42;
    ZeroedArray<std::uint64_t> moved(std::move(array));
    EXPECT_EQ(array.size(), 0u);
    EXPECT_EQ(moved.size(), n);
    if (n) {
      EXPECT_EQ(moved[n - 1], 42u);
    }
  }
}

// Readers share the lock: each reader thread takes it and keeps it until all
// of them have taken it (or a deadline passes, if they cannot).
TEST(SharedMutex, ReadersShare) {
  constexpr int kReaders = 4;
  SharedMutex mutex;
  std::atomic<int> arrived{0}, saw_all{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&] {
      ReaderLock lock(mutex);
      arrived.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < kReaders && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      if (arrived.load() == kReaders) saw_all.fetch_add(1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(saw_all.load(), kReaders);
}

// Writers hold the lock alone: no reader or other writer meanwhile, and no
// reader sees a writer's change half made. Run under ThreadSanitizer in CI,
// this also checks the memory ordering of the lock word.
TEST(SharedMutex, WritersAreExclusive) {
  SharedMutex mutex;
  std::atomic<int> readers{0}, writers{0};
  long a = 0, b = 0;  // guarded by mutex; a writer keeps them equal
  std::atomic<bool> broken{false};
  auto worker = [&](int seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 20000; ++i) {
      if (rng() % 4 == 0) {
        WriterLock lock(mutex);
        if (writers.fetch_add(1) != 0 || readers.load() != 0) broken = true;
        ++a;
        ++b;
        writers.fetch_sub(1);
      } else {
        ReaderLock lock(mutex);
        readers.fetch_add(1);
        if (writers.load() != 0 || a != b) broken = true;
        readers.fetch_sub(1);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(worker, t);
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(broken.load());
  EXPECT_GT(a, 0);
  EXPECT_EQ(a, b);
  if (mutex.try_lock_shared())
    mutex.unlock_shared();
  else
    ADD_FAILURE() << "the mutex is still held";
}

}  // namespace
}  // namespace lumvex
