// InodeTable: the concurrent map from inode id to INode.
//
// The table is split into shards, each an open-addressing hash table behind
// its own reader/writer lock. A lookup copies the entry's shared pointer
// under the shard's read lock and lets the lock go at once, so the caller's
// guard (the InodeRef) owns the entry without holding any table lock. That is
// what makes it safe to insert or remove entries (and to let a shard grow)
// while the same thread holds guards on other entries.
//
// Lock order: a shard lock is a leaf. It is never held while waiting for any
// other lock (for_each's visitor may only try locks), and inode data locks
// may be held while taking it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <shared_mutex>  // std::shared_lock
#include <vector>

#include "fs/inode.hpp"
#include "fs/shared_mutex.hpp"

namespace lumvex {

class InodeTable {
 public:
  explicit InodeTable(std::uint64_t seed);

  // The entry for `id`, or null.
  InodeRef find(InodeId id) const;
  // Stores `node` under its id and returns the entry it replaced, if any.
  InodeRef insert(InodeRef node);
  // Takes the entry for `id` out of the table and returns it, or null.
  InodeRef remove(InodeId id);
  std::size_t size() const;

  // Visits every entry once, in the table's internal order, holding the
  // visited shard for reading.
  template <typename F>
  void for_each(F&& f) const {
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.mutex);
      for (const Slot& slot : shard.slots)
        if (slot.node) f(slot.id, *slot.node);
    }
  }

 private:
  static constexpr unsigned kShardBits = 6;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;

  struct Slot {
    InodeId id = 0;
    InodeRef node;  // null: empty slot
  };
  struct alignas(64) Shard {
    mutable SharedMutex mutex;  // guards slots and count
    std::vector<Slot> slots;    // linear probing
    std::size_t count = 0;

    // Fibonacci hashing spreads sequential ids evenly; a multiply-shift maps
    // the hash onto a table of any size, so it can grow by half at a time.
    std::size_t home(InodeId id, std::uint64_t key) const {
      std::uint64_t hash = ((id >> kShardBits) ^ key) * 0x9E3779B97F4A7C15ULL;
      return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slots.size()) >> 64);
    }
    std::size_t next(std::size_t i) const { return i + 1 == slots.size() ? 0 : i + 1; }
    const Slot* find(InodeId id, std::uint64_t key) const;
    // Makes the slots half as many again.
    void grow(std::uint64_t key);
  };

  Shard& shard_for(InodeId id) { return shards_[(id ^ key_) & (kShards - 1)]; }
  const Shard& shard_for(InodeId id) const { return shards_[(id ^ key_) & (kShards - 1)]; }

  std::uint64_t key_;
  std::array<Shard, kShards> shards_;
};

}  // namespace lumvex
