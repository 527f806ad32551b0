// ChildList: the entries of one directory, in creation order, with a name
// index so that lookup, insertion and removal by name take constant time
// however many entries the directory holds.
//
// The list holds a counted reference to each child, and its index cells hold
// the child's address with 32 bits of its name's hash: a lookup reads one
// cell and then the child itself, where it compares the name, and needs no
// other table to reach the child. Everything lives out of line behind one
// pointer (null while the directory is empty), so a directory inode stays
// small.
//
// That out-of-line part is counted and shared between copies: copying a list
// costs a count, and the first change through either copy gives that copy a
// part of its own (holding the same children). Forked filesystems share their
// directories' entries this way until one side changes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/sip_hash.hpp"
#include "base/small_vector.hpp"

namespace lumvex {

using InodeId = std::uint64_t;
class INode;
class InodeRef;

class ChildList {
 public:
  ChildList();
  ChildList(ChildList&&) noexcept;
  ChildList& operator=(ChildList&&) noexcept;
  // Shares the other list's entries until one of the two changes.
  ChildList(const ChildList& other);
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList();

  std::size_t size() const;
  bool empty() const { return size() == 0; }

  // Calls f(InodeId) for every child, in creation order.
  template <typename F>
  void for_each(F&& f) const {
    for_each_node([&](const INode& child) { f(id_of(child)); });
  }
  // Calls f(const INode&) for every child, in creation order.
  template <typename F>
  void for_each_node(F&& f) const {
    if (!body_) return;
    for (const INode* child : order())
      if (child != nullptr) f(*child);
  }
  // The children in creation order (inline room for 8).
  SmallVector<InodeId, 8> ids() const;

  // Adds `child` at the end, indexed under its name, and takes over the
  // reference. Returns false (and adds nothing) when a child of that name is
  // already indexed. `key` keys the name hash; a list keeps the key it was
  // first given. A failed allocation changes nothing. Symlinks are listed
  // under their target's name, which can change, so they stay out of the
  // index and are searched apart.
  bool append(InodeRef child, const HashKey& key);

  // The child indexed under `name`, if any (symlink children not included).
  const INode* find(std::string_view name) const;
  // Appends the names of the indexed children, in creation order, to
  // `directories` or `files` by kind (symlink children are left out).
  void list_names(std::vector<std::string>& files, std::vector<std::string>& directories) const;
  // The symlink children, in creation order.
  const std::vector<InodeId>& symlinks() const;

  // Removes the child `id` named `name` (or the symlink `id`) and returns the
  // list's reference to it, or null if it is not listed. The caller drops the
  // reference after releasing the directory's lock. With `keep_storage`, an
  // emptied list keeps its storage (for a rename that adds the child back).
  InodeRef remove(InodeId id, std::string_view name, bool keep_storage = false);

  // Puts `fresh` in the place of the child `old` (same id and name) and
  // returns the list's reference to `old`, or null if `old` is not listed.
  // A failed allocation changes nothing.
  InodeRef replace(const INode& old, InodeRef fresh);

  // Makes room for one more child, so that the next append (of a name not
  // yet indexed) allocates nothing. Throws std::bad_alloc and changes nothing
  // else.
  void reserve_one(const HashKey& key, bool symlink);

 private:
  struct Body;
  static InodeId id_of(const INode& child);
  const SmallVector<INode*, 4, std::uint32_t>& order() const;

  // Gives this list a part of its own if it shares one (or has none), so
  // that it can be changed. Throws std::bad_alloc and changes nothing.
  Body& own(const HashKey& key);

  struct BodyDeleter {
    void operator()(Body* body) const noexcept;
  };
  std::unique_ptr<Body, BodyDeleter> body_;  // made on the first append; counted
};

}  // namespace lumvex
