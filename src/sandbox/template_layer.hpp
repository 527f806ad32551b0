// Templates: read-only file trees that a session's home starts from.
//
// A template is a stack of layers, each a tmpfs of its own that is mounted
// nowhere: the layer holds the only reference to it (a detached mount), so
// no path on the host reaches its files and dropping the last reference
// frees them. Every file of a layer belongs to one fixed owner
// (kTemplateOwner). A layer is written once, when it is made, and never
// changes afterwards; layers are shared by reference counting between the
// templates stacked on them and the sessions started from them.
//
// A session started from a template gets an overlay home: the template's
// layers as its lower layers, each through an idmapped mount that shows
// kTemplateOwner as the session's account (read-only, nosuid, nodev), and a
// directory of the session's own store as its upper layer, so what the
// session writes counts against its store and the template stays as it was.
// Nothing is copied at start: the cost is that of one mount per layer.
//
// A snapshot copies the upper layer (what the session changed, whiteouts of
// what it removed included) into a new layer stacked on the session's
// template.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"

namespace lumvex {

// The owner (user and group) of every file in a template layer.
inline constexpr std::uint32_t kTemplateOwner = 2147483000;
// The most layers a template may stack.
inline constexpr std::size_t kMaxTemplateLayers = 128;

class TemplateLayer;
using TemplateRef = std::shared_ptr<const TemplateLayer>;

// What a new template layer may hold; zero bytes: tmpfs's own default (half
// the memory).
struct TemplateBounds {
  std::uint64_t bytes = 0;
  std::uint64_t entries = 0;
};

class TemplateLayer {
 public:
  // What goes into a new layer.
  enum class Source {
    kDirectory,  // a host directory: regular files, directories, symbolic links
    kUpper,      // an overlay upper layer: as kDirectory, plus whiteouts and opaque directories
  };

  // A new layer on `below` (null: the first) with a copy of the tree at the
  // directory `from` (open; read without following links). Set-user-id,
  // set-group-id bits and anything that is no regular file, directory or
  // symbolic link (devices, FIFOs, sockets) are left out.
  //
  // `bounds` caps what the layer may hold (a copy past them fails with
  // ENOSPC).
  using Bounds = TemplateBounds;
  static HostResult<TemplateRef> make(int from, Source source, TemplateRef below,
                                      Bounds bounds = {});

  TemplateLayer(UniqueFd root, TemplateRef below, std::size_t depth, std::uint64_t bytes,
                std::uint64_t entries);
  TemplateLayer(const TemplateLayer&) = delete;
  TemplateLayer& operator=(const TemplateLayer&) = delete;

  // The layer's detached mount (a path descriptor of its root, and the one
  // owner of the mount: closing it unmounts the layer).
  int root() const { return root_.get(); }
  const TemplateRef& below() const { return below_; }
  // Layers from this one down to the first.
  std::size_t depth() const { return depth_; }
  // Bytes of regular files and entries this layer holds (not those below).
  std::uint64_t bytes() const { return bytes_; }
  std::uint64_t entries() const { return entries_; }

 private:
  UniqueFd root_;
  TemplateRef below_;
  std::size_t depth_;
  std::uint64_t bytes_;
  std::uint64_t entries_;
};

// Mounts at entry `home` of the directory `top` (a store's root, on one
// filesystem with `upper` and `work`, its entries too) an overlay of
// `layers`, shown as owned by `uid`, under the upper layer `upper`: nosuid,
// nodev. The user namespace `idmap` maps kTemplateOwner to `uid` (see
// template_idmap).
HostResult<void> mount_template_home(int top, const char* home, const char* upper, const char* work,
                                     const TemplateLayer& layers, int idmap);

// A user namespace that maps kTemplateOwner (as user and group) to `uid`,
// for idmapped mounts of template layers.
HostResult<UniqueFd> template_idmap(std::uint32_t uid);

// Whether the directory `dir` has no entries.
HostResult<bool> directory_is_empty(int dir);

// Why this host cannot start sessions from templates (empty when it can):
// mounting, overlayfs and idmapped mounts of tmpfs are needed.
std::string templates_unavailable();

}  // namespace lumvex
