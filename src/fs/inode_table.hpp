// InodeTable: the concurrent map from inode id to INode.
//
// Ids are handed out in order from 1 and never reused, so the table is not
// hashed: it is a radix array of chunks, each holding the entries of 64
// consecutive ids. A new id's slot sits next to the previous one's, so a
// creation writes to memory it has just touched, and an entry costs one
// pointer. The chunks are reached through segments of growing size (segment
// s holds the chunks from 2^(s-1) up to 2^s) that are allocated once and
// never move, so the table grows without copying and without stopping
// readers. Segments are made for the ids in use, and ids come from a counter,
// so they stay as small as the number of creations. A chunk goes back to the allocator when its
// last entry leaves.
//
// Each chunk is guarded by one of 64 reader/writer locks (the chunk's index
// modulo 64). A lookup copies the entry's reference under the read lock and
// lets the lock go at once, so the caller's guard (the InodeRef) owns the
// entry without holding any table lock. That is what makes it safe to insert
// or remove entries while the same thread holds guards on other entries.
//
// Forks share tables: a fork's table starts with the same segments, which
// are counted, as are the chunks in them, and every segment and chunk
// carries the generation of the table that made it. A table changes only
// what carries its own generation and copies the rest first: a chunk (its
// 64 entries) under that chunk's lock, a segment (its chunk pointers) with
// every stripe's lock held, since readers of any chunk in it may be looking.
//
// Lock order: a table lock is a leaf. It is never held while waiting for any
// other lock (for_each's visitor may only try locks), and inode data locks
// may be held while taking it.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/shared_mutex.hpp"
#include "fs/inode.hpp"

namespace lumvex {

class InodeTable {
 public:
  // `seed` chooses the order in which for_each visits the entries.
  explicit InodeTable(std::uint64_t seed);
  // A table holding what `other` holds, sharing its segments. No change of
  // `other` may run meanwhile; lookups may. Both tables must then be given
  // new generations before either changes.
  InodeTable(const InodeTable& other, std::uint64_t seed);
  InodeTable& operator=(const InodeTable&) = delete;
  ~InodeTable();

  // The entry for `id`, or null.
  InodeRef find(InodeId id) const;
  // Stores `node` under its id and returns the entry it replaced, if any.
  InodeRef insert(InodeRef node);
  // Takes the entry for `id` out of the table and returns it, or null.
  InodeRef remove(InodeId id);
  std::size_t size() const;
  // The generation stamped on what this table makes from now on. Set only
  // while no change of this table runs.
  void set_generation(std::uint64_t gen) { gen_ = gen; }

  // Visits every entry once, in an order that the seed scrambles, holding
  // the visited chunk's lock for reading.
  template <typename F>
  void for_each(F&& f) const {
    const std::size_t positions = chunk_positions();
    const std::size_t chunk_mask = positions - 1;  // positions is a power of two
    for (std::size_t i = 0; i < positions; ++i) {
      const std::size_t c = i ^ (order_key_ & chunk_mask);
      ReaderLock lock(stripe_for(c));
      const Chunk* chunk = chunk_at(c);
      if (chunk == nullptr) continue;
      for (std::size_t j = 0; j < kChunkSize; ++j) {
        const InodeRef& node = chunk->slots[j ^ ((order_key_ >> 32) & (kChunkSize - 1))];
        if (node) f(node->id, *node);
      }
    }
  }

 private:
  static constexpr unsigned kChunkBits = 6;
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr unsigned kSegments = 64 - kChunkBits + 1;
  static constexpr std::size_t kStripes = 64;

  struct Chunk {
    std::atomic<std::uint32_t> refs{1};  // segments holding it
    std::uint32_t count = 0;
    std::uint64_t gen = 0;
    std::array<InodeRef, kChunkSize> slots;
  };
  struct ChunkDrop {
    void operator()(Chunk* chunk) const noexcept;
  };
  using ChunkPtr = std::unique_ptr<Chunk, ChunkDrop>;  // holds one count
  // The chunk pointers of one segment, counted: tables sharing it each hold
  // one count. Lookups reach the array through segments_ directly.
  struct SegmentBlock {
    std::atomic<std::uint32_t> refs{1};
    std::uint64_t gen = 0;
    std::unique_ptr<ChunkPtr[]> chunks;
  };
  struct SegmentDrop {
    void operator()(SegmentBlock* block) const noexcept;
  };
  struct alignas(64) Stripe {
    mutable SharedMutex mutex;  // guards the chunks of this stripe and their slots
  };

  // Segment s holds the chunk pointers of chunk indices [base, 2 * base),
  // base = 2^(s-1), and segment 0 that of chunk 0.
  static unsigned segment_of(std::size_t c) { return static_cast<unsigned>(std::bit_width(c)); }
  static std::size_t segment_base(unsigned s) { return s == 0 ? 0 : std::size_t{1} << (s - 1); }
  static std::size_t segment_length(unsigned s) { return s == 0 ? 1 : std::size_t{1} << (s - 1); }

  // Which lock guards chunk c depends on c, so the chunks cannot be marked
  // GUARDED_BY one lock; the functions that reach them require their stripe.
  SharedMutex& stripe_for(std::size_t c) const { return stripes_[c & (kStripes - 1)].mutex; }
  // The chunk of index c, or null.
  Chunk* chunk_at(std::size_t c) const REQUIRES_SHARED(stripe_for(c)) {
    const unsigned s = segment_of(c);
    const ChunkPtr* segment = segments_[s].load(std::memory_order_acquire);
    return segment ? segment[c - segment_base(s)].get() : nullptr;
  }
  // Makes the segment of chunk c this table's own (made, or copied from a
  // shared one) before its stripe is locked.
  void own_segment(std::size_t c);
  // The slot for chunk c in its segment (own_segment has run), with the
  // chunk in it this table's own if there is one.
  ChunkPtr& owned_chunk_slot(std::size_t c) REQUIRES(stripe_for(c));
  // A power of two that bounds every chunk index in use.
  std::size_t chunk_positions() const;

  // A new chunk of this table's generation, reusing the spare if there is
  // one.
  ChunkPtr take_chunk();
  // Keeps an emptied chunk as the spare, or frees it if there is one.
  void give_back(ChunkPtr chunk);

  std::array<std::atomic<ChunkPtr*>, kSegments> segments_{};    // the blocks' arrays
  std::array<std::atomic<SegmentBlock*>, kSegments> blocks_{};  // each holds a count
  std::uint64_t gen_ = 0;
  // One emptied chunk kept for the next one needed (owned): creating and
  // removing one entry at a time would otherwise make and free a chunk each
  // time, as a new id so often starts a chunk of its own.
  std::atomic<Chunk*> spare_{nullptr};
  std::array<Stripe, kStripes> stripes_;
  const std::uint64_t order_key_;
};

}  // namespace lumvex
