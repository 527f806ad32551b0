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
    # su gives the shell a pseudo-terminal, which echoes what it is sent. The
    # shell itself works the marker out, so the echoed line never holds it.
    session.write(f'{command}; echo "__end_$((6 * 7))__"\n'.encode())
    marker = b"__end_42__"
    seen = b""
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        selector.register(session, selectors.EVENT_READ)  # uses session.fileno()
        while marker not in seen:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not selector.select(remaining):
                raise TimeoutError(f"no end of output within {timeout} s; got {seen!r}")
            chunk = session.read(4096)  # ready: returns at once
            if not chunk:
                raise EOFError(f"the shell ended; got {seen!r}")
            seen += chunk
    text = seen[: seen.index(marker)].decode(errors="replace").replace("\r\n", "\n")
    # Drop the terminal's echo of the command line, up to its end.
    echoed = text.find("__end_$((6 * 7))__")
    if echoed >= 0:
        text = text[text.find("\n", echoed) + 1 :]
    return text


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
