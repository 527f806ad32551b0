#include "fs/child_list.hpp"

#include <algorithm>
#include <functional>
#include <utility>

namespace lumvex {

// Open-addressing (linear probing) table from name to child id and slot.
// Empty cells have slot == kEmpty. Deletion shifts later cells back, so no
// tombstones accumulate.
struct ChildList::Index {
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  struct Cell {
    ShortString name;
    InodeId id = 0;
    std::uint32_t slot = kEmpty;
    std::uint32_t hash = 0;
  };

  static std::uint32_t hash_of(std::string_view name) {
    std::size_t h = std::hash<std::string_view>{}(name);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  std::size_t mask() const { return cells.size() - 1; }

  Cell* find(std::string_view name) {
    if (count == 0) return nullptr;
    std::uint32_t h = hash_of(name);
    for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
      Cell& cell = cells[i];
      if (cell.slot == kEmpty) return nullptr;
      if (cell.hash == h && cell.name.view() == name) return &cell;
    }
  }

  // Inserts a name that is known to be absent.
  void insert(std::string_view name, InodeId id, std::uint32_t slot) {
    if ((count + 1) * 4 > cells.size() * 3) grow();
    std::uint32_t h = hash_of(name);
    std::size_t i = h & mask();
    while (cells[i].slot != kEmpty) i = (i + 1) & mask();
    cells[i].name = ShortString(name);
    cells[i].id = id;
    cells[i].slot = slot;
    cells[i].hash = h;
    ++count;
  }

  void erase(Cell* cell) {
    std::size_t i = static_cast<std::size_t>(cell - cells.data());
    std::size_t j = i;
    for (;;) {
      j = (j + 1) & mask();
      if (cells[j].slot == kEmpty) break;
      std::size_t home = cells[j].hash & mask();
      // Cell j may stay if its home lies cyclically in (i, j].
      bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      cells[i] = std::move(cells[j]);
      i = j;
    }
    cells[i].name = ShortString();
    cells[i].slot = kEmpty;
    --count;
  }

  void grow() {
    std::vector<Cell> old = std::move(cells);
    cells = std::vector<Cell>(old.empty() ? 8 : old.size() * 2);
    for (Cell& cell : old) {
      if (cell.slot == kEmpty) continue;
      std::size_t i = cell.hash & mask();
      while (cells[i].slot != kEmpty) i = (i + 1) & mask();
      cells[i] = std::move(cell);
    }
  }

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

bool ChildList::append(InodeId id, std::string_view name) {
  if (!index_) index_ = std::make_unique<Index>();
  if (index_->find(name) != nullptr) return false;
  index_->insert(name, id, static_cast<std::uint32_t>(slots_.size()));
  slots_.push_back(id);
  ++live_;
  return true;
}

void ChildList::append_symlink(InodeId id) {
  if (!index_) index_ = std::make_unique<Index>();
  index_->symlinks.push_back(id);
  slots_.push_back(id);
  ++live_;
}

std::optional<InodeId> ChildList::find(std::string_view name) const {
  if (!index_) return std::nullopt;
  const Index::Cell* cell = index_->find(name);
  if (cell == nullptr) return std::nullopt;
  return cell->id;
}

const std::vector<InodeId>& ChildList::symlinks() const {
  static const std::vector<InodeId> kNone;
  return index_ ? index_->symlinks : kNone;
}

bool ChildList::remove(InodeId id, std::string_view name) {
  if (!index_) return false;
  if (Index::Cell* cell = index_->find(name); cell != nullptr && cell->id == id) {
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

void ChildList::compact() {
  std::vector<std::uint32_t> new_slot(slots_.size(), Index::kEmpty);
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
