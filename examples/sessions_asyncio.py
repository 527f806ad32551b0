"""Drives 20 live sessions at once from one asyncio event loop.

    python examples/sessions_asyncio.py      (as root)

Session calls wait for the host (run waits for its command), so the event
loop hands them to threads with asyncio.to_thread; each releases the
interpreter lock while it waits, and the commands of all sessions run at the
same time. The raw stream of a session needs no thread: loop.add_reader on
its fileno() calls back once output is there, and read then returns at once.
Every session is closed at the end, whatever happened.
"""

import asyncio
import concurrent.futures
import os
import subprocess
import sys

import lumvex

SESSIONS = 20
TIMEOUT = 10.0  # seconds for any one command or wait


async def open_sessions(pool, count, opened):
    """Opens `count` sessions at once; each one made goes into `opened`, so
    that it is closed even when another one fails."""
    made = await asyncio.gather(
        *(asyncio.to_thread(lumvex.PyTerminalSession, pool) for _ in range(count)),
        return_exceptions=True,
    )
    opened.extend(s for s in made if isinstance(s, lumvex.PyTerminalSession))
    for error in made:
        if isinstance(error, BaseException):
            raise error
    return made


async def square(session, n):
    """Runs one command in `session`: it prints the time it started (by the
    host's clock, to show that all ran at the same time) and n squared, and
    the account's name on standard error."""
    result = await asyncio.to_thread(
        session.run,
        'echo "$(date +%s.%N) $((N * N))"; sleep 2; echo "$USER" >&2',
        env={"N": str(n)},
        timeout=TIMEOUT,
        check=True,
    )
    started, value = result.stdout.split()
    return float(started), int(value), result.stderr.decode().strip()


async def timed_out(session):
    """A command past its timeout: it and all it started are ended, and the
    output so far comes with the exception."""
    try:
        await asyncio.to_thread(session.run, "echo started; sleep 30 & wait", timeout=0.5)
    except subprocess.TimeoutExpired as error:
        return error.stdout
    raise AssertionError("sleep 30 ended before its timeout")


async def read_raw(session, marker, timeout=TIMEOUT):
    """Reads the session's raw stream (the shell's terminal) until `marker`,
    with the event loop waiting on fileno() instead of a thread."""
    loop = asyncio.get_running_loop()
    seen = bytearray()
    found = loop.create_future()

    def readable():
        chunk = session.read(65536)  # ready: returns at once
        seen.extend(chunk)
        if (not chunk or marker in seen) and not found.done():
            found.set_result(bool(chunk))

    loop.add_reader(session.fileno(), readable)
    try:
        if not await asyncio.wait_for(found, timeout):
            raise EOFError(f"the shell ended; got {bytes(seen)!r}")
    finally:
        loop.remove_reader(session.fileno())
    return bytes(seen)


async def main():
    if os.geteuid() != 0:
        sys.exit("sessions_asyncio.py needs root: it creates accounts and sessions.")
    # asyncio.to_thread runs on the loop's default executor, which has only a
    # few threads (cores + 4): give it one per session so none waits for a
    # free thread.
    loop = asyncio.get_running_loop()
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(max_workers=SESSIONS))
    pool = lumvex.PyUserPool(network=False)
    opened = []
    try:
        sessions = await open_sessions(pool, SESSIONS, opened)
        print(f"{len(sessions)} sessions, {len({s.user for s in sessions})} accounts")

        results = await asyncio.gather(*(square(s, n) for n, s in enumerate(sessions)))
        for n, (session, (_, value, user)) in enumerate(zip(sessions, results)):
            assert user == session.user, (user, session.user)
            print(f"session {n:2}: {n} squared is {value}")
        # Each command slept for 2 seconds after it started: if the last one
        # started before the first one's sleep was over, all ran at once.
        starts = [started for started, _, _ in results]
        print(f"all {SESSIONS} commands ran at once: {max(starts) - min(starts) < 2.0}")

        print(f"timeout: output so far {await timed_out(sessions[0])!r}")
        print(f"after it: {(await asyncio.to_thread(sessions[0].run, 'pgrep -c sleep')).stdout!r}")

        # The raw stream: the shell echoes the line, so the marker is one the
        # shell works out itself.
        await asyncio.to_thread(sessions[1].write, b'echo "__$((6 * 7))__"\n')
        raw = await read_raw(sessions[1], b"__42__")
        print(f"raw stream: {len(raw)} bytes up to the marker")
    finally:
        await asyncio.gather(*(asyncio.to_thread(s.close) for s in opened))
        print(f"closed {len(opened)} sessions")


if __name__ == "__main__":
    asyncio.run(main())
