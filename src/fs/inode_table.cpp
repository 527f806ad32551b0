#include "fs/inode_table.hpp"

#include <bit>
#include <memory>
#include <utility>

namespace lumvex {

InodeTable::InodeTable(std::uint64_t seed) : order_key_(seed) {}

InodeTable::~InodeTable() {
  ChunkPtr spare(spare_.load(std::memory_order_relaxed));
  for (unsigned s = 0; s < kSegments; ++s) {
    std::unique_ptr<ChunkPtr[]> owned(segments_[s].load(std::memory_order_relaxed));
  }
}

InodeTable::ChunkPtr& InodeTable::chunk_slot(std::size_t c) {
  const unsigned s = segment_of(c);
  ChunkPtr* segment = segments_[s].load(std::memory_order_acquire);
  if (segment == nullptr) {
    // Threads of different stripes may race to make a segment; one wins.
    auto fresh = std::make_unique<ChunkPtr[]>(segment_length(s));  // all null
    if (segments_[s].compare_exchange_strong(segment, fresh.get(), std::memory_order_acq_rel))
      segment = fresh.release();
  }
  return segment[c - segment_base(s)];
}

InodeTable::ChunkPtr InodeTable::take_chunk() {
  if (ChunkPtr spare{spare_.exchange(nullptr, std::memory_order_acquire)}) return spare;
  return std::make_unique<Chunk>();
}

void InodeTable::give_back(ChunkPtr chunk) {
  Chunk* expected = nullptr;
  if (spare_.compare_exchange_strong(expected, chunk.get(), std::memory_order_release))
    (void)chunk.release();
}

InodeRef InodeTable::find(InodeId id) const {
  const std::size_t c = id >> kChunkBits;
  ReaderLock lock(stripe_for(c));
  const Chunk* chunk = chunk_at(c);
  return chunk ? chunk->slots[id & (kChunkSize - 1)] : nullptr;
}

InodeRef InodeTable::insert(InodeRef node) {
  const InodeId id = node->id;
  const std::size_t c = id >> kChunkBits;
  WriterLock lock(stripe_for(c));
  ChunkPtr& chunk = chunk_slot(c);
  if (!chunk) chunk = take_chunk();
  InodeRef& slot = chunk->slots[id & (kChunkSize - 1)];
  if (!slot) ++chunk->count;
  return std::exchange(slot, std::move(node));
}

InodeRef InodeTable::remove(InodeId id) {
  const std::size_t c = id >> kChunkBits;
  WriterLock lock(stripe_for(c));
  const unsigned s = segment_of(c);
  ChunkPtr* segment = segments_[s].load(std::memory_order_acquire);
  if (segment == nullptr) return nullptr;
  ChunkPtr& chunk = segment[c - segment_base(s)];
  if (!chunk) return nullptr;
  InodeRef removed = std::move(chunk->slots[id & (kChunkSize - 1)]);
  if (removed && --chunk->count == 0) give_back(std::move(chunk));  // holds no references any more
  return removed;  // destroyed by the caller, outside the lock
}

std::size_t InodeTable::chunk_positions() const {
  for (unsigned s = kSegments; s-- > 0;)
    if (segments_[s].load(std::memory_order_acquire) != nullptr)
      return segment_base(s) + segment_length(s);
  return 1;
}

std::size_t InodeTable::size() const {
  std::size_t total = 0;
  const std::size_t positions = chunk_positions();
  for (std::size_t c = 0; c < positions; ++c) {
    ReaderLock lock(stripe_for(c));
    if (const Chunk* chunk = chunk_at(c)) total += chunk->count;
  }
  return total;
}

}  // namespace lumvex
