// Privileged file work for sessions: the shared parent of the home
// directories, the homes themselves and the host-wide account claims.
//
// Everything below the parent is done relative to directory descriptors and
// never follows a symbolic link, so a link planted anywhere in an old home
// is removed, not followed. The parent must belong to the calling user and
// be closed to others (no group or other write permission): otherwise
// another user could swap an entry for a link between two steps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"
#include "error/host_error.hpp"

namespace lumvex {

// Parent of every session's home directory.
inline constexpr std::string_view kHomeRoot = "/tmp/tmp_user_home";

// Creates `root` with any missing ancestors (mode 0777 before the umask;
// existing ones are fine) and opens it. An error when it cannot be made or
// opened, is not a directory (a link is refused) or belongs to another
// user; group and other write permission are taken away.
HostResult<UniqueFd> open_home_root(const std::string& root);

// Removes entry `name` of the directory `dir_fd` and, for a directory,
// everything below it; a link is removed itself, never followed. Works with
// a handful of descriptors whatever the depth. Nothing there is fine.
HostResult<void> remove_tree_at(int dir_fd, const std::string& name);

// Creates the directory `name` in `dir_fd` (which must not hold that name),
// mode 0700 whatever the umask, and opens it without following links.
HostResult<UniqueFd> make_private_dir_at(int dir_fd, const std::string& name);

// A host-wide claim on the account `name`: an exclusive lock (flock) on the
// file <root>/.claims/<name>, in a directory that only the calling user may
// write to. Only one open file can hold the lock, so two pools (of this
// process or of any other) never both hold a claim on one name; the lock
// goes when its descriptor is closed, which the kernel also does when the
// holding process dies, so no claim outlives its holder. Claim files are
// never removed; a claim file found replaced after locking is locked again.
//
// Gives the descriptor holding the lock, or an empty one when another open
// file holds it; an error when the claims directory cannot be made or is not
// private.
HostResult<UniqueFd> claim_account(const std::string& root, const std::string& name);

}  // namespace lumvex
