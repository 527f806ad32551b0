#include "fs/inode_table.hpp"

#include <mutex>

namespace lumvex {

std::size_t InodeTable::Hash::operator()(InodeId id) const {
  // splitmix64 finaliser over the id mixed with the table's random key.
  std::uint64_t z = id ^ seed;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return static_cast<std::size_t>(z ^ (z >> 31));
}

InodeTable::InodeTable(std::uint64_t seed) : hash_{seed} {
  for (Shard& shard : shards_) shard.map = decltype(shard.map)(0, hash_);
}

InodeTable::Shard& InodeTable::shard_for(InodeId id) {
  return shards_[(hash_(id) >> 58) % kShards];
}

const InodeTable::Shard& InodeTable::shard_for(InodeId id) const {
  return shards_[(hash_(id) >> 58) % kShards];
}

InodeRef InodeTable::find(InodeId id) const {
  const Shard& shard = shard_for(id);
  std::shared_lock lock(shard.mutex);
  auto it = shard.map.find(id);
  return it == shard.map.end() ? nullptr : it->second;
}

InodeRef InodeTable::insert(InodeRef node) {
  InodeId id = node->id;
  Shard& shard = shard_for(id);
  std::unique_lock lock(shard.mutex);
  auto [it, inserted] = shard.map.try_emplace(id, nullptr);
  InodeRef previous = std::exchange(it->second, std::move(node));
  (void)inserted;
  return previous;
}

InodeRef InodeTable::remove(InodeId id) {
  Shard& shard = shard_for(id);
  InodeRef removed;
  {
    std::unique_lock lock(shard.mutex);
    auto it = shard.map.find(id);
    if (it == shard.map.end()) return nullptr;
    removed = std::move(it->second);
    shard.map.erase(it);
  }
  return removed;
}

std::size_t InodeTable::size() const {
  std::size_t total = 0;
  for (const Shard& shard : shards_) {
    std::shared_lock lock(shard.mutex);
    total += shard.map.size();
  }
  return total;
}

}  // namespace lumvex
