#include "fs/inode_table.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

namespace lumvex {

InodeTable::InodeTable(std::uint64_t seed) : key_(seed) {}

const InodeTable::Slot* InodeTable::Shard::find(InodeId id, std::uint64_t key) const {
  if (count == 0) return nullptr;
  for (std::size_t i = home(id, key);; i = next(i)) {
    const Slot& slot = slots[i];
    if (!slot.node) return nullptr;
    if (slot.id == id) return &slot;
  }
}

void InodeTable::Shard::grow(std::uint64_t key) {
  std::size_t size = std::max<std::size_t>(16, slots.size() + slots.size() / 2);
  std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(size));
  for (Slot& slot : old) {
    if (!slot.node) continue;
    std::size_t i = home(slot.id, key);
    while (slots[i].node) i = next(i);
    slots[i] = std::move(slot);
  }
}

InodeRef InodeTable::find(InodeId id) const {
  const Shard& shard = shard_for(id);
  std::shared_lock lock(shard.mutex);
  const Slot* slot = shard.find(id, key_);
  return slot ? slot->node : nullptr;
}

InodeRef InodeTable::insert(InodeRef node) {
  const InodeId id = node->id;
  Shard& shard = shard_for(id);
  std::unique_lock lock(shard.mutex);
  if ((shard.count + 1) * 4 > shard.slots.size() * 3) shard.grow(key_);
  std::size_t i = shard.home(id, key_);
  for (; shard.slots[i].node; i = shard.next(i))
    if (shard.slots[i].id == id) return std::exchange(shard.slots[i].node, std::move(node));
  shard.slots[i] = Slot{id, std::move(node)};
  ++shard.count;
  return nullptr;
}

InodeRef InodeTable::remove(InodeId id) {
  Shard& shard = shard_for(id);
  std::unique_lock lock(shard.mutex);
  const Slot* found = shard.find(id, key_);
  if (found == nullptr) return nullptr;
  std::size_t i = static_cast<std::size_t>(found - shard.slots.data());
  InodeRef removed = std::move(shard.slots[i].node);
  // Backward-shift deletion: pull later members of the probe run into the
  // hole unless their home lies cyclically in (i, j].
  for (std::size_t j = shard.next(i); shard.slots[j].node; j = shard.next(j)) {
    std::size_t home = shard.home(shard.slots[j].id, key_);
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    shard.slots[i] = std::move(shard.slots[j]);
    i = j;
  }
  shard.slots[i] = Slot{};
  --shard.count;
  return removed;  // destroyed by the caller, outside the shard lock
}

std::size_t InodeTable::size() const {
  std::size_t total = 0;
  for (const Shard& shard : shards_) {
    std::shared_lock lock(shard.mutex);
    total += shard.count;
  }
  return total;
}

}  // namespace lumvex
