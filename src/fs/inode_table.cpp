#include "fs/inode_table.hpp"

#include <bit>
#include <memory>
#include <utility>

namespace lumvex {

void InodeTable::ChunkDrop::operator()(Chunk* chunk) const noexcept {
  if (chunk->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::unique_ptr<Chunk> last(chunk);
}

void InodeTable::SegmentDrop::operator()(SegmentBlock* block) const noexcept {
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    std::unique_ptr<SegmentBlock> last(block);
}

InodeTable::InodeTable(std::uint64_t seed) : order_key_(seed) {}

InodeTable::InodeTable(const InodeTable& other, std::uint64_t seed)
    : gen_(other.gen_), order_key_(seed) {
  for (unsigned s = 0; s < kSegments; ++s) {
    SegmentBlock* block = other.blocks_[s].load(std::memory_order_acquire);
    if (block == nullptr) continue;
    block->refs.fetch_add(1, std::memory_order_relaxed);
    blocks_[s].store(block, std::memory_order_relaxed);
    segments_[s].store(block->chunks.get(), std::memory_order_relaxed);
  }
}

InodeTable::~InodeTable() {
  ChunkPtr spare(spare_.load(std::memory_order_relaxed));
  for (unsigned s = 0; s < kSegments; ++s)
    if (SegmentBlock* block = blocks_[s].load(std::memory_order_relaxed)) SegmentDrop{}(block);
}

void InodeTable::own_segment(std::size_t c) {
  const unsigned s = segment_of(c);
  SegmentBlock* block = blocks_[s].load(std::memory_order_acquire);
  if (block != nullptr && block->gen != gen_ && block->refs.load(std::memory_order_acquire) == 1)
    block->gen = gen_;  // the tables that shared it are gone
  if (block != nullptr && block->gen == gen_) {
    // Made by another thread, which may not have published it yet.
    if (segments_[s].load(std::memory_order_acquire) != block->chunks.get())
      segments_[s].store(block->chunks.get(), std::memory_order_release);
    return;
  }
  auto fresh = std::make_unique<SegmentBlock>();
  fresh->gen = gen_;
  fresh->chunks = std::make_unique<ChunkPtr[]>(segment_length(s));  // all null
  if (block == nullptr) {
    // Threads of different stripes may race to make a segment; one wins,
    // and each publishes the winner's array before using it.
    if (blocks_[s].compare_exchange_strong(block, fresh.get(), std::memory_order_acq_rel)) {
      block = fresh.release();
    }
    segments_[s].store(block->chunks.get(), std::memory_order_release);
    return;
  }
  // A shared segment: only one change runs at a time in a table that shares
  // (see FileSystem), so no other thread copies it meanwhile, but readers of
  // every stripe may be in it. The copy takes a count on each chunk.
  for (std::size_t i = 0; i < segment_length(s); ++i) {
    if (Chunk* chunk = block->chunks[i].get()) {
      chunk->refs.fetch_add(1, std::memory_order_relaxed);
      fresh->chunks[i].reset(chunk);
    }
  }
  {
    // Every stripe, in order (no other table lock is held here).
    struct AllStripes {
      std::array<Stripe, kStripes>& stripes;
      explicit AllStripes(std::array<Stripe, kStripes>& s) NO_THREAD_SAFETY_ANALYSIS : stripes(s) {
        for (Stripe& stripe : stripes) stripe.mutex.lock();
      }
      ~AllStripes() NO_THREAD_SAFETY_ANALYSIS {
        for (Stripe& stripe : stripes) stripe.mutex.unlock();
      }
    } held(stripes_);
    segments_[s].store(fresh->chunks.get(), std::memory_order_release);
    blocks_[s].store(fresh.release(), std::memory_order_release);
  }
  SegmentDrop{}(block);
}

InodeTable::ChunkPtr& InodeTable::owned_chunk_slot(std::size_t c) {
  const unsigned s = segment_of(c);
  ChunkPtr& slot = segments_[s].load(std::memory_order_acquire)[c - segment_base(s)];
  if (slot && slot->gen != gen_) {
    if (slot->refs.load(std::memory_order_acquire) == 1) {
      slot->gen = gen_;  // the tables that shared it are gone
    } else {
      ChunkPtr copy = take_chunk();
      copy->count = slot->count;
      copy->slots = slot->slots;  // a count on every entry
      slot = std::move(copy);     // the old chunk lives on in the tables that share it
    }
  }
  return slot;
}

InodeTable::ChunkPtr InodeTable::take_chunk() {
  ChunkPtr chunk(spare_.exchange(nullptr, std::memory_order_acquire));
  if (!chunk) chunk.reset(std::make_unique<Chunk>().release());
  chunk->gen = gen_;
  return chunk;
}

void InodeTable::give_back(ChunkPtr chunk) {
  // Only a chunk that no other table holds can be used again.
  if (chunk->refs.load(std::memory_order_acquire) != 1) return;
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
  own_segment(c);
  WriterLock lock(stripe_for(c));
  ChunkPtr& chunk = owned_chunk_slot(c);
  if (!chunk) chunk = take_chunk();
  InodeRef& slot = chunk->slots[id & (kChunkSize - 1)];
  if (!slot) ++chunk->count;
  return std::exchange(slot, std::move(node));
}

InodeRef InodeTable::remove(InodeId id) {
  const std::size_t c = id >> kChunkBits;
  const unsigned s = segment_of(c);
  if (segments_[s].load(std::memory_order_acquire) == nullptr) return nullptr;
  own_segment(c);
  WriterLock lock(stripe_for(c));
  ChunkPtr& chunk = owned_chunk_slot(c);
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
