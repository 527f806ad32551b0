// Ending every process of a host account, found through /proc.
//
// A process belongs to the account when any of its user ids (real,
// effective, saved or filesystem) is the account's uid. Each one found is
// signalled through a process descriptor opened on it and checked again
// after opening, so a signal never reaches a process that merely took over
// the id of one that ended meanwhile. Ended processes waiting to be reaped
// (zombies) count as gone: they run nothing. Nothing here touches the Python
// interpreter.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "base/poll_until.hpp"
#include "base/unique_fd.hpp"
#include "error/host_error.hpp"

namespace lumvex {

// Sends SIGKILL to every live process of account `uid`, and to every live
// child of `parent` when it is positive, again and again until none is
// left. Descriptors on the children of `parent` that were killed go to
// `children` (if given), so that the caller can wait until `parent` has
// reaped them. An error (ETIMEDOUT) when some are still alive at
// `deadline`, or when /proc cannot be read or a process descriptor cannot be
// opened; EPERM for uid 0 and for the caller's own user, whose processes are
// never swept.
HostResult<void> end_account_processes(std::uint32_t uid, pid_t parent,
                                       std::chrono::steady_clock::time_point deadline,
                                       std::vector<UniqueFd>* children = nullptr);

// Whether the process of `pidfd` has been reaped by its parent (an ended
// process not yet reaped still counts as there).
bool is_reaped(const UniqueFd& pidfd);

}  // namespace lumvex
