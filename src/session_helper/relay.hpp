// A port of a session reached from the owner's side (PyTerminalSession.expose):
//
//   relay PORT
//
// Standard input is a listening TCP socket made by the owner in its own
// network namespace; the relay itself runs in the session's namespaces, as
// the session's account. Every connection accepted on the listener is
// joined to a new connection to PORT on the session's loopback (127.0.0.1,
// else ::1). One process serves every connection from one event loop
// (epoll): it moves the bytes both ways with splice(2) (through a pipe per
// direction, never through user memory), passes each side's end of stream
// on to the other, and a reset of either side on to the other. A connection
// that the session refuses is closed at once. A side that does not read
// holds at most a pipe's worth in the relay. While the relay's descriptor
// table has no room for another connection, new clients wait in the
// listener's queue. The relay ends with the session.
#pragma once

#include <string>
#include <vector>

namespace lumvex {

// Runs the relay of args = {"relay", PORT}; gives the exit status (an errno
// when it cannot go on).
int run_relay(const std::vector<std::string>& args);

}  // namespace lumvex
