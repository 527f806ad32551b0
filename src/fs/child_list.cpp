#include "fs/child_list.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "fs/short_string.hpp"

namespace lumvex {

// Open-addressing (linear probing) table from name to the slot of the child.
// The size is not a power of two: homes are mapped with a multiply-shift and
// the table grows by half, which keeps it fuller on average than doubling.
// Deletion shifts later cells back, so no tombstones accumulate.
struct ChildList::Index {
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  struct Cell {
    ShortString name;
    std::uint32_t hash : 31 = 0;
    std::uint32_t is_directory : 1 = 0;  // kinds never change, so listings need not look
    std::uint32_t slot = kEmpty;
  };

  explicit Index(const HashKey& hash_key) : key(hash_key) {}

  std::uint32_t hash_of(std::string_view name) const {
    return static_cast<std::uint32_t>(sip_hash(key, name) >> 33);
  }

  std::size_t home(std::uint32_t hash) const {
    return static_cast<std::size_t>((std::uint64_t{hash} * cells.size()) >> 31);
  }
  std::size_t next(std::size_t i) const { return i + 1 == cells.size() ? 0 : i + 1; }

  Cell* find(std::string_view name) { return find(name, hash_of(name)); }
  Cell* find(std::string_view name, std::uint32_t h) {
    if (count == 0) return nullptr;
    for (std::size_t i = home(h);; i = next(i)) {
      Cell& cell = cells[i];
      if (cell.slot == kEmpty) return nullptr;
      if (cell.hash == h && cell.name.view() == name) return &cell;
    }
  }

  // Inserts a name that is known to be absent.
  // Inserts a name that is known to be absent, after reserve_one().
  void insert(ShortString name, std::uint32_t h, bool is_directory, std::uint32_t slot) {
    std::size_t i = home(h);
    while (cells[i].slot != kEmpty) i = next(i);
    cells[i] = Cell{std::move(name), h, is_directory, slot};
    ++count;
  }

  void erase(Cell* cell) {
    std::size_t i = static_cast<std::size_t>(cell - cells.data());
    for (std::size_t j = next(i); cells[j].slot != kEmpty; j = next(j)) {
      std::size_t h = home(cells[j].hash);
      // Cell j may stay if its home lies cyclically in (i, j].
      bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      cells[i] = std::move(cells[j]);
      i = j;
    }
    cells[i] = Cell{};
    --count;
  }

  void grow() {
    std::size_t size = std::max<std::size_t>(8, cells.size() + cells.size() / 2);
    std::vector<Cell> old = std::exchange(cells, std::vector<Cell>(size));
    for (Cell& cell : old) {
      if (cell.slot == kEmpty) continue;
      std::size_t i = home(cell.hash);
      while (cells[i].slot != kEmpty) i = next(i);
      cells[i] = std::move(cell);
    }
  }

  // Makes room for one more name, so that the insertion cannot fail.
  void reserve_one() {
    if ((count + 1) * 5 > cells.size() * 4) grow();
  }

  HashKey key;
  std::vector<Cell> cells;
  std::size_t count = 0;
  std::vector<InodeId> symlinks;
};

ChildList::ChildList() = default;
ChildList::ChildList(ChildList&&) noexcept = default;
ChildList& ChildList::operator=(ChildList&&) noexcept = default;
ChildList::~ChildList() = default;

SmallVector<InodeId, 8> ChildList::ids() const {
  SmallVector<InodeId, 8> out;
  out.reserve(live_);
  for_each([&](InodeId id) { out.push_back(id); });
  return out;
}

bool ChildList::append(InodeId id, std::string_view name, bool is_directory, const HashKey& key) {
  if (!index_) index_ = std::make_unique<Index>(key);
  const std::uint32_t h = index_->hash_of(name);
  if (index_->find(name, h) != nullptr) return false;
  // Everything that allocates comes first, so that a failed allocation
  // leaves the list as it was.
  ShortString copy(name);
  index_->reserve_one();
  slots_.reserve(slots_.size() + 1);
  index_->insert(std::move(copy), h, is_directory, static_cast<std::uint32_t>(slots_.size()));
  slots_.push_back(id);
  ++live_;
  return true;
}

void ChildList::append_symlink(InodeId id, const HashKey& key) {
  if (!index_) index_ = std::make_unique<Index>(key);
  index_->symlinks.reserve(index_->symlinks.size() + 1);
  slots_.reserve(slots_.size() + 1);
  index_->symlinks.push_back(id);
  slots_.push_back(id);
  ++live_;
}

std::optional<InodeId> ChildList::find(std::string_view name) const {
  if (!index_) return std::nullopt;
  const Index::Cell* cell = index_->find(name);
  if (cell == nullptr) return std::nullopt;
  return slots_[cell->slot];
}

void ChildList::list_names(std::vector<std::string>& files,
                           std::vector<std::string>& directories) const {
  if (!index_) return;
  // Cells are in hash order; put them back in creation order by slot.
  SmallVector<const Index::Cell*, 16> by_slot;
  by_slot.resize(slots_.size());  // all null
  for (const Index::Cell& cell : index_->cells)
    if (cell.slot != Index::kEmpty) by_slot[cell.slot] = &cell;
  files.reserve(files.size() + live_);
  directories.reserve(directories.size() + live_);
  for (const Index::Cell* cell : by_slot)
    if (cell != nullptr) (cell->is_directory ? directories : files).emplace_back(cell->name.view());
}

const std::vector<InodeId>& ChildList::symlinks() const {
  static const std::vector<InodeId> kNone;
  return index_ ? index_->symlinks : kNone;
}

bool ChildList::remove(InodeId id, std::string_view name) {
  if (!index_) return false;
  if (Index::Cell* cell = index_->find(name); cell != nullptr && slots_[cell->slot] == id) {
    std::size_t slot = cell->slot;
    index_->erase(cell);
    return remove_slot(id, slot);
  }
  auto& links = index_->symlinks;
  auto it = std::find(links.begin(), links.end(), id);
  if (it == links.end()) return false;
  links.erase(it);
  for (std::size_t slot = 0; slot < slots_.size(); ++slot)
    if (slots_[slot] == id) return remove_slot(id, slot);
  return false;
}

bool ChildList::remove_slot(InodeId id, std::size_t slot) {
  if (slot >= slots_.size() || slots_[slot] != id) return false;
  slots_[slot] = kHole;
  --live_;
  ++holes_;
  // Trailing holes cost nothing to drop; inner ones are squeezed out once
  // they outnumber the live children, which keeps removal O(1) amortised.
  while (!slots_.empty() && slots_.back() == kHole) {
    slots_.pop_back();
    --holes_;
  }
  if (holes_ > 8 && holes_ > live_) compact();
  if (live_ == 0 && index_ && index_->symlinks.empty()) {
    index_.reset();
    slots_.shrink_to_fit();
  }
  return true;
}

void ChildList::compact() noexcept {
  std::vector<std::uint32_t> new_slot;
  try {
    new_slot.assign(slots_.size(), Index::kEmpty);
  } catch (const std::bad_alloc&) {
    return;  // the holes stay until a later removal manages it
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i] == kHole) continue;
    new_slot[i] = static_cast<std::uint32_t>(out);
    slots_[out++] = slots_[i];
  }
  slots_.resize(out);
  slots_.shrink_to_fit();
  holes_ = 0;
  for (Index::Cell& cell : index_->cells)
    if (cell.slot != Index::kEmpty) cell.slot = new_slot[cell.slot];
}

}  // namespace lumvex
