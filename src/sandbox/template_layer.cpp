#include "sandbox/template_layer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
// After <sys/mount.h>, whose names it must not redefine.
#include <linux/mount.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox/helper_launch.hpp"
#include "sandbox/host_text.hpp"
#include "sandbox/mounts.hpp"

namespace lumvex {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper trees than this are refused (each level holds two descriptors).
constexpr int kMaxDepth = 256;
constexpr const char kOpaque[] = "trusted.overlay.opaque";

int sys_fsopen(const char* name, unsigned flags) {
  return static_cast<int>(::syscall(SYS_fsopen, name, flags));
}
int sys_fsconfig(int fd, unsigned command, const char* key, const void* value, int aux) {
  return static_cast<int>(::syscall(SYS_fsconfig, fd, command, key, value, aux));
}
int sys_fsmount(int fd, unsigned flags, unsigned attributes) {
  return static_cast<int>(::syscall(SYS_fsmount, fd, flags, attributes));
}
int sys_open_tree(int dir, const char* path, unsigned flags) {
  return static_cast<int>(::syscall(SYS_open_tree, dir, path, flags));
}
int sys_mount_setattr(int dir, const char* path, unsigned flags, mount_attr* attributes) {
  return static_cast<int>(
      ::syscall(SYS_mount_setattr, dir, path, flags, attributes, sizeof *attributes));
}

std::string fd_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// A new tmpfs, mounted nowhere (nosuid, nodev), whose root belongs to the
// template owner, within `bounds`.
HostResult<UniqueFd> new_layer_mount(const TemplateLayer::Bounds& bounds) {
  UniqueFd context(sys_fsopen("tmpfs", FSOPEN_CLOEXEC));
  if (!context) return host_error("create a tmpfs for a template");
  if (bounds.bytes != 0) {
    const std::string size = std::to_string(bounds.bytes);
    const std::string inodes = std::to_string(bounds.entries);
    if (sys_fsconfig(context.get(), FSCONFIG_SET_STRING, "size", size.c_str(), 0) != 0 ||
        sys_fsconfig(context.get(), FSCONFIG_SET_STRING, "nr_inodes", inodes.c_str(), 0) != 0) {
      return host_error("bound a tmpfs for a template");
    }
  }
  if (sys_fsconfig(context.get(), FSCONFIG_SET_STRING, "mode", "0755", 0) != 0 ||
      sys_fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
    return host_error("create a tmpfs for a template");
  }
  UniqueFd mount(sys_fsmount(context.get(), FSMOUNT_CLOEXEC,
                             MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOATIME));
  if (!mount) return host_error("mount a tmpfs for a template");
  if (::fchownat(mount.get(), "", kTemplateOwner, kTemplateOwner, AT_EMPTY_PATH) != 0) {
    return host_error("set the owner of a template");
  }
  return mount;
}

// Copies the data of the first `size` bytes of `from` into `to` (both at
// offset 0, `to` empty), leaving holes where `from` has them; gives the
// bytes of data copied.
HostResult<std::uint64_t> copy_data(int from, int to, off_t size) {
  std::uint64_t copied = 0;
  off_t at = 0;
  while (at < size) {
    off_t data = ::lseek(from, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole is left
    if (data < 0) return host_error("find data");
    if (data >= size) break;
    off_t hole = ::lseek(from, data, SEEK_HOLE);
    if (hole < 0) return host_error("find a hole");
    hole = std::min(hole, size);
    if (::lseek(to, data, SEEK_SET) != data) return host_error("seek");
    off_t offset = data;
    while (offset < hole) {
      const ssize_t sent = ::sendfile(
          to, from, &offset, static_cast<std::size_t>(std::min<off_t>(hole - offset, 1 << 30)));
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0) return host_error("copy");
      if (sent == 0) {  // shrunk meanwhile
        hole = offset;
        size = offset;
        break;
      }
      copied += static_cast<std::uint64_t>(sent);
    }
    at = hole;
  }
  if (::ftruncate(to, size) != 0) return host_error("set the size");
  return copied;
}

struct CopyCount {
  std::uint64_t bytes = 0;
  std::uint64_t entries = 0;
};

// Copies what `from` holds (read without following links) into `to`.
class TreeCopy {
 public:
  // `root` is the layer's root directory, which `to` of the first call is.
  TreeCopy(TemplateLayer::Source source, int root, CopyCount& count)
      : source_(source), root_(root), count_(count) {}

  // `path`: where `to` is below the layer's root ("" for the root).
  HostResult<void> copy_dir(int from, int to, int depth, const std::string& path) {
    if (depth > kMaxDepth) return host_error("copy a tree deeper than 256 levels", ELOOP);
    // A descriptor of its own: a duplicate would share (and move) the
    // caller's position in the directory.
    int listing = ::openat(from, ".", kDirFlags);
    if (listing < 0) return host_error("read a directory");
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
      ::close(listing);
      return host_error("read a directory");
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
      std::string_view name(entry->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
      errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0) return host_error("read a directory", error);
    for (const std::string& name : names) {
      if (auto r = copy_entry(from, to, name, depth, path.empty() ? name : path + "/" + name); !r)
        return r;
    }
    return {};
  }

 private:
  HostResult<void> copy_entry(int from, int to, const std::string& name, int depth,
                              const std::string& path) {
    struct stat st{};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return {};  // gone meanwhile
      return host_error("inspect " + name);
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (S_ISDIR(st.st_mode)) {
      UniqueFd source(::openat(from, name.c_str(), kDirFlags));
      if (!source)
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? HostResult<void>{}
                                                                     : host_error("open " + name);
      if (::mkdirat(to, name.c_str(), 0700) != 0) return host_error("create " + name);
      UniqueFd target(::openat(to, name.c_str(), kDirFlags));
      if (!target) return host_error("open " + name);
      if (source_ == TemplateLayer::Source::kUpper) {
        char value[4];
        const ssize_t got = ::fgetxattr(source.get(), kOpaque, value, sizeof value);
        if (got == 1 && value[0] == 'y' && ::fsetxattr(target.get(), kOpaque, "y", 1, 0) != 0) {
          return host_error("mark " + name + " opaque");
        }
      }
      if (auto r = copy_dir(source.get(), target.get(), depth + 1, path); !r) return r;
      if (::fchown(target.get(), kTemplateOwner, kTemplateOwner) != 0 ||
          ::fchmod(target.get(), st.st_mode & 01777) != 0 || ::futimens(target.get(), times) != 0) {
        return host_error("set the owner of " + name);
      }
    } else if (S_ISREG(st.st_mode)) {
      // Opened without blocking, in case it was swapped for a FIFO.
      UniqueFd source(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!source)
        return errno == ENOENT || errno == ELOOP ? HostResult<void>{} : host_error("open " + name);
      struct stat opened{};
      if (::fstat(source.get(), &opened) != 0) return host_error("inspect " + name);
      if (!S_ISREG(opened.st_mode)) return {};
      // A file with several names is copied once and linked again, so a
      // tree costs the layer what it costs its source.
      const std::pair<dev_t, ino_t> identity{opened.st_dev, opened.st_ino};
      if (opened.st_nlink > 1) {
        if (auto first = copied_.find(identity); first != copied_.end()) {
          if (::linkat(root_, first->second.c_str(), to, name.c_str(), 0) != 0) {
            return host_error("link " + name);
          }
          ++count_.entries;
          return {};
        }
      }
      UniqueFd target(
          ::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!target) return host_error("create " + name);
      // Its data only, holes left as holes (a sparse file costs the layer
      // what it costs its source), and at most the size it had when opened:
      // a file that grows meanwhile does not keep the copy going.
      HostResult<std::uint64_t> copied = copy_data(source.get(), target.get(), opened.st_size);
      if (!copied) return host_error("copy " + name, copied.error().code);
      count_.bytes += *copied;
      if (opened.st_nlink > 1) copied_.emplace(identity, path);
      if (::fchown(target.get(), kTemplateOwner, kTemplateOwner) != 0 ||
          ::fchmod(target.get(), opened.st_mode & 0777) != 0 ||
          ::futimens(target.get(), times) != 0) {
        return host_error("set the owner of " + name);
      }
    } else if (S_ISLNK(st.st_mode)) {
      std::string link(static_cast<std::size_t>(PATH_MAX), '\0');
      const ssize_t length = ::readlinkat(from, name.c_str(), link.data(), link.size());
      if (length < 0)
        return errno == ENOENT || errno == EINVAL ? HostResult<void>{} : host_error("read " + name);
      link.resize(static_cast<std::size_t>(length));
      if (::symlinkat(link.c_str(), to, name.c_str()) != 0) return host_error("create " + name);
      if (::fchownat(to, name.c_str(), kTemplateOwner, kTemplateOwner, AT_SYMLINK_NOFOLLOW) != 0 ||
          ::utimensat(to, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        return host_error("set the owner of " + name);
      }
    } else if (source_ == TemplateLayer::Source::kUpper && S_ISCHR(st.st_mode) &&
               st.st_rdev == makedev(0, 0)) {
      // A whiteout: what the session removed stays removed.
      if (::mknodat(to, name.c_str(), S_IFCHR, makedev(0, 0)) != 0 ||
          ::fchownat(to, name.c_str(), kTemplateOwner, kTemplateOwner, AT_SYMLINK_NOFOLLOW) != 0) {
        return host_error("create " + name);
      }
    } else {
      return {};  // devices, FIFOs and sockets stay out
    }
    ++count_.entries;
    return {};
  }

  TemplateLayer::Source source_;
  int root_;
  CopyCount& count_;
  // Files with several names already copied, by identity: their path below
  // the layer's root.
  std::map<std::pair<dev_t, ino_t>, std::string> copied_;
};

}  // namespace

TemplateLayer::TemplateLayer(UniqueFd root, TemplateRef below, std::size_t depth,
                             std::uint64_t bytes, std::uint64_t entries)
    : root_(std::move(root)),
      below_(std::move(below)),
      depth_(depth),
      bytes_(bytes),
      entries_(entries) {}

HostResult<TemplateRef> TemplateLayer::make(int from, Source source, TemplateRef below,
                                            Bounds bounds) {
  const std::size_t depth = below ? below->depth() + 1 : 1;
  std::uint64_t bytes = 0;
  std::uint64_t entries = 0;
  if (depth > kMaxTemplateLayers) {
    return host_error("stack more than " + std::to_string(kMaxTemplateLayers) + " template layers",
                      EMLINK);
  }
  HostResult<UniqueFd> mount = new_layer_mount(bounds);
  if (!mount) return std::unexpected(mount.error());
  {
    // The mount's descriptor is a path only (and the one owner of the
    // detached mount): the copy goes through a descriptor of its root.
    UniqueFd root(::openat(mount->get(), ".", kDirFlags));
    if (!root) return host_error("open a template's tmpfs");
    CopyCount count;
    TreeCopy copy(source, root.get(), count);
    if (auto r = copy.copy_dir(from, root.get(), 0, ""); !r) return std::unexpected(r.error());
    bytes = count.bytes;
    entries = count.entries;
  }
  return std::make_shared<const TemplateLayer>(std::move(*mount), std::move(below), depth, bytes,
                                               entries);
}

HostResult<void> mount_template_home(int top, const char* home, const char* upper, const char* work,
                                     const TemplateLayer& layers, int idmap) {
  // Each layer through a read-only idmapped copy of its mount, held only
  // until the overlay holds it.
  std::vector<UniqueFd> lowers;
  std::string options = "lowerdir=";
  for (const TemplateLayer* layer = &layers; layer != nullptr; layer = layer->below().get()) {
    UniqueFd lower(
        sys_open_tree(layer->root(), "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH));
    if (!lower) return host_error("clone a template layer");
    mount_attr attributes{};
    attributes.attr_set =
        MOUNT_ATTR_IDMAP | MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;
    attributes.userns_fd = static_cast<std::uint64_t>(idmap);
    if (sys_mount_setattr(lower.get(), "", AT_EMPTY_PATH, &attributes) != 0) {
      return host_error("map a template layer to the session's account");
    }
    if (!lowers.empty()) options += ':';
    options += fd_path(lower.get());
    lowers.push_back(std::move(lower));
  }
  const std::string top_path = fd_path(top);
  // Plain copies up and no index: the upper layer holds whole files and
  // whiteouts only, which a snapshot copies as they are.
  options += ",upperdir=" + top_path + "/" + upper + ",workdir=" + top_path + "/" + work +
             ",redirect_dir=off,index=off,metacopy=off,xino=off";
  const std::string target = top_path + "/" + home;
  if (::mount("lumvex-home", target.c_str(), "overlay", MS_NOSUID | MS_NODEV | MS_NOATIME,
              options.c_str()) != 0) {
    return host_error("mount the template's overlay");
  }
  return {};
}

HostResult<UniqueFd> template_idmap(std::uint32_t uid) {
  // The helper waits in a user namespace of its own until this process has
  // written the namespace's maps and opened it, and is then ended.
  std::string program = "lumvex-session-helper";
  std::string mode = "hold";
  char* argv[] = {program.data(), mode.data(), nullptr};
  HostResult<LaunchedHelper> helper = launch_helper(argv, CLONE_NEWUSER, -1);
  if (!helper) return std::unexpected(helper.error());
  HelperReaper reap(*helper);
  const std::string base = "/proc/" + std::to_string(helper->pid);
  const std::string map = std::to_string(kTemplateOwner) + " " + std::to_string(uid) + " 1\n";
  if (auto r = write_text(base + "/uid_map", map); !r) return std::unexpected(r.error());
  if (auto r = write_text(base + "/gid_map", map); !r) return std::unexpected(r.error());
  UniqueFd ns(::open((base + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
  if (!ns) return host_error("open the template's user namespace");
  return ns;
}

HostResult<bool> directory_is_empty(int dir) {
  const int listing = ::openat(dir, ".", kDirFlags);
  if (listing < 0) return host_error("read a directory");
  DIR* stream = ::fdopendir(listing);
  if (stream == nullptr) {
    ::close(listing);
    return host_error("read a directory");
  }
  bool empty = true;
  errno = 0;
  while (dirent* entry = ::readdir(stream)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  const int error = errno;
  ::closedir(stream);
  if (empty && error != 0) return host_error("read a directory", error);
  return empty;
}

std::string templates_unavailable() {
  if (!can_mount()) return "templates need root with the right to mount";
  UniqueFd overlay(sys_fsopen("overlay", FSOPEN_CLOEXEC));
  if (!overlay) return "templates need overlayfs, which this host does not offer";
  UniqueFd tmpfs(sys_fsopen("tmpfs", FSOPEN_CLOEXEC));
  if (!tmpfs) return "templates need tmpfs, which this host does not offer";
  mount_attr none{};
  if (sys_mount_setattr(-1, "", AT_EMPTY_PATH, &none) != 0 && errno == ENOSYS) {
    return "templates need idmapped mounts, which this host does not offer";
  }
  return {};
}

}  // namespace lumvex
