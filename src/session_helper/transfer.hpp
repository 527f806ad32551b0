// Files out of a session, sent by the helper itself as the session's account
// (no program of the session's takes part, and a helper that took on the
// account's ids is not dumpable, so nothing of the account can trace it or
// swap what it sends):
//
//   send PATH LIMIT   the bytes of the regular file PATH
//   tree PATH LIMIT   PATH as a stream of records (below)
//
// Every path is resolved without following a link at any component
// (openat2 with RESOLVE_NO_SYMLINKS), opened once and checked on the open
// descriptor: a regular file, of at most LIMIT bytes as it claims (a sparse
// file counts at its apparent size). More than LIMIT bytes in all is
// refused with EFBIG. Errors go to standard error as "PATH: description",
// and the exit status is the errno (0 on success).
//
// The tree stream: 'F' and then the file's bytes when PATH is a regular
// file; otherwise 'T' and then one record per entry below PATH, parents
// before children: 'D', a 4-byte name length and the name (relative to
// PATH, '/'-separated) for a directory; 'F', the name likewise, an 8-byte
// size and that many bytes for a regular file; then 'E'. Lengths are in the
// machine's order. Links, FIFOs, sockets and devices are left out.
#pragma once

#include <string>
#include <vector>

namespace lumvex {

// Runs the transfer named by args[0] with the rest of `args`, writing to
// standard output; gives the exit status.
int run_transfer(const std::vector<std::string>& args);

}  // namespace lumvex
