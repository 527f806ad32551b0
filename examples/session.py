"""Runs a command in a live bash session on the host and prints its output.

    python examples/session.py [COMMAND]      (as root)

The session runs as a throw-away account of a PyUserPool (made with useradd
the first time; root is needed for that and for su). The output is read until
a marker appears, waiting on the session's fileno() with selectors so that a
silent shell cannot block the program past its timeout.
"""

import os
import selectors
import sys
import time

import lumvex

TIMEOUT = 10.0  # seconds for the whole command


def run(session, command, timeout=TIMEOUT):
    """Sends `command` to the shell and returns what it printed."""
    # su gives the shell a pseudo-terminal: it echoes what it is sent, prints
    # prompts and control sequences. The command's output is what comes
    # between two markers that the shell works out itself, so that neither
    # the echoed line nor a prompt can hold them.
    session.write(f'echo "__begin_$((6 * 7))__"; {command}; echo "__end_$((6 * 7))__"\n'.encode())
    begin, end = b"__begin_42__", b"__end_42__"
    seen = b""
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        selector.register(session, selectors.EVENT_READ)  # uses session.fileno()
        while begin not in seen or end not in seen[seen.index(begin) :]:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not selector.select(remaining):
                raise TimeoutError(f"no end of output within {timeout} s; got {seen!r}")
            chunk = session.read(4096)  # ready: returns at once
            if not chunk:
                raise EOFError(f"the shell ended; got {seen!r}")
            seen += chunk
    start = seen.index(begin) + len(begin)
    output = seen[start : seen.index(end, start)]
    return output.decode(errors="replace").replace("\r\n", "\n").removeprefix("\n")


def main():
    if os.geteuid() != 0:
        sys.exit("session.py needs root: it creates accounts and runs su.")
    command = " ".join(sys.argv[1:]) or "id -un; echo home: $HOME; pwd; uname -sr"
    pool = lumvex.PyUserPool()
    with lumvex.PyTerminalSession(pool) as session:
        print(f"$ {command}")
        print(run(session, command), end="")
    # Leaving the with block closed the session: the shell is gone and the
    # account is back in the pool, ready for the next session.


if __name__ == "__main__":
    main()
