// Ending an account's processes: the one place that does it, with one
// contract (a HostResult; EPERM for uid 0 and for this process's own user,
// whose processes are never touched). A session's control groups end what
// runs inside them (sandbox/cgroup.hpp); what an account runs elsewhere
// ends here: through the kernel's own per-account checks, made by the
// helper program with the account's ids, or, without control groups, by a
// walk over /proc.
//
// The walk:
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

// Sends SIGKILL to every live process of account `uid`, again and again
// until none is left. An error (ETIMEDOUT) when some are still alive at
// `deadline`, or when /proc cannot be read or a process descriptor cannot be
// opened; EPERM for uid 0 and for the caller's own user, whose processes are
// never swept.
HostResult<void> end_account_processes(std::uint32_t uid,
                                       std::chrono::steady_clock::time_point deadline);

// Whether the process of `pidfd` has been reaped by its parent (an ended
// process not yet reaped still counts as there).
bool is_reaped(const UniqueFd& pidfd);

// Sends SIGKILL, as account `uid` (and group `uid`), to every process that
// account may signal: kill(-1, SIGKILL) made by the helper program once it
// has taken on the account's ids. One call reaches every process of the
// account at once, a process being started meanwhile included, without
// walking the host's process table. Gives whether something was
// signalled; EPERM for uid 0 and for the caller's own user.
HostResult<bool> kill_all_as(std::uint32_t uid);

// Sends `signal` to `target` (as kill() takes it) as account `uid`, so that
// it reaches only what the account itself may signal. Gives whether
// anything was signalled (false: no such process or group); errors as
// kill_all_as().
HostResult<bool> signal_as(std::uint32_t uid, pid_t target, int signal);

// Whether account `uid` has any process (one that has ended but waits to be
// reaped included), asked of the kernel's count of the account's processes
// by the helper program with the account's ids: the same cost however many
// processes the host runs. An error when that cannot be told.
HostResult<bool> account_has_processes(std::uint32_t uid);

}  // namespace lumvex
