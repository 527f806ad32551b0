#include "fs/child_list.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "base/zeroed_array.hpp"
#include "fs/inode.hpp"

namespace lumvex {

// One cell of the name index: the child, 32 bits of its name's hash, and its
// position in the creation-order list. An empty cell has no child.
struct IndexCell {
  const INode* child = nullptr;
  std::uint32_t hash = 0;
  std::uint32_t position = 0;
};
static_assert(sizeof(IndexCell) == 16);

// The index is an open-addressing (linear probing) table. Its size is not a
// power of two: homes are mapped with a multiply-shift and the table grows by
// half, which keeps it fuller on average than doubling. Deletion shifts later
// cells back, so no tombstones accumulate.
struct ChildList::Body {
  explicit Body(const HashKey& hash_key) : key(hash_key) {}
  // A copy holding the same children (each gains a count).
  Body(const Body& other)
      : key(other.key),
        order(other.order),
        live(other.live),
        holes(other.holes),
        capacity(other.capacity),
        count(other.count),
        cells(other.capacity),
        symlinks(other.symlinks) {
    if (capacity != 0) std::memcpy(cells.data(), other.cells.data(), capacity * sizeof(IndexCell));
    for (INode* child : order)
      if (child != nullptr) (void)InodeRef(child).release();  // one count for this copy
  }
  Body& operator=(const Body&) = delete;
  ~Body() {
    for (INode* child : order)
      if (child != nullptr) InodeRef::adopt(child);  // dropped here
  }

  std::uint32_t hash_of(std::string_view name) const {
    return static_cast<std::uint32_t>(sip_hash(key, name) >> 32);
  }
  std::size_t home(std::uint32_t hash) const {
    return static_cast<std::size_t>((std::uint64_t{hash} * capacity) >> 32);
  }
  std::size_t next(std::size_t i) const { return i + 1 == capacity ? 0 : i + 1; }

  IndexCell* find(std::string_view name, std::uint32_t h) const {
    if (count == 0) return nullptr;
    for (std::size_t i = home(h);; i = next(i)) {
      IndexCell& cell = cells[i];
      if (cell.child == nullptr) return nullptr;
      if (cell.hash == h && cell.child->name.view() == name) return &cell;
    }
  }

  // Inserts a child whose name is known to be absent, after reserve_one().
  void insert(const INode* child, std::uint32_t h, std::uint32_t position) {
    std::size_t i = home(h);
    while (cells[i].child != nullptr) i = next(i);
    cells[i] = IndexCell{child, h, position};
    ++count;
  }

  void erase(IndexCell* cell) {
    std::size_t i = static_cast<std::size_t>(cell - cells.data());
    for (std::size_t j = next(i); cells[j].child != nullptr; j = next(j)) {
      std::size_t h = home(cells[j].hash);
      // Cell j may stay if its home lies cyclically in (i, j].
      bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      cells[i] = cells[j];
      i = j;
    }
    cells[i] = IndexCell{};
    --count;
  }

  // Makes room for one more name, so that the insertion cannot fail.
  void reserve_one() {
    if ((count + 1) * 5 <= capacity * std::size_t{4}) return;
    const std::size_t size = std::max<std::size_t>(8, capacity + capacity / 2);
    ZeroedArray<IndexCell> old = std::exchange(cells, ZeroedArray<IndexCell>(size));
    capacity = static_cast<std::uint32_t>(size);
    for (std::size_t k = 0; k < old.size(); ++k) {
      if (old[k].child == nullptr) continue;
      std::size_t i = home(old[k].hash);
      while (cells[i].child != nullptr) i = next(i);
      cells[i] = old[k];
    }
  }

  void remove_position(std::size_t position);
  // Squeezes out the holes; without memory for that it leaves them.
  void compact() noexcept;

  std::atomic<std::uint32_t> refs{1};  // lists sharing this part
  HashKey key;
  // Creation order; each child holds one count, and null marks a removed one.
  SmallVector<INode*, 4, std::uint32_t> order;
  std::uint32_t live = 0;
  std::uint32_t holes = 0;
  std::uint32_t capacity = 0;    // cells
  std::uint32_t count = 0;       // cells in use
  ZeroedArray<IndexCell> cells;  // all zero: empty
  std::vector<InodeId> symlinks;
};

ChildList::ChildList() = default;
ChildList::ChildList(ChildList&&) noexcept = default;
ChildList& ChildList::operator=(ChildList&&) noexcept = default;
ChildList::~ChildList() = default;

ChildList::ChildList(const ChildList& other) {
  if (other.body_) {
    other.body_->refs.fetch_add(1, std::memory_order_relaxed);
    body_.reset(other.body_.get());
  }
}

void ChildList::BodyDeleter::operator()(Body* body) const noexcept {
  if (body->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::unique_ptr<Body> last(body);
}

ChildList::Body& ChildList::own(const HashKey& key) {
  if (!body_) {
    body_.reset(std::make_unique<Body>(key).release());
  } else if (body_->refs.load(std::memory_order_acquire) > 1) {
    body_.reset(std::make_unique<Body>(*body_).release());
  }
  return *body_;
}

InodeId ChildList::id_of(const INode& child) {
  return child.id;
}

const SmallVector<INode*, 4, std::uint32_t>& ChildList::order() const {
  return body_->order;
}

std::size_t ChildList::size() const {
  return body_ ? body_->live : 0;
}

SmallVector<InodeId, 8> ChildList::ids() const {
  SmallVector<InodeId, 8> out;
  out.reserve(size());
  for_each([&](InodeId id) { out.push_back(id); });
  return out;
}

bool ChildList::append(InodeRef child, const HashKey& key) {
  Body& body = own(key);
  const std::uint32_t position = static_cast<std::uint32_t>(body.order.size());
  // Everything that allocates comes first, so that a failed allocation
  // leaves the list as it was.
  if (child->is_symlink()) {
    body.symlinks.reserve(body.symlinks.size() + 1);
    body.order.reserve(position + std::size_t{1});
    body.symlinks.push_back(child->id);
  } else {
    const std::uint32_t h = body.hash_of(child->name.view());
    if (body.find(child->name.view(), h) != nullptr) return false;
    body.reserve_one();
    body.order.reserve(position + std::size_t{1});
    body.insert(child.get(), h, position);
  }
  body.order.push_back(child.release());
  ++body.live;
  return true;
}

const INode* ChildList::find(std::string_view name) const {
  if (!body_) return nullptr;
  const IndexCell* cell = body_->find(name, body_->hash_of(name));
  return cell ? cell->child : nullptr;
}

void ChildList::list_names(std::vector<std::string>& files,
                           std::vector<std::string>& directories) const {
  if (!body_) return;
  files.reserve(files.size() + body_->live);
  directories.reserve(directories.size() + body_->live);
  for (const INode* child : body_->order)
    if (child != nullptr && !child->is_symlink())
      (child->is_directory() ? directories : files).emplace_back(child->name.view());
}

const std::vector<InodeId>& ChildList::symlinks() const {
  static const std::vector<InodeId> kNone;
  return body_ ? body_->symlinks : kNone;
}

void ChildList::reserve_one(const HashKey& key, bool symlink) {
  Body& body = own(key);
  if (symlink) body.symlinks.reserve(body.symlinks.size() + 1);
  body.reserve_one();
  body.order.reserve(body.order.size() + std::size_t{1});
}

InodeRef ChildList::remove(InodeId id, std::string_view name, bool keep_storage) {
  if (!body_) return nullptr;
  Body& body = own(body_->key);
  std::size_t position = 0;
  if (IndexCell* cell = body.find(name, body.hash_of(name)); cell && cell->child->id == id) {
    position = cell->position;
    body.erase(cell);
  } else {
    auto link = std::find(body.symlinks.begin(), body.symlinks.end(), id);
    if (link == body.symlinks.end()) return nullptr;
    auto in_order = std::find_if(body.order.begin(), body.order.end(),
                                 [&](const INode* child) { return child && child->id == id; });
    if (in_order == body.order.end()) return nullptr;
    body.symlinks.erase(link);
    position = static_cast<std::size_t>(in_order - body.order.begin());
  }
  InodeRef removed = InodeRef::adopt(body.order[position]);
  body.remove_position(position);
  if (body.live == 0 && body.symlinks.empty() && !keep_storage) body_.reset();
  return removed;
}

InodeRef ChildList::replace(const INode& old, InodeRef fresh) {
  if (!body_) return nullptr;
  Body& body = own(body_->key);
  std::size_t position = 0;
  if (IndexCell* cell = body.find(old.name.view(), body.hash_of(old.name.view()));
      cell && cell->child == &old) {
    position = cell->position;
    cell->child = fresh.get();
  } else {
    auto in_order = std::find(body.order.begin(), body.order.end(), &old);
    if (in_order == body.order.end()) return nullptr;
    position = static_cast<std::size_t>(in_order - body.order.begin());
  }
  InodeRef previous = InodeRef::adopt(body.order[position]);
  body.order[position] = fresh.release();
  return previous;
}

void ChildList::Body::remove_position(std::size_t position) {
  order[position] = nullptr;
  --live;
  ++holes;
  // Trailing holes cost nothing to drop; inner ones are squeezed out once
  // they outnumber the live children, which keeps removal O(1) amortised.
  while (!order.empty() && order.back() == nullptr) {
    order.pop_back();
    --holes;
  }
  if (holes > 8 && holes > live) compact();
}

void ChildList::Body::compact() noexcept {
  std::vector<std::uint32_t> new_position;
  try {
    new_position.assign(order.size(), 0);
  } catch (const std::bad_alloc&) {
    return;  // the holes stay until a later removal manages it
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] == nullptr) continue;
    new_position[i] = static_cast<std::uint32_t>(out);
    order[out++] = order[i];
  }
  order.resize(out);
  order.shrink_to_fit();
  holes = 0;
  for (std::size_t k = 0; k < capacity; ++k)
    if (cells[k].child != nullptr) cells[k].position = new_position[cells[k].position];
}

}  // namespace lumvex
