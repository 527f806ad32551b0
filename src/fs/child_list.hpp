// ChildList: the entries of one directory, in creation order, with a name
// index so that lookup, insertion and removal by name take constant time
// however many entries the directory holds.
//
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/sip_hash.hpp"
#include "fs/small_vector.hpp"

namespace lumvex {

using InodeId = std::uint64_t;

class ChildList {
 public:
  ChildList();
  ChildList(ChildList&&) noexcept;
  ChildList& operator=(ChildList&&) noexcept;
  ~ChildList();

  std::size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

  // Calls f(InodeId) for every child, in creation order.
  template <typename F>
  void for_each(F&& f) const {
    for (InodeId id : slots_)
      if (id != kHole) f(id);
  }
  // The children in creation order (inline room for 8).
  SmallVector<InodeId, 8> ids() const;

  // Adds `id` at the end under `name`. Returns false (and adds nothing) when
  // a child of that name is already indexed. `key` keys the name hash; a
  // list keeps the key it was first given. A failed allocation changes
  // nothing.
  bool append(InodeId id, std::string_view name, bool is_directory, const HashKey& key);
  // Adds a symlink child. Symlinks are listed under their target's name,
  // which can change, so they stay out of the index and are searched apart.
  void append_symlink(InodeId id, const HashKey& key);

  // The child indexed under `name`, if any (symlink children not included).
  std::optional<InodeId> find(std::string_view name) const;
  // Appends the names of the indexed children, in creation order, to
  // `directories` or `files` by kind (symlink children are left out).
  void list_names(std::vector<std::string>& files, std::vector<std::string>& directories) const;
  // The symlink children, in creation order.
  const std::vector<InodeId>& symlinks() const;

  // Removes the child `id` that was added under `name` (or as a symlink).
  // Returns false if it is not listed.
  bool remove(InodeId id, std::string_view name);

 private:
  static constexpr InodeId kHole = ~InodeId{0};
  struct Index;

  // Squeezes out the holes; without memory for that it leaves them.
  void compact() noexcept;
  bool remove_slot(InodeId id, std::size_t slot);

  SmallVector<InodeId, 8, std::uint32_t> slots_;  // creation order; kHole marks a removed child
  std::uint32_t live_ = 0;
  std::uint32_t holes_ = 0;
  std::unique_ptr<Index> index_;  // names and symlinks, made on first append
};

}  // namespace lumvex
