// InodeTable: the concurrent map from inode id to INode.
//
// The table is split into shards, each a hash map behind its own
// reader/writer lock. A lookup copies the entry's shared pointer under the
// shard's read lock and lets the lock go at once, so the caller's guard (the
// InodeRef) owns the entry without holding any table lock. That is what
// makes it safe to insert or remove entries (and to let a shard grow) while
// the same thread holds guards on other entries.
//
// Lock order: a shard lock is a leaf. It is never held while taking any other
// lock, and inode data locks may be held while taking it.
#pragma once

#include <array>
#include <cstdint>
#include <shared_mutex>
#include <unordered_map>

#include "fs/inode.hpp"

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
      for (const auto& [id, node] : shard.map) f(id, *node);
    }
  }

 private:
  static constexpr std::size_t kShards = 64;

  struct Hash {
    std::uint64_t seed;
    std::size_t operator()(InodeId id) const;
  };
  struct alignas(64) Shard {
    mutable std::shared_mutex mutex;  // guards map
    std::unordered_map<InodeId, InodeRef, Hash> map;
  };

  Shard& shard_for(InodeId id);
  const Shard& shard_for(InodeId id) const;

  Hash hash_;
  std::array<Shard, kShards> shards_;
};

}  // namespace lumvex
